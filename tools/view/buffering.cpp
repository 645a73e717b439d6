// Finding the buffering mode by reading the stream both ways.
#include "tools/view/buffering.h"

#include <bit>

namespace view {

ModeTraces tracesOf(const Summary& summary) {
    return {true, std::popcount(summary.unannounced[0]) + std::popcount(summary.unannounced[1]),
            summary.repeatedEntries};
}

bool fewerTraces(const ModeTraces& a, const ModeTraces& b) {
    if (a.read != b.read) return a.read;
    if (a.unannounced != b.unannounced) return a.unannounced < b.unannounced;
    return a.repeated < b.repeated;
}

ModeTraces readForTraces(const char* path, long bootSize, int pages) {
    DecodeOptions options;
    options.pages = pages;
    options.bootSize = bootSize;
    options.quiet = true;
    const Sink none;
    Summary summary;
    if (decodeStream(path, options, none, summary) < 0) return {false, 0, 0};
    return tracesOf(summary);
}

int otherPages(int pages) { return pages == DOUBLE_BUFFERED ? SINGLE_BUFFERED : DOUBLE_BUFFERED; }

// On a tie single buffering is taken. Ties come from streams that read alike
// both ways (one frame; a picture of one colour, which both modes encode to
// the same bytes) and from a still picture encoded single, whose empty frames
// after the first would show a blank second page read double. A still
// picture encoded double does not tie: its second page's first palette,
// read single, repeats the first page's.
BufferingGuess guessBuffering(const char* path, long bootSize) {
    BufferingGuess guess{SINGLE_BUFFERED, {}, false};
    guess.traces[0] = readForTraces(path, bootSize, SINGLE_BUFFERED);
    if (!guess.traces[0].read) return guess;  // unreadable: the real reading says why
    guess.traces[1] = readForTraces(path, bootSize, DOUBLE_BUFFERED);
    if (fewerTraces(guess.traces[1], guess.traces[0])) guess.pages = DOUBLE_BUFFERED;
    guess.certain = fewerTraces(guess.traces[0], guess.traces[1]) || guess.pages == DOUBLE_BUFFERED;
    return guess;
}

}  // namespace view
