// Which buffering mode a stream was encoded with. A stream carries no mark of
// it, but the encoder announces on each page every palette number before its
// pixels use it, and sends a palette entry only when it changes a colour the
// page holds. Read the wrong way, frames land on the wrong page: its pixels
// then use numbers never announced there, or entries arrive that change
// nothing (a second page's first palette repeated onto the first).
#pragma once

#include "tools/view/stream_decoder.h"

namespace view {

inline constexpr int SINGLE_BUFFERED = 1;
inline constexpr int DOUBLE_BUFFERED = 2;

// The traces of a wrong mode in one reading of the stream.
struct ModeTraces {
    bool read;        // false: the stream could not be read at all
    int unannounced;  // palette numbers used without an announcement, both pages counted
    int repeated;     // palette entries that change nothing on their page
};

ModeTraces tracesOf(const Summary& summary);

// Fewer traces: unannounced numbers first (a sure sign), then repeated entries.
bool fewerTraces(const ModeTraces& a, const ModeTraces& b);

// Reads the stream with the given mode, printing nothing.
ModeTraces readForTraces(const char* path, long bootSize, int pages);

// The other buffering mode.
int otherPages(int pages);

struct BufferingGuess {
    int pages;               // the mode found: SINGLE_BUFFERED or DOUBLE_BUFFERED
    ModeTraces traces[2];    // read single, read double
    bool certain;            // one reading shows fewer traces than the other
};

// Reads the stream both ways and takes the one with fewer traces.
BufferingGuess guessBuffering(const char* path, long bootSize);

}  // namespace view
