// The command line of vendrel-view: the usage text and the settings it gives.
#include "tools/view/cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "format/frame_name.h"
#include "format/stream.h"

namespace view {
namespace {

constexpr double MAX_RATE_KIB = 1024.0 * 1024.0;  // 1 GiB/s: far beyond any set-up

// A printf pattern for frame names: exactly one integer conversion (flags,
// width and precision allowed, no length modifier), and %% as a literal.
bool validPattern(const char* pattern) { return frameNameConversions(pattern) == 1; }

bool parseRate(const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    const double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v > 0.0) || v > MAX_RATE_KIB) return false;
    value = v;
    return true;
}

bool parseBoot(const char* text, long& value) {
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > STREAM_BOOTCODE_MAX_BYTES) return false;
    value = v;
    return true;
}

// --video and --play: one movie at a time, and standard output free for
// their messages.
bool movieSettingsAgree(const Settings& s) {
    if (!s.video && !s.play) return true;
    if (s.check) {
        puts("--check writes nothing: leave out --video and --play");
        return false;
    }
    if (s.video && s.play) {
        puts("--video and --play: one at a time, please");
        return false;
    }
    if (s.y4m && strcmp(s.y4m, "-") == 0) {
        puts("--y4m - takes standard output, which --video and --play report on");
        return false;
    }
    return true;
}

}  // namespace

void usage() {
    puts("vendrel-view [options] STREAM");
    puts("  decodes a stream written by vendrel (compress types 1 and 2), checks it and prints a summary");
    puts("  options:");
    puts("   -c1            : single buffered stream");
    puts("   -c2            : double buffered stream (frames alternate between the two GRAM pages)");
    puts("                    without -c1 or -c2 the mode is found by reading the stream both ways");
    puts("   --boot N       : the index starts at byte N (the boot code size); by default it is searched for");
    puts("   --png PATTERN  : every frame as a PNG file named by a printf pattern with the frame number (out/%05d.png)");
    puts("   --rgb PATTERN  : every frame as a raw file of 320x200 pixels, 3 bytes (r, g, b) each");
    puts("   --y4m FILE     : the picture as YUV4MPEG2 at 60 frames per second ('-': standard output, no text)");
    puts("   --wav FILE     : the sound as a 16-bit mono WAV file at 7812 Hz");
    puts("   --video FILE   : picture and sound in one video file made by ffmpeg (H.264 and AAC for .mp4)");
    puts("   --play         : play picture and sound with ffplay");
    puts("   --overwrite    : replace an existing --video file, and remove the frames of an earlier, longer");
    puts("                    preview that --png or --rgb would leave beside the new ones");
    puts("   --check        : check the stream only, write no pictures or sound");
    puts("   --rate R       : list the late frames and sound gaps when the stream is read at R KiB/s");
    puts("                    (with --check they are violations)");
    puts("   --rate-table F : lateness at rates around the needed one, as CSV, for a plot");
    puts("   -h, --help     : this text");
    puts("   --version      : the version");
    puts("  exit status: 0 no violation, 1 violations found, 2 bad command line, unreadable stream or output error");
    puts("               (1 also when --video or --play finds no ffmpeg or ffplay)");
}

// Returns false after printing why the command line is wrong.
bool parseArguments(int argc, char** argv, Settings& s) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-h" || arg == "--help") {
            s.help = true;
        } else if (arg == "--version") {
            s.version = true;
        } else if (arg == "-c1" || arg == "-c2") {
            s.pages = arg[2] - '0';
        } else if (arg == "--check") {
            s.check = true;
        } else if (arg == "--boot" && hasValue) {
            if (!parseBoot(argv[++i], s.bootSize)) {
                printf("--boot: %s is not a byte offset from 0 to %ld\n", argv[i], STREAM_BOOTCODE_MAX_BYTES);
                return false;
            }
        } else if (arg == "--rate" && hasValue) {
            if (!parseRate(argv[++i], s.rateKiB)) {
                printf("--rate: %s is not a rate in KiB/s above 0 and up to %.0f\n", argv[i], MAX_RATE_KIB);
                return false;
            }
        } else if (arg == "--rate-table" && hasValue) {
            s.rateTable = argv[++i];
        } else if ((arg == "--png" || arg == "--rgb") && hasValue) {
            const char* pattern = argv[++i];
            if (!validPattern(pattern)) {
                printf("%s: the pattern %s needs exactly one integer conversion such as %%05d\n", arg.c_str(),
                       pattern);
                return false;
            }
            (arg == "--png" ? s.png : s.rgb) = pattern;
        } else if (arg == "--y4m" && hasValue) {
            s.y4m = argv[++i];
        } else if (arg == "--wav" && hasValue) {
            s.wav = argv[++i];
        } else if (arg == "--video" && hasValue) {
            s.video = argv[++i];
        } else if (arg == "--play") {
            s.play = true;
        } else if (arg == "--overwrite") {
            s.overwrite = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            printf("unknown option or missing value: %s\n", arg.c_str());
            return false;
        } else if (s.stream) {
            printf("only one stream file, please: %s\n", arg.c_str());
            return false;
        } else {
            s.stream = argv[i];
        }
    }
    if (s.help || s.version) return true;
    if (!s.stream) {
        puts("no stream file given");
        return false;
    }
    if (s.y4m && strcmp(s.y4m, "-") == 0 && (s.rateKiB > 0.0 || s.rateTable)) {
        puts("--y4m - prints nothing else: leave out --rate and --rate-table");
        return false;
    }
    if (s.check && (s.png || s.rgb || s.y4m || s.wav)) {
        puts("--check writes no pictures or sound: leave out --png, --rgb, --y4m and --wav");
        return false;
    }
    return movieSettingsAgree(s);
}

}  // namespace view
