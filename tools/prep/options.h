// Command line of vendrel-prep.
#pragma once

#include <string>

#include "format/stream.h"   // the display rate, the blocks an index describes, the default interval
#include "format/v2format.h"  // the largest interval the stream carries
#include "tools/prep/reduce.h"

namespace prep {


enum class Fit { Border, Stretch };

struct Options {
    std::string input;
    std::string outdir;
    double fps = 15.0;            // as asked for
    bool fpsGiven = false;        // --fps was on the command line
    int interval = DEFAULT_VIDEO_INTERVAL;  // display frames per video frame: round(60 / fps)
    int colours = MAX_COLOURS;
    Dither dither = Dither::None;
    Fit fit = Fit::Border;
    double start = 0.0;           // seconds into the input
    double duration = 0.0;        // seconds to take; 0 for all
    bool audio = true;
    double rate = 0.0;            // KiB per second the stream must play at; 0 for no rate control
    bool overwrite = false;       // clear the files of an earlier run from OUTDIR
    int partBlocks = 0;           // blocks a part's stream may hold; 0: one stream, not cut
    bool encode = false;          // write the streams themselves, no frame files
    std::string boot;             // boot code put at the top of each stream (--encode)
    int jobs = 0;                 // processes side by side (--encode with parts); 0: one per core
};

inline constexpr int MAX_JOBS = 64;

inline constexpr double MIN_RATE = 16.0;     // KiB/s: the sound alone takes about 8
inline constexpr double MAX_RATE = 100000.0;

enum class Parsed { Run, Help, Version, Error };

// Reads argv into options. On Error, message holds one line to print.
Parsed parseOptions(int argc, const char* const* argv, Options* options, std::string* message);

// The frame rate actually decoded: exactly 60 / interval.
double decodedFps(const Options& options);

void printUsage();

}  // namespace prep
