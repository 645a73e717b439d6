// The progress line: carriage return, the line, blanks over what is left of
// a longer one before it.
#include "tools/common/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace progress {
namespace {

constexpr double REDRAW_SECONDS = 0.25;
constexpr int LINE_WIDTH = 72;

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// h:mm:ss, or m:ss under an hour.
void clockText(double seconds, char* text, size_t size) {
    const long s = std::lround(std::max(0.0, seconds));
    if (s >= 3600)
        snprintf(text, size, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        snprintf(text, size, "%ld:%02ld", s / 60, s % 60);
}

}  // namespace

void progressStart(Progress* p, double totalSeconds) {
    *p = Progress{isatty(STDERR_FILENO) != 0, totalSeconds, now(), 0.0, false};
}

void progressUpdate(Progress* p, long frames, double filmSeconds) {
    if (!p->shown) return;
    const double t = now();
    if (p->drawn && t - p->lastDrawn < REDRAW_SECONDS) return;
    p->lastDrawn = t;
    p->drawn = true;
    const double elapsed = t - p->started;
    const double speed = elapsed > 0.0 ? filmSeconds / elapsed : 0.0;
    char done[32], total[32], left[32];
    clockText(filmSeconds, done, sizeof done);
    char line[128];
    int n = snprintf(line, sizeof line, "frame %ld, %s", frames, done);
    if (p->totalSeconds > 0.0) {
        clockText(p->totalSeconds, total, sizeof total);
        n += snprintf(line + n, sizeof line - n, " of %s", total);
    }
    if (speed > 0.0) {
        n += snprintf(line + n, sizeof line - n, ", %.2fx", speed);
        if (p->totalSeconds > filmSeconds) {
            clockText((p->totalSeconds - filmSeconds) / speed, left, sizeof left);
            snprintf(line + n, sizeof line - n, ", %s left", left);
        }
    }
    fprintf(stderr, "\r%-*s", LINE_WIDTH, line);
    fflush(stderr);
}

void progressEnd(Progress* p) {
    if (!p->shown || !p->drawn) return;
    fprintf(stderr, "\r%*s\r", LINE_WIDTH, "");
    fflush(stderr);
    p->drawn = false;
}

}  // namespace progress
