// A one-line progress display on standard error for the long runs of the
// tools around the encoder: frames done, film time done of the whole, speed
// against real time and the time left, redrawn a few times a second. Shown
// only when standard error is a terminal; in a pipe or a file it writes nothing.
#pragma once

namespace progress {

struct Progress {
    bool shown;           // standard error is a terminal
    double totalSeconds;  // film time of the whole, 0 when unknown
    double started;       // monotonic clock at the start, seconds
    double lastDrawn;
    bool drawn;           // a line is on the screen
};

void progressStart(Progress* p, double totalSeconds);

// frames: done so far; filmSeconds: the film time they cover.
void progressUpdate(Progress* p, long frames, double filmSeconds);

// Clears the line, so that what is printed next starts on an empty line.
void progressEnd(Progress* p);

}  // namespace progress
