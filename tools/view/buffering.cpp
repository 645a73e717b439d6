// Finding the buffering mode by reading the stream both ways.
#include "tools/view/buffering.h"

#include <bit>

namespace view {

int unannouncedCount(const Summary& summary) {
    return std::popcount(summary.unannounced[0]) + std::popcount(summary.unannounced[1]);
}

int otherPages(int pages) { return pages == DOUBLE_BUFFERED ? SINGLE_BUFFERED : DOUBLE_BUFFERED; }

int unannouncedWhenRead(const char* path, long bootSize, int pages) {
    DecodeOptions options;
    options.pages = pages;
    options.bootSize = bootSize;
    options.quiet = true;
    const Sink none;
    Summary summary;
    if (decodeStream(path, options, none, summary) < 0) return -1;
    return unannouncedCount(summary);
}

// On a tie (one frame, a still picture) single buffering is taken: a still
// picture encoded single has empty frames after the first, which read double
// would show a blank second page, while one encoded double draws the same
// picture on both pages and reads alike either way.
BufferingGuess guessBuffering(const char* path, long bootSize) {
    BufferingGuess guess{SINGLE_BUFFERED, {-1, -1}, false};
    guess.unannounced[0] = unannouncedWhenRead(path, bootSize, SINGLE_BUFFERED);
    if (guess.unannounced[0] < 0) return guess;  // unreadable: the real reading says why
    guess.unannounced[1] = unannouncedWhenRead(path, bootSize, DOUBLE_BUFFERED);
    guess.certain = guess.unannounced[0] != guess.unannounced[1];
    if (guess.unannounced[1] < guess.unannounced[0]) guess.pages = DOUBLE_BUFFERED;
    return guess;
}

}  // namespace view
