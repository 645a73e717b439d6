// A test-only reader of the video command stream: it checks the framing the
// player depends on and replays the commands onto GRAM images, so tests can
// compare what the player would show with the frames that were encoded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/video/fifo.h"

namespace videotest {

struct DecodedPalet {
    int number;
    int changes;  // 1 blue, 2 red, 4 green
    int blue, red, green;  // levels 0-15; for palette 0 all three, else only the changed ones
    bool operator==(const DecodedPalet&) const = default;
};

struct WalkOutput {
    std::vector<std::vector<uint8_t>> images;      // display page image after each frame
    std::vector<std::vector<DecodedPalet>> palets; // palette entries of each frame
    std::vector<std::vector<uint8_t>> options;     // option bytes of each frame
    int pages = 0;                                 // FIFO pages read
    bool ended = false;                            // the stream end was met
    int endPageRing = -1;                          // ring offset of the last page, once ended
};

// Walks the handed-over blocks (whole FIFO pages, the first at ring offset 0),
// then `tail`, the unclosed rest of the current page. Frames draw onto
// `startImage` (one copy per display page; frame i onto page i % displayPages).
// Returns an empty string for a well-formed stream, else the first fault found.
std::string walkStream(const std::vector<uint8_t>& blocks, const std::vector<uint8_t>& tail,
                       const std::vector<uint8_t>& startImage, int displayPages, WalkOutput* out);

}  // namespace videotest
