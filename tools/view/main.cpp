// vendrel-view: plays a stream written by vendrel (compress types 1 and 2)
// back into pictures and sound, the way the player on the target would, and
// checks every structural rule of the stream on the way.
//
//   vendrel-view [options] STREAM
//
// Pictures leave as PNG files, raw RGB files or one YUV4MPEG2 stream at the
// display rate; sound as a WAV file; a summary and every violation found are
// printed on standard output.

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/audio.h"
#include "format/endian.h"
#include "format/frame_name.h"
#include "format/screen.h"
#include "format/stream.h"
#include "format/v2format.h"
#include "tools/common/folders.h"
#include "tools/common/outfile.h"
#include "tools/common/progress.h"
#include "tools/model/player_model.h"
#include "tools/common/child.h"
#include "tools/view/buffering.h"
#include "tools/view/movie.h"
#include "tools/view/stream_decoder.h"

namespace {

constexpr const char* VERSION = "vendrel-view 1.0";
constexpr int EXIT_CLEAN = 0;
constexpr int EXIT_VIOLATIONS = 1;
constexpr int EXIT_FAILURE_ = 2;  // bad command line, unreadable stream, output not written
constexpr int EXIT_NO_PROGRAM = 1;  // ffmpeg or ffplay, needed for --video or --play, is not installed

constexpr int LEVELS = 16;
constexpr int NAME_BYTES = 4096;
constexpr int FLASH_POSITIONS = 16;  // the flash option carries a position's low 4 bits
constexpr double MAX_RATE_KIB = 1024.0 * 1024.0;  // 1 GiB/s: far beyond any set-up
constexpr int RATE_TABLE_ROWS = 41;                // from a quarter to four times the needed rate
constexpr double RATE_TABLE_SPAN = 16.0;
constexpr double RATE_TABLE_DEFAULT_KIB = 128.0;   // the table's middle when any rate plays, or none

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

struct Settings {
    int pages = 0;  // 0 until found: neither -c1 nor -c2 was given
    long bootSize = -1;
    const char* png = nullptr;
    const char* rgb = nullptr;
    const char* y4m = nullptr;
    const char* wav = nullptr;
    const char* video = nullptr;
    bool play = false;
    bool overwrite = false;
    const char* stream = nullptr;
    const char* rateTable = nullptr;
    double rateKiB = 0.0;  // 0: no --rate
    bool check = false;
    bool help = false;
    bool version = false;
};

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

// ---- Outputs ---------------------------------------------------------------

// A file that a picture pattern names, there before the run.
struct EarlierFrame {
    const char* option;  // "--png" or "--rgb"
    std::string name;
    long number;
};

struct Outputs {
    const Settings* settings;
    // What the player model needs of the stream, built from the blocks as
    // they are read; it starts with the first block, when the index (and the
    // interval the stream starts with) has been read.
    model::LayoutBuilder* layout = nullptr;
    model::Layout* layoutInto = nullptr;
    const view::Summary* summary = nullptr;
    bool layoutStarted = false;
    FILE* y4m = nullptr;
    FILE* wav = nullptr;
    long long wavSamples = 0;
    bool y4mToStdout = false;
    bool failed = false;
    int framesBegun = 0;                    // frames 0 .. framesBegun - 1 went (or began to go) to files
    outfile::OutFile wavFile;               // written beside the name until the run succeeds
    outfile::OutFile y4mFile;               // likewise (not for standard output)
    std::vector<outfile::OutFile> pictureFiles;  // --png and --rgb frames, likewise
    std::vector<EarlierFrame> earlierFrames;     // frames of the patterns there before the run
    std::vector<std::string> madeFolders;   // folders made for the outputs, outermost first
    std::string lastFolder;                 // the folder last made sure of
    view::Movie* movie = nullptr;
    // --video: the progress line; the film's length is judged by the share
    // of the file read so far.
    progress::Progress progress{};
    long long streamBytes = 0;
    long long bytesRead = 0;
    long long displayFrames = 0;
};

uint8_t rgb8[view::RGB_BYTES];
uint8_t yuv[view::RGB_BYTES];  // three planes: Y, Cb, Cr
uint8_t y4mTable[LEVELS * LEVELS * LEVELS][3];

uint8_t clampByte(double v) {
    const long r = std::lround(v);
    return static_cast<uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
}

// BT.601, limited range (Y 16-235, Cb and Cr 16-240): what YUV4MPEG2 readers
// assume when the header names no range.
void buildY4mTable() {
    for (int r = 0; r < LEVELS; ++r) {
        for (int gr = 0; gr < LEVELS; ++gr) {
            for (int b = 0; b < LEVELS; ++b) {
                const double R = r / 15.0;
                const double G = gr / 15.0;
                const double B = b / 15.0;
                uint8_t* out = y4mTable[(r * LEVELS + gr) * LEVELS + b];
                out[0] = clampByte(16.0 + 65.481 * R + 128.553 * G + 24.966 * B);
                out[1] = clampByte(128.0 - 37.797 * R - 74.203 * G + 112.0 * B);
                out[2] = clampByte(128.0 + 112.0 * R - 93.786 * G - 18.214 * B);
            }
        }
    }
}

bool writeAll(FILE* f, const void* data, size_t n) { return fwrite(data, 1, n, f) == n; }

void outputFailed(Outputs& out, const char* what, const char* name) {
    if (!out.y4mToStdout) printf("cannot write %s %s\n", what, name);
    out.failed = true;
}

bool formatName(char* into, const char* pattern, int number) {
    const int n = snprintf(into, NAME_BYTES, pattern, number);
    return n > 0 && n < NAME_BYTES;
}

// Makes the folder that the file goes into, with its parents. A picture
// pattern names the same folder frame after frame, so only a change of
// folder costs more than a comparison.
bool makeFolderFor(Outputs& out, const char* file) {
    const char* slash = strrchr(file, '/');
    if (!slash) return true;
    const size_t length = slash == file ? 1 : static_cast<size_t>(slash - file);
    if (out.lastFolder.compare(0, std::string::npos, file, length) == 0) return true;
    out.lastFolder.assign(file, length);
    std::string failed;
    const int reason = folders::makeFolders(out.lastFolder, &failed, &out.madeFolders);
    if (reason == 0) return true;
    if (!out.y4mToStdout) printf("cannot make the folder %s for %s: %s\n", failed.c_str(), file, strerror(reason));
    out.lastFolder.clear();
    out.failed = true;
    return false;
}

bool isRegularFile(const char* name) {
    struct stat info;
    return lstat(name, &info) == 0 && S_ISREG(info.st_mode);
}

// After a failure: takes away every file and folder this run made, so that
// no partial preview is mistaken for a whole one. A file that was there
// before stays as it was.
void removeOutputs(Outputs& out) {
    for (outfile::OutFile& picture : out.pictureFiles) outfile::discard(&picture);
    out.pictureFiles.clear();
    outfile::discard(&out.wavFile);
    outfile::discard(&out.y4mFile);
    for (auto it = out.madeFolders.rbegin(); it != out.madeFolders.rend(); ++it) rmdir(it->c_str());
}

// ---- Frames of an earlier preview --------------------------------------------

// The text of a printf pattern without conversions, %% read as %; false
// when it holds a conversion.
bool literalText(const std::string& pattern, std::string* text) {
    text->clear();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%') {
            if (i + 1 >= pattern.size() || pattern[i + 1] != '%') return false;
            ++i;
        }
        *text += pattern[i];
    }
    return true;
}

// The number a frame pattern gives this name for, or -1.
long frameNumberOf(const std::string& namePattern, const std::string& name) {
    // The conversion: the first % that is not %%.
    size_t at = 0;
    while ((at = namePattern.find('%', at)) != std::string::npos && at + 1 < namePattern.size() &&
           namePattern[at + 1] == '%')
        at += 2;
    if (at == std::string::npos) return -1;
    const size_t end = namePattern.find_first_of("diouxX", at + 1);
    std::string prefix;
    std::string suffix;
    if (end == std::string::npos || !literalText(namePattern.substr(0, at), &prefix) ||
        !literalText(namePattern.substr(end + 1), &suffix))
        return -1;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return -1;
    const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    const char kind = namePattern[end];
    const int base = kind == 'o' ? 8 : kind == 'x' || kind == 'X' ? 16 : 10;
    char* stop = nullptr;
    errno = 0;
    const long number = strtol(middle.c_str(), &stop, base);
    if (errno != 0 || *stop != '\0' || number < 0 || number > INT32_MAX) return -1;
    char again[NAME_BYTES];
    if (!formatName(again, namePattern.c_str(), static_cast<int>(number)) || name != again) return -1;
    return number;
}

// The files in the pattern's folder that are frames of it, whatever their
// number: frames of an earlier preview, which a new one would mix with. None
// when the number is part of a folder's name (a folder per frame).
std::vector<EarlierFrame> earlierFramesOf(const char* option, const char* pattern) {
    std::vector<EarlierFrame> found;
    const std::string whole = pattern;
    const size_t slash = whole.find_last_of('/');
    std::string folder;
    if (slash != std::string::npos && !literalText(whole.substr(0, slash + 1), &folder)) return found;
    const std::string namePattern = slash == std::string::npos ? whole : whole.substr(slash + 1);
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return found;
    while (const dirent* entry = readdir(dir)) {
        const long number = frameNumberOf(namePattern, entry->d_name);
        if (number >= 0) found.push_back({option, folder + entry->d_name, number});
    }
    closedir(dir);
    std::sort(found.begin(), found.end(), [](const EarlierFrame& a, const EarlierFrame& b) { return a.number < b.number; });
    return found;
}

// After the run: frames of an earlier preview that the new frames do not
// replace would stay beside them. With --overwrite they go; without, the
// run is refused (false), so that a folder never holds two previews.
bool settleEarlierFrames(Outputs& out) {
    std::vector<const EarlierFrame*> staying;
    for (const EarlierFrame& e : out.earlierFrames)
        if (e.number >= out.framesBegun) staying.push_back(&e);
    if (staying.empty()) return true;
    if (!out.settings->overwrite) {
        if (!out.y4mToStdout)
            printf("%s: %zu frames of an earlier preview (%s) would stay beside the new ones: give --overwrite to "
                   "remove them, or another folder\n",
                   staying[0]->option, staying.size(), staying[0]->name.c_str());
        return false;
    }
    int removed = 0;
    for (const EarlierFrame* e : staying) removed += isRegularFile(e->name.c_str()) && unlink(e->name.c_str()) == 0;
    if (!out.y4mToStdout) printf("removed %d frames of an earlier preview\n", removed);
    return true;
}

// Makes the file of one picture (under a temporary name until the run
// succeeds); false after saying so.
bool beginPicture(Outputs& out, const char* what, const char* name, bool open) {
    outfile::OutFile file;
    if (!outfile::begin(&file, name, open)) {
        outputFailed(out, what, name);
        return false;
    }
    out.pictureFiles.push_back(std::move(file));
    return true;
}

bool writePng(Outputs& out, int number) {
    char name[NAME_BYTES];
    if (!formatName(name, out.settings->png, number)) {
        outputFailed(out, "PNG", out.settings->png);
        return false;
    }
    if (!makeFolderFor(out, name) || !beginPicture(out, "PNG", name, false)) return false;
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = SCREEN_WIDTH;
    image.height = SCREEN_HEIGHT;
    image.format = PNG_FORMAT_RGB;
    const std::string& written = outfile::writtenName(out.pictureFiles.back());
    if (!png_image_write_to_file(&image, written.c_str(), 0, rgb8, 0, nullptr)) {
        outputFailed(out, "PNG", name);
        png_image_free(&image);
        return false;
    }
    return true;
}

bool writeRaw(Outputs& out, int number) {
    char name[NAME_BYTES];
    if (!formatName(name, out.settings->rgb, number)) {
        outputFailed(out, "raw picture", out.settings->rgb);
        return false;
    }
    if (!makeFolderFor(out, name) || !beginPicture(out, "raw picture", name, true)) return false;
    // Closed now: a film has more frames than a process may hold files open.
    outfile::OutFile& picture = out.pictureFiles.back();
    const bool written = writeAll(picture.file, rgb8, sizeof rgb8);
    const bool ok = fclose(picture.file) == 0 && written;
    picture.file = nullptr;
    if (!ok) outputFailed(out, "raw picture", name);
    return ok;
}

// One video frame lasts its interval in display frames; the picture is
// repeated that often (not at all for an interval of 0).
bool writeY4m(Outputs& out, const view::Frame& frame) {
    constexpr int PLANE = SCREEN_WIDTH * SCREEN_HEIGHT;
    for (int i = 0; i < PLANE; ++i) {
        const uint8_t* levels = frame.rgb + 3 * i;
        const uint8_t* c = y4mTable[(levels[0] * LEVELS + levels[1]) * LEVELS + levels[2]];
        yuv[i] = c[0];
        yuv[PLANE + i] = c[1];
        yuv[2 * PLANE + i] = c[2];
    }
    for (int repeat = 0; repeat < frame.interval; ++repeat) {
        if (!writeAll(out.y4m, "FRAME\n", 6) || !writeAll(out.y4m, yuv, sizeof yuv)) {
            outputFailed(out, "YUV4MPEG2 stream", out.settings->y4m);
            return false;
        }
    }
    return true;
}

// After SIGINT, SIGTERM or SIGHUP the decoding stops and the run ends as a
// failure, so that nothing of it stays.
bool stopNoted(Outputs& out) {
    if (proc::childStopSignal() == 0) return false;
    out.failed = true;
    return true;
}

[[noreturn]] void endBySignal(const Outputs& out) {
    const int number = proc::childStopSignal();
    const char* name = number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
    if (!out.y4mToStdout) printf("vendrel-view: stopped by %s: the files of this run are removed\n", name);
    fflush(stdout);
    signal(number, SIG_DFL);
    raise(number);
    _exit(128 + number);
}

bool onFrame(void* context, const view::Frame& frame) {
    Outputs& out = *static_cast<Outputs*>(context);
    if (stopNoted(out)) return false;
    for (int i = 0; i < view::RGB_BYTES; ++i) rgb8[i] = static_cast<uint8_t>(frame.rgb[i] * LEVEL_SCALE);
    out.framesBegun = frame.number + 1;
    if (out.settings->png && !writePng(out, frame.number)) return false;
    if (out.settings->rgb && !writeRaw(out, frame.number)) return false;
    if (out.y4m && !writeY4m(out, frame)) return false;
    if (out.movie && !view::movieFrame(out.movie, rgb8, frame.interval)) return false;
    if (out.movie && out.settings->video) {
        out.bytesRead += frame.bytes;
        out.displayFrames += frame.interval;
        const double film = static_cast<double>(out.displayFrames) / DISPLAY_FRAMES_PER_SECOND;
        if (out.bytesRead > 0) out.progress.totalSeconds = film * out.streamBytes / out.bytesRead;
        progress::progressUpdate(&out.progress, frame.number + 1, film);
    }
    return true;
}

bool writeWavHeader(FILE* f, long long samples) {
    uint8_t h[WAV_HEADER_BYTES];
    wavSoundHeader(h, static_cast<uint32_t>(samples * 2));
    return fseek(f, 0, SEEK_SET) == 0 && writeAll(f, h, sizeof h) && fseek(f, 0, SEEK_END) == 0;
}

bool onAudio(void* context, const int16_t* samples, int count) {
    Outputs& out = *static_cast<Outputs*>(context);
    if (stopNoted(out)) return false;
    if (!out.wav) return true;
    uint8_t bytes[2 * AUDIO_SAMPLES_PER_BLOCK];
    for (int i = 0; i < count; ++i) putLeU16(bytes + 2 * i, static_cast<uint16_t>(samples[i]));
    if (!writeAll(out.wav, bytes, 2 * static_cast<size_t>(count))) {
        outputFailed(out, "WAV file", out.settings->wav);
        return false;
    }
    out.wavSamples += count;
    return true;
}

bool onBlock(void* context, int kind, const uint8_t* bytes) {
    Outputs& out = *static_cast<Outputs*>(context);
    if (stopNoted(out)) return false;
    if (!out.layoutStarted) {
        model::layoutBegin(out.layout, out.layoutInto, out.summary->startInterval);
        out.layoutStarted = true;
    }
    if (kind == AVINDEX_KIND_AUDIO) {
        model::layoutAddAudioBlock(out.layout);
    } else {
        model::layoutAddVideoBlock(out.layout, bytes);
    }
    return true;
}

bool openOutputs(Outputs& out) {
    const Settings& s = *out.settings;
    if (s.y4m) {
        out.y4mToStdout = strcmp(s.y4m, "-") == 0;
        if (!out.y4mToStdout && !makeFolderFor(out, s.y4m)) return false;
        if (out.y4mToStdout)
            out.y4m = stdout;
        else if (outfile::begin(&out.y4mFile, s.y4m, true))
            out.y4m = out.y4mFile.file;
        if (!out.y4m) {
            printf("cannot create %s: %s\n", s.y4m, strerror(errno));
            return false;
        }
        buildY4mTable();
        char header[96];
        const int n = snprintf(header, sizeof header, "YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C444 XCOLORRANGE=LIMITED\n",
                               SCREEN_WIDTH, SCREEN_HEIGHT, DISPLAY_FRAMES_PER_SECOND);
        if (!writeAll(out.y4m, header, static_cast<size_t>(n))) {
            outputFailed(out, "YUV4MPEG2 stream", s.y4m);
            return false;
        }
    }
    if (s.video && !makeFolderFor(out, s.video)) return false;
    if (s.wav) {
        if (!makeFolderFor(out, s.wav)) return false;
        if (outfile::begin(&out.wavFile, s.wav, true)) out.wav = out.wavFile.file;
        if (!out.wav || !writeWavHeader(out.wav, 0)) {
            if (!out.y4mToStdout) printf("cannot create %s: %s\n", s.wav, strerror(errno));
            return false;
        }
    }
    return true;
}

// Completes the outputs; false when something could not be completed. The
// files are put in place by commitOutputs.
bool closeOutputs(Outputs& out) {
    bool ok = !out.failed;
    if (out.wav) {
        if (!writeWavHeader(out.wav, out.wavSamples)) ok = false;
        if (fflush(out.wav) != 0) ok = false;
        if (!ok && !out.failed) outputFailed(out, "WAV file", out.settings->wav);
        out.wav = nullptr;
    }
    if (out.y4m) {
        const bool closed = fflush(out.y4m) == 0;
        if (!closed) {
            ok = false;
            outputFailed(out, "YUV4MPEG2 stream", out.settings->y4m);
        }
        out.y4m = nullptr;
    }
    return ok;
}

// After a run that succeeded: the files written take the names asked for.
bool commitOutputs(Outputs& out) {
    if (!settleEarlierFrames(out)) return false;
    bool ok = true;
    for (outfile::OutFile& picture : out.pictureFiles) {
        if (outfile::commit(&picture)) continue;
        outputFailed(out, "picture", picture.path.c_str());
        ok = false;
    }
    out.pictureFiles.clear();
    if (!out.wavFile.path.empty() && !outfile::commit(&out.wavFile)) {
        outputFailed(out, "WAV file", out.settings->wav);
        ok = false;
    }
    if (!out.y4mFile.path.empty() && !outfile::commit(&out.y4mFile)) {
        outputFailed(out, "YUV4MPEG2 stream", out.settings->y4m);
        ok = false;
    }
    return ok;
}

// ---- Buffering mode --------------------------------------------------------

struct Buffering {
    bool given;                // -c1 or -c2 was on the command line
    view::BufferingGuess guess;  // when not given
};

const char* modeName(int pages) { return pages == view::DOUBLE_BUFFERED ? "double (-c2)" : "single (-c1)"; }

// Without -c1 or -c2 the stream is read both ways first and the mode that
// announces every palette number it uses is taken.
Buffering settleBuffering(Settings& s) {
    Buffering b{s.pages != 0, {}};
    if (!b.given) {
        b.guess = view::guessBuffering(s.stream, s.bootSize);
        s.pages = b.guess.pages;
    }
    return b;
}

// What a reading shows of a wrong mode, for the summary and the warning.
std::string describeTraces(const view::ModeTraces& t) {
    if (t.unannounced > 0) return std::to_string(t.unannounced) + " palette numbers are used but never announced";
    if (t.repeated > 0) return std::to_string(t.repeated) + " palette entries change nothing on their page";
    return "nothing amiss";
}

// A given mode whose reading shows traces of a wrong mode is suspect when the
// other mode shows fewer: the stream was likely encoded that way.
void warnOnLikelyMode(const Settings& s, bool quiet, view::Summary& summary) {
    const view::ModeTraces here = view::tracesOf(summary);
    if (here.unannounced == 0 && here.repeated == 0) return;
    const int other = view::otherPages(s.pages);
    const view::ModeTraces there = view::readForTraces(s.stream, s.bootSize, other);
    if (!view::fewerTraces(there, here)) return;
    ++summary.warnings;
    if (quiet) return;
    printf("warning: read with -c%d, %s; read with -c%d, %s: the stream was likely encoded with -c%d\n", s.pages,
           describeTraces(here).c_str(), other, describeTraces(there).c_str(), other);
}

void printBuffering(const Settings& settings, const Buffering& b) {
    printf("buffering: %s, ", modeName(settings.pages));
    if (b.given) {
        printf("as given\n");
    } else if (b.guess.certain) {
        const int other = view::otherPages(settings.pages);
        printf("found (read %s, %s)\n", other == view::DOUBLE_BUFFERED ? "double" : "single",
               describeTraces(b.guess.traces[other - 1]).c_str());
    } else {
        printf("found (neither reading shows a trace of a wrong mode; give -c2 if it was encoded so)\n");
    }
}

// ---- Summary ---------------------------------------------------------------

void printOptions(const view::Summary& s) {
    printf("option commands:");
    bool any = false;
    for (int v = 0; v < 256; ++v) {
        if (s.optionCount[v] == 0) continue;
        any = true;
        const char* kind = v <= V2OPT_INTERVAL_MAX ? "interval" : v < V2OPT_FLASH + FLASH_POSITIONS ? "flash" : "other";
        printf(" %s 0x%02X x%d", kind, v, s.optionCount[v]);
    }
    printf(any ? "\n" : " none\n");
}

void printPaletteNumbers(uint64_t set) {
    if (set == 0) {
        printf(" none");
        return;
    }
    for (int p = 0; p < 64; ++p) {
        if (set & (uint64_t{1} << p)) printf(" %d", p);
    }
}

// lateViolations: late frames and sound gaps at --rate, counted as violations
// with --check.
void printSummary(const Settings& settings, const Buffering& buffering, const view::Summary& s,
                  int lateViolations) {
    printf("stream: %s\n", settings.stream);
    printf("index at offset %ld (%s)\n", s.indexOffset, s.indexScanned ? "found by scanning" : "given by --boot");
    printBuffering(settings, buffering);
    printf("starting interval: %d\n", s.startInterval);
    printf("blocks: %d video, %d audio (index: %d video, %d audio", s.videoBlocks, s.audioBlocks, s.indexedVideo,
           s.indexedAudio);
    if (s.unindexedBlocks > 0) printf("; %d blocks beyond the index", s.unindexedBlocks);
    printf(")\n");
    printf("frames: %d, display time %lld display frames (%.3f s)\n", s.frames, s.displayFrames,
           static_cast<double>(s.displayFrames) / DISPLAY_FRAMES_PER_SECOND);
    if (s.frames > 0) {
        printf("bytes per frame: mean %.1f, max %ld (frame", static_cast<double>(s.frameBytesTotal) / s.frames,
               s.frameBytesMax);
        const int listed = s.largestCount < view::LARGEST_FRAMES_KEPT ? s.largestCount : view::LARGEST_FRAMES_KEPT;
        for (int i = 0; i < listed; ++i) printf(" %d", s.largestFrames[i]);
        if (s.largestCount > listed) printf(" and %d more", s.largestCount - listed);
        printf(")\n");
    }
    printOptions(s);
    printf("audio: %lld samples (%.3f s)\n", s.audioSamples, static_cast<double>(s.audioSamples) / AUDIO_SAMPLE_RATE);
    if (s.leadKnown) {
        printf("audio lead over the picture: minimum %.3f s, at video block %d\n", s.minLeadSeconds, s.minLeadBlock);
    }
    printf("palette numbers used but never announced: page 0:");
    printPaletteNumbers(s.unannounced[0]);
    if (settings.pages == 2) {
        printf("; page 1:");
        printPaletteNumbers(s.unannounced[1]);
    }
    printf("\n");
    printf("stream end: %s\n", s.streamEnded ? "yes" : "no");
    printf("violations: %d", s.problemTotal + lateViolations);
    if (s.problemTotal + lateViolations > 0) {
        const char* separator = " (";
        for (int k = 0; k < view::PROBLEM_KINDS; ++k) {
            if (s.problems[k] == 0) continue;
            printf("%s%s %d", separator, view::problemName(static_cast<view::Problem>(k)), s.problems[k]);
            separator = ", ";
        }
        if (lateViolations > 0) printf("%slate at %.1f KiB/s %d", separator, settings.rateKiB, lateViolations);
        printf(")");
    }
    printf(", warnings: %d\n", s.warnings);
}

// ---- Playback at a rate ------------------------------------------------------

// What the player model says of the stream: the rate it needs, and with
// --rate what is late at the given rate.
struct Playback {
    model::Layout layout;
    bool layoutComplete = true;   // every video command could be followed
    double neededRate = 0.0;      // bytes per second; 0 any rate, infinity none
    bool atRate = false;          // --rate given
    model::Result result;         // at --rate
};

double toKiB(double bytesPerSecond) { return bytesPerSecond / model::KIB; }

// Lists the late frames and sound gaps at --rate, at most maxReports lines;
// returns how many there are.
int reportLate(const Settings& settings, const model::Result& r, int maxReports) {
    const int total = static_cast<int>(r.lateFrames.size() + r.soundGaps.size());
    int shown = 0;
    for (const model::Late& late : r.lateFrames) {
        if (shown++ >= maxReports) break;
        printf("late: frame %d by %.3f s at %.1f KiB/s\n", late.frame, late.seconds, settings.rateKiB);
    }
    for (const model::Late& gap : r.soundGaps) {
        if (shown++ >= maxReports) break;
        printf("sound gap: audio block %d from unit %d, %.3f s late at %.1f KiB/s\n", gap.frame, gap.unit,
               gap.seconds, settings.rateKiB);
    }
    if (total > maxReports) {
        printf("late: %d more late frames and sound gaps are counted, not shown\n", total - maxReports);
    }
    return total;
}

void printPlayback(const Settings& settings, const Playback& p) {
    if (p.atRate) {
        const size_t late = p.result.lateFrames.size();
        const size_t gaps = p.result.soundGaps.size();
        printf("at %.1f KiB/s: %zu frame%s late", settings.rateKiB, late, late == 1 ? "" : "s");
        if (!p.result.lateFrames.empty()) printf(" (worst %.3f s)", p.result.worstFrame);
        printf(", %zu sound gap%s", gaps, gaps == 1 ? "" : "s");
        if (!p.result.soundGaps.empty()) printf(" (worst %.3f s)", p.result.worstSound);
        printf("\n");
    }
    const char* note = p.layoutComplete ? "" : " (commands that could not be followed are left out)";
    if (p.neededRate <= 0.0) {
        printf("playback: plays without stalls at any rate%s\n", note);
    } else if (std::isinf(p.neededRate)) {
        printf("playback: does not play without stalls at any rate%s\n", note);
    } else {
        // Rounded up, so that the stream plays at the rate printed.
        printf("playback: plays without stalls from %.1f KiB/s%s\n", std::ceil(toKiB(p.neededRate) * 10.0) / 10.0,
               note);
    }
}

// The rate table: lateness at rates spread evenly on a log scale around the
// needed rate, one CSV row each.
bool writeRateTable(const char* name, const Playback& p) {
    outfile::OutFile table;
    if (!outfile::begin(&table, name, true)) return false;
    FILE* f = table.file;
    const bool known = p.neededRate > 0.0 && !std::isinf(p.neededRate);
    const double middle = known ? p.neededRate : RATE_TABLE_DEFAULT_KIB * model::KIB;
    const double lowest = middle / std::sqrt(RATE_TABLE_SPAN);
    bool ok = fprintf(f, "rate_kib_s,late_frames,sound_gaps,worst_frame_s,worst_sound_s\n") > 0;
    for (int row = 0; ok && row < RATE_TABLE_ROWS; ++row) {
        const double rate = lowest * std::pow(RATE_TABLE_SPAN, static_cast<double>(row) / (RATE_TABLE_ROWS - 1));
        const model::Result r = model::simulate(p.layout, rate);
        ok = fprintf(f, "%.2f,%zu,%zu,%.4f,%.4f\n", toKiB(rate), r.lateFrames.size(), r.soundGaps.size(),
                     r.worstFrame, r.worstSound) > 0;
    }
    if (!ok) {
        outfile::discard(&table);
        return false;
    }
    return outfile::commit(&table);
}

// What the run may write, before anything is: the stream must be a file,
// no output may be the stream, and --video replaces a file only with
// --overwrite. The frames the picture patterns name before the run go into
// earlier. False after one line saying why.
bool outputsAllowed(const Settings& s, std::vector<EarlierFrame>* earlier) {
    struct stat info;
    if (stat(s.stream, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        printf("%s is a pipe or a device: give the stream as a file\n", s.stream);
        return false;
    }
    const std::pair<const char*, const char*> files[] = {
        {"--wav", s.wav}, {"--y4m", s.y4m}, {"--video", s.video}, {"--rate-table", s.rateTable}};
    for (const auto& [option, name] : files) {
        if (name && outfile::sameFile(name, s.stream)) {
            printf("%s: %s is the stream itself: choose another name\n", option, name);
            return false;
        }
    }
    if (s.video && !s.overwrite && stat(s.video, &info) == 0 && S_ISREG(info.st_mode)) {
        printf("vendrel-view: %s exists: give --overwrite to replace it\n", s.video);
        return false;
    }
    const std::pair<const char*, const char*> patterns[] = {{"--png", s.png}, {"--rgb", s.rgb}};
    for (const auto& [option, pattern] : patterns) {
        if (!pattern) continue;
        const std::vector<EarlierFrame> found = earlierFramesOf(option, pattern);
        for (const EarlierFrame& e : found) {
            if (outfile::sameFile(e.name, s.stream)) {
                printf("%s: %s names the stream itself: choose another pattern\n", option, pattern);
                return false;
            }
        }
        earlier->insert(earlier->end(), found.begin(), found.end());
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (argc < 2 || !parseArguments(argc, argv, settings)) {
        usage();
        return EXIT_FAILURE_;
    }
    if (settings.help) {
        usage();
        return EXIT_CLEAN;
    }
    if (settings.version) {
        puts(VERSION);
        return EXIT_CLEAN;
    }

    std::vector<EarlierFrame> earlierFrames;
    if (!outputsAllowed(settings, &earlierFrames)) return EXIT_FAILURE_;

    const bool wantMovie = settings.video || settings.play;
    const view::MovieKind movieKind = settings.play ? view::MovieKind::Play : view::MovieKind::File;
    if (wantMovie && !view::movieProgramsPresent(movieKind)) return EXIT_NO_PROGRAM;

    proc::childStopOnSignals();
    const Buffering buffering = settleBuffering(settings);
    Playback playback;
    model::LayoutBuilder layoutBuilder;
    view::Summary summary;
    Outputs out;
    out.settings = &settings;
    out.layout = &layoutBuilder;
    out.layoutInto = &playback.layout;
    out.summary = &summary;
    out.earlierFrames = std::move(earlierFrames);
    if (!openOutputs(out)) {
        closeOutputs(out);
        removeOutputs(out);
        return EXIT_FAILURE_;
    }

    view::DecodeOptions options;
    options.pages = settings.pages;
    options.bootSize = settings.bootSize;
    options.quiet = out.y4mToStdout;
    view::Movie movie;
    if (wantMovie) {
        // The movie's own pass over the stream reports what it finds.
        if (!view::movieStart(&movie, movieKind, settings.video, settings.stream, options)) {
            closeOutputs(out);
            view::movieRemoveFile(&movie);
            removeOutputs(out);
            return EXIT_FAILURE_;
        }
        out.movie = &movie;
        options.quiet = true;
        progress::progressStart(&out.progress, 0.0);
        if (FILE* f = fopen(settings.stream, "rb")) {
            if (fseek(f, 0, SEEK_END) == 0) out.streamBytes = ftell(f);
            fclose(f);
        }
    }
    view::Sink sink;
    sink.context = &out;
    sink.frame = onFrame;
    sink.audio = onAudio;
    sink.block = onBlock;
    const int result = view::decodeStream(settings.stream, options, sink, summary);
    progress::progressEnd(&out.progress);
    bool outputsOk = closeOutputs(out);
    if (out.movie && !view::movieFinish(out.movie)) outputsOk = false;
    if (result >= 0 && outputsOk) {
        outputsOk = commitOutputs(out);
        if (out.movie && !view::movieCommit(out.movie)) outputsOk = false;
    }
    if (result < 0 || !outputsOk) {
        if (out.movie) view::movieRemoveFile(out.movie);
        removeOutputs(out);
        if (proc::childStopSignal() != 0) endBySignal(out);
        return EXIT_FAILURE_;
    }
    if (out.movie) view::movieReport(*out.movie);
    if (buffering.given) warnOnLikelyMode(settings, out.y4mToStdout, summary);
    if (out.y4mToStdout) return summary.problemTotal > 0 ? EXIT_VIOLATIONS : EXIT_CLEAN;

    playback.layoutComplete = !layoutBuilder.malformed;
    playback.neededRate = model::neededRate(playback.layout);
    int late = 0;
    if (settings.rateKiB > 0.0) {
        playback.atRate = true;
        playback.result = model::simulate(playback.layout, settings.rateKiB * model::KIB);
        late = reportLate(settings, playback.result, options.maxReports);
    }
    if (settings.rateTable && !writeRateTable(settings.rateTable, playback)) {
        printf("cannot write the rate table %s\n", settings.rateTable);
        outputsOk = false;
    }
    const int lateViolations = settings.check ? late : 0;
    printSummary(settings, buffering, summary, lateViolations);
    printPlayback(settings, playback);
    if (!outputsOk) return EXIT_FAILURE_;
    return summary.problemTotal + lateViolations > 0 ? EXIT_VIOLATIONS : EXIT_CLEAN;
}
