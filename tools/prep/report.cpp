// What vendrel-prep tells of a run, and the parameter file it writes beside
// the frames.
#include "tools/prep/report.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "format/params.h"
#include "tools/common/child.h"
#include "tools/common/folders.h"
#include "tools/prep/outdir.h"
#include "tools/prep/rate.h"

namespace prep {

using namespace proc;

namespace {

// The vendrel that the printed command names: the one on PATH, else (before
// the tools are installed) the one built beside this program.
std::string vendrelProgram() {
    constexpr const char* NAME = "vendrel";
    if (programInPath(NAME)) return NAME;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return NAME;
    self[n] = '\0';
    const std::string beside = joinPath(folders::folderOf(self), NAME);
    return access(beside.c_str(), X_OK) == 0 ? beside : NAME;
}

// vendrel formats its frame and stream names with printf: a '%' of the
// folder's name must reach it doubled.
std::string asPattern(const std::string& path) {
    std::string out;
    for (char c : path) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

// One word of the printed command line, quoted for the shell when needed.
std::string shellWord(const std::string& word) {
    bool plain = !word.empty();
    for (unsigned char c : word)
        plain = plain && (isalnum(c) || strchr("%+,-./:=@_", c) != nullptr);
    if (plain) return word;
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

std::string count(long n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

std::string seconds(double s) {
    char text[32];
    snprintf(text, sizeof text, "%.3f", s);
    return text;
}

bool writeParams(const Options& o, const std::vector<ParamChange>& changes, const std::string& path) {
    FILE* f = fopen(path.c_str(), "w");
    if (!f) return false;
    if (changes.empty()) {
        fprintf(f, "# vendrel-prep: %.4g frames per second, at most %d colours\n", decodedFps(o), o.colours);
        if (o.interval != DEFAULT_VIDEO_INTERVAL) fprintf(f, "%s %d\n", PARAM_VIDEO_INTERVAL, o.interval);
        if (o.colours < MAX_COLOURS) fprintf(f, "%s %d\n", PARAM_PALET_LIMIT, o.colours);
    } else {
        // Without --fps, rate to spare may bring the frames up to SPARE_INTERVAL.
        const double most = o.rate > 0 && !o.fpsGiven ? DISPLAY_FRAMES_PER_SECOND / static_cast<double>(SPARE_INTERVAL)
                                                      : decodedFps(o);
        fprintf(f, "# vendrel-prep: at most %.4g frames per second and %d colours\n", most, o.colours);
    }
    int interval = DEFAULT_VIDEO_INTERVAL;
    int limit = MAX_COLOURS;
    for (const ParamChange& c : changes) {
        if (c.frame > 0) fprintf(f, "%s %d\n", PARAM_FRAME, c.frame);
        if (c.interval != interval) fprintf(f, "%s %d\n", PARAM_VIDEO_INTERVAL, c.interval);
        if (c.limit != limit || c.frame == 0) fprintf(f, "%s %d\n", PARAM_PALET_LIMIT, c.limit);
        interval = c.interval;
        limit = c.limit;
    }
    return fclose(f) == 0;
}

void printFrames(const Options& o, const VideoResult& video, const RateReport& report) {
    if (o.rate <= 0) {
        printf("vendrel-prep: %s at %.4g fps (interval %d), at most %d colours, %s\n",
               count(video.frames, "frame").c_str(), decodedFps(o), o.interval, o.colours,
               count(video.sceneCuts, "scene cut").c_str());
        return;
    }
    const int shortest = report.used.shortestInterval;
    const int longest = report.used.longestInterval;
    const int fewest = report.used.fewestColours;
    const int most = report.used.mostColours;
    const double fastest = static_cast<double>(DISPLAY_FRAMES_PER_SECOND) / shortest;
    const double slowest = static_cast<double>(DISPLAY_FRAMES_PER_SECOND) / longest;
    printf("vendrel-prep: %s at ", count(video.frames, "frame").c_str());
    if (shortest == longest)
        printf("%.4g fps (interval %d)", fastest, shortest);
    else
        printf("%.4g to %.4g fps (intervals %d to %d)", slowest, fastest, shortest, longest);
    if (fewest == most)
        printf(", %d colours", most);
    else
        printf(", %d to %d colours", fewest, most);
    printf(", %s\n", count(video.sceneCuts, "scene cut").c_str());
}

void warnDecodeErrors(const Options& o, const VideoResult& video) {
    if (!video.decodeError.empty())
        printf("vendrel-prep: warning: some pictures of %s could not be decoded, so frames may be missing or "
               "damaged (ffmpeg: %s)\n",
               o.input.c_str(), video.decodeError.c_str());
}

void printCommand(const Options& o, int compressType, int frames, bool audio, bool params) {
    std::vector<std::string> words = {vendrelProgram(), "-c" + std::to_string(compressType),
                                      "-e" + std::to_string(frames - 1)};
    if (audio) words.push_back("-a" + joinPath(o.outdir, AUDIO_NAME));
    if (params) words.push_back("-f" + joinPath(o.outdir, PARAMS_NAME));
    words.push_back(joinPath(asPattern(o.outdir), framePattern()));
    words.push_back(joinPath(asPattern(o.outdir), "movie.bin"));
    std::string line;
    for (const std::string& w : words) {
        if (!line.empty()) line += ' ';
        line += shellWord(w);
    }
    puts(line.c_str());
}

void printNeededRate(double kib) {
    if (kib <= 0.0)
        puts("vendrel-prep: the stream plays without stalls at any rate (player model)");
    else if (std::isinf(kib))
        puts("vendrel-prep: the stream does not play without stalls at any rate (player model)");
    else
        printf("vendrel-prep: the stream plays without stalls from %.1f KiB/s (player model)\n",
               std::ceil(kib * 10.0) / 10.0);
}

bool printRateReport(double rate, const RateReport& r) {
    const bool plays = r.lateFrames == 0 && r.soundGaps == 0 && r.refused == 0;
    if (plays)
        printf("vendrel-prep: planned for %g KiB/s with %d trial encodes: no late frame, no sound gap\n", rate, r.trials);
    else
        printf("vendrel-prep: the stream does not play at %g KiB/s: %s, %s, %s\n", rate,
               count(r.lateFrames, "late frame").c_str(), count(r.soundGaps, "sound gap").c_str(),
               count(r.refused, "refused frame").c_str());
    return plays;
}

}  // namespace prep
