// What vendrel-view reports of a stream after reading it: the buffering mode
// it was read with, the summary, and what the player model says of its
// playback (the rate it needs, what is late at --rate, the rate table).
#pragma once

#include <string>

#include "tools/model/player_model.h"
#include "tools/view/buffering.h"
#include "tools/view/cli.h"
#include "tools/view/stream_decoder.h"

namespace view {

// The buffering mode a stream is read with, and how it was settled.
struct Buffering {
    bool given;            // -c1 or -c2 was on the command line
    BufferingGuess guess;  // when not given
};

// What the player model says of the stream: the rate it needs, and with
// --rate what is late at the given rate.
struct Playback {
    model::Layout layout;
    bool layoutComplete = true;   // every video command could be followed
    double neededRate = 0.0;      // bytes per second; 0 any rate, infinity none
    bool atRate = false;          // --rate given
    model::Result result;         // at --rate
};

// Without -c1 or -c2 the stream is read both ways first and the mode that
// announces every palette number it uses is taken.
Buffering settleBuffering(Settings& s);

// A given mode whose reading shows traces of a wrong mode is suspect when the
// other mode shows fewer: the stream was likely encoded that way.
void warnOnLikelyMode(const Settings& s, bool quiet, Summary& summary);

// lateViolations: late frames and sound gaps at --rate, counted as violations
// with --check.
void printSummary(const Settings& settings, const Buffering& buffering, const Summary& s,
                  int lateViolations);

// Lists the late frames and sound gaps at --rate, at most maxReports lines;
// returns how many there are.
int reportLate(const Settings& settings, const model::Result& r, int maxReports);

void printPlayback(const Settings& settings, const Playback& p);

// The rate table: lateness at rates spread evenly on a log scale around the
// needed rate, one CSV row each.
bool writeRateTable(const char* name, const Playback& p);

}  // namespace view
