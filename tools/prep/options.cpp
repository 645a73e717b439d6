// Command line of vendrel-prep: long options with their value either in the
// next argument or after '=', then INPUT and OUTDIR.
#include "tools/prep/options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace prep {
namespace {

constexpr double MAX_FPS = DISPLAY_FRAMES_PER_SECOND;
// The lowest rate taken, in hundredths: rates below 60/63 get the longest
// interval the stream carries, 63 display frames.
constexpr int MIN_FPS_HUNDREDTHS = 95;
constexpr double MIN_FPS = MIN_FPS_HUNDREDTHS / 100.0;
// A rate asked for may be exceeded by this share: NTSC's 29.97 and 59.94 are 30 and 60.
constexpr double FPS_TOLERANCE = 0.002;
static_assert(DISPLAY_FRAMES_PER_SECOND / MIN_FPS < V2OPT_INTERVAL_MAX + 1, "the lowest rate is near a carried interval");

bool readNumber(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool colourCountAllowed(double v) {
    for (int n = MAX_COLOURS; n >= 2; n /= 2)
        if (v == n) return true;
    return false;
}

// Applies one option with its value; false with message on a bad value.
bool applyOption(const std::string& name, const std::string& value, Options* o, std::string* message) {
    double v = 0;
    if (name == "--fps") {
        if (!readNumber(value, &v) || v < MIN_FPS || v > MAX_FPS) {
            char text[128];
            snprintf(text, sizeof text, "vendrel-prep: --fps needs a number from %.2f to %d", MIN_FPS, DISPLAY_FRAMES_PER_SECOND);
            *message = text;
            return false;
        }
        o->fps = v;
        o->fpsGiven = true;
        // The shortest interval whose rate does not exceed the one asked for
        // by more than FPS_TOLERANCE: 29.97 (a video's own rate) takes 30.
        const int interval = static_cast<int>(std::ceil(DISPLAY_FRAMES_PER_SECOND / v * (1.0 - FPS_TOLERANCE)));
        o->interval = std::min(interval, V2OPT_INTERVAL_MAX);
        return true;
    }
    if (name == "--colors" || name == "--colours") {
        if (!readNumber(value, &v) || !colourCountAllowed(v)) {
            *message = "vendrel-prep: --colors must be 64, 32, 16, 8, 4 or 2";
            return false;
        }
        o->colours = static_cast<int>(v);
        return true;
    }
    if (name == "--dither") {
        if (value != "none" && value != "ordered") {
            *message = "vendrel-prep: --dither must be none or ordered";
            return false;
        }
        o->dither = value == "none" ? Dither::None : Dither::Ordered;
        return true;
    }
    if (name == "--fit") {
        if (value != "border" && value != "stretch") {
            *message = "vendrel-prep: --fit must be border or stretch";
            return false;
        }
        o->fit = value == "border" ? Fit::Border : Fit::Stretch;
        return true;
    }
    if (name == "--rate") {
        if (!readNumber(value, &v) || v < MIN_RATE || v > MAX_RATE) {
            char text[128];
            snprintf(text, sizeof text, "vendrel-prep: --rate needs KiB per second from %g to %g", MIN_RATE, MAX_RATE);
            *message = text;
            return false;
        }
        o->rate = v;
        return true;
    }
    if (name == "--duration") {
        // 0 seconds would give no frame at all: refused rather than read as "all"
        if (!readNumber(value, &v) || v <= 0) {
            *message = "vendrel-prep: --duration needs a number of seconds above 0 (leave it out for the whole input)";
            return false;
        }
        o->duration = v;
        return true;
    }
    if (name == "--start") {
        if (!readNumber(value, &v) || v < 0) {
            *message = "vendrel-prep: " + name + " needs a number of seconds, 0 or more";
            return false;
        }
        o->start = v;
        return true;
    }
    if (name == "--part-blocks") {
        if (!readNumber(value, &v) || v != std::floor(v) || v < 1 || v > AVINDEX_MAX_BLOCKS) {
            *message = "vendrel-prep: --part-blocks needs a whole number from 1 to " + std::to_string(AVINDEX_MAX_BLOCKS);
            return false;
        }
        o->partBlocks = static_cast<int>(v);
        return true;
    }
    if (name == "--boot") {
        o->boot = value;
        return true;
    }
    if (name == "--jobs") {
        if (!readNumber(value, &v) || v != std::floor(v) || v < 1 || v > MAX_JOBS) {
            *message = "vendrel-prep: --jobs needs a whole number from 1 to " + std::to_string(MAX_JOBS);
            return false;
        }
        o->jobs = static_cast<int>(v);
        return true;
    }
    *message = "vendrel-prep: unknown option " + name + " (see --help)";
    return false;
}

bool takesValue(const std::string& name) {
    if (name == "--part-blocks" || name == "--boot" || name == "--jobs") return true;
    return name == "--fps" || name == "--colors" || name == "--colours" || name == "--dither" || name == "--fit" ||
           name == "--start" || name == "--duration" || name == "--rate";
}

}  // namespace

Parsed parseOptions(int argc, const char* const* argv, Options* o, std::string* message) {
    *o = Options{};
    int positional = 0;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            if (positional == 0) o->input = arg;
            if (positional == 1) o->outdir = arg;
            if (++positional > 2) {
                *message = "vendrel-prep: too many arguments: " + arg + " (see --help)";
                return Parsed::Error;
            }
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") return Parsed::Help;
        if (arg == "--version") return Parsed::Version;
        if (arg == "--no-audio") {
            o->audio = false;
            continue;
        }
        if (arg == "--overwrite") {
            o->overwrite = true;
            continue;
        }
        if (arg == "--encode") {
            o->encode = true;
            continue;
        }
        if (arg == "--parts") {
            o->partBlocks = AVINDEX_MAX_BLOCKS;
            continue;
        }
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        if (!takesValue(name)) {
            *message = "vendrel-prep: unknown option " + name + " (see --help)";
            return Parsed::Error;
        }
        std::string value;
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            *message = "vendrel-prep: " + name + " needs a value";
            return Parsed::Error;
        }
        if (!applyOption(name, value, o, message)) return Parsed::Error;
    }
    if (positional < 2) {
        *message = positional == 0 ? "vendrel-prep: no INPUT and OUTDIR given (see --help)"
                                   : "vendrel-prep: no OUTDIR given (see --help)";
        return Parsed::Error;
    }
    if (o->input.empty() || o->outdir.empty()) {
        *message = "vendrel-prep: INPUT and OUTDIR must not be empty";
        return Parsed::Error;
    }
    if (!o->encode && (!o->boot.empty() || o->jobs > 0)) {
        *message = "vendrel-prep: --boot and --jobs go with --encode (vendrel takes the boot code as -b)";
        return Parsed::Error;
    }
    return Parsed::Run;
}

double decodedFps(const Options& o) { return static_cast<double>(DISPLAY_FRAMES_PER_SECOND) / o.interval; }

void printUsage() {
    puts("vendrel-prep [options] INPUT OUTDIR");
    puts("Turns a video file into what vendrel encodes: OUTDIR/frame00000.bmp, ... (320 x 200,");
    puts("at most 64 colours of 4 bits per primary, palette kept still from frame to frame),");
    puts("OUTDIR/audio.wav (16-bit mono, 7812.5 samples per second, peak at full scale) when");
    puts("the input has sound, OUTDIR/params.txt when vendrel needs one; then prints the");
    puts("vendrel command line that encodes them. Needs ffmpeg.");
    puts("  options:");
    printf("   --fps N          frames per second at most, %.2f to %d (default 15): a frame\n", MIN_FPS, DISPLAY_FRAMES_PER_SECOND);
    puts("                    lasts I display frames of 1/60 s, the fewest that keep to N,");
    puts("                    and the frames are decoded at exactly 60/I per second");
    puts("                    (15 -> 4, 10 -> 6, 20 -> 3, 25 -> 3, 30 -> 2)");
    puts("   --colors N       colours per frame: 64 (default), 32, 16, 8, 4 or 2");
    puts("   --dither MODE    none (default) or ordered: a light dither of one 4-bit level in");
    puts("                    smooth areas, still from frame to frame");
    puts("   --fit MODE       border (default): keep the picture's shape on the target's 4:3");
    puts("                    screen with black borders; stretch: fill 320 x 200");
    printf("   --rate R         make a stream that plays at R KiB per second (%g to %g):\n", MIN_RATE, MAX_RATE);
    puts("                    every frame is planned to fit, --fps is the highest frame");
    puts("                    rate and --colors the most colours (each scene gets its own");
    puts("                    within those, never more frames than the source has; without");
    puts("                    --fps, rate to spare may bring the frames up to 30 per second;");
    puts("                    with --dither ordered, the dither once rate is to spare);");
    puts("                    vendrel -c1 encodes it");
    puts("   --start S        begin S seconds into the input");
    puts("   --duration S     take at most S seconds (above 0; default: to the end)");
    puts("   --no-audio       write no sound");
    puts("   --overwrite      use an OUTDIR that is not empty: the frames, audio.wav and");
    puts("                    params.txt of an earlier run are removed, other files kept");
    puts("   --parts          cut a long film into parts, each a stream the index describes");
    puts("                    in full (32512 blocks); each part gets its own folder");
    puts("                    OUTDIR/part001, ... and its own vendrel command line");
    puts("   --part-blocks N  as --parts, with at most N blocks a part (1 to 32512)");
    puts("   --encode         write the stream itself (OUTDIR/movie.bin, or one a part)");
    puts("                    instead of frames: no frame files, each stream checked");
    puts("   --boot FILE      with --encode: boot code at the top of each stream (vendrel -b)");
    puts("   --jobs N         with --encode and parts: processes side by side, each part");
    puts("                    checked beside the encoding of the next (default: one per");
    puts("                    core; 1: one process; the streams are the same for any N)");
    puts("   -h, --help       this text");
    puts("   --version        the program's version");
}

}  // namespace prep
