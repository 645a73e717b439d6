// The command line of vendrel-view: its settings, the usage text, the
// version and the exit statuses.
#pragma once

namespace view {

inline constexpr const char* VERSION = "vendrel-view 1.0";

// Exit statuses: one name a value.
inline constexpr int EXIT_CLEAN = 0;      // the stream was read and nothing is wrong with it
inline constexpr int EXIT_NOT_CLEAN = 1;  // violations found (late frames too, with --check and --rate), or
                                          // ffmpeg or ffplay, needed for --video or --play, is not installed
inline constexpr int EXIT_FAILED = 2;     // bad command line, unreadable stream, output not written

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

void usage();

// Returns false after printing why the command line is wrong.
bool parseArguments(int argc, char** argv, Settings& s);

}  // namespace view
