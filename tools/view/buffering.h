// Which buffering mode a stream was encoded with. A stream carries no mark of
// it, but read the wrong way its frames land on the wrong GRAM page, and the
// page's pixels then use palette numbers that were never announced on that
// page: a stream read its own way announces every number before using it.
#pragma once

#include "tools/view/stream_decoder.h"

namespace view {

inline constexpr int SINGLE_BUFFERED = 1;
inline constexpr int DOUBLE_BUFFERED = 2;

// Palette numbers that the pixels of either page use unannounced.
int unannouncedCount(const Summary& summary);

// The other buffering mode.
int otherPages(int pages);

struct BufferingGuess {
    int pages;           // the mode found: SINGLE_BUFFERED or DOUBLE_BUFFERED
    int unannounced[2];  // numbers left unannounced read single, double; -1 when unreadable
    bool certain;        // the two readings differ
};

// Reads the stream both ways, printing nothing, and takes the mode that
// leaves fewer numbers unannounced.
BufferingGuess guessBuffering(const char* path, long bootSize);

// Numbers left unannounced when the stream is read with the given mode, or
// -1 when it cannot be read; prints nothing.
int unannouncedWhenRead(const char* path, long bootSize, int pages);

}  // namespace view
