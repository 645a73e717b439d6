#include "stream_walker.h"

#include <cstdio>

#include "encoder/video/v2format.h"

namespace videotest {
namespace {

constexpr int NO_PAGE = -1;

struct Walk {
    std::vector<std::vector<uint8_t>> display;
    int displayPages = 1;
    int frame = 0;
    int high = NO_PAGE;        // H; unset at the start of every frame
    bool drawing = false;      // a page command was seen in this frame
    WalkOutput* out = nullptr;
    std::string fault;

    bool fail(const std::string& what, int page, int pos) {
        if (fault.empty()) {
            char where[64];
            snprintf(where, sizeof where, " (FIFO page %d, offset %d, frame %d)", page, pos, frame);
            fault = what + where;
        }
        return false;
    }
    std::vector<uint8_t>& image() { return display[frame % displayPages]; }
};

bool decodePalet(Walk& w, const uint8_t* d, int avail, int* length, int page, int pos) {
    if (avail < 2) return w.fail("palette command crosses the page", page, pos);
    const int n = d[1];
    if (n < 1 || n > V2_PALET_MAX_ENTRIES) return w.fail("palette entry count out of range", page, pos);
    if (w.drawing) return w.fail("palette command after drawing commands", page, pos);
    int at = 2;
    for (int e = 0; e < n; ++e) {
        if (at >= avail) return w.fail("palette command crosses the page", page, pos);
        const uint8_t h = d[at++];
        DecodedPalet p{};
        if (h == V2PAL_HDR_ZERO) {
            if (at + 3 > avail) return w.fail("palette command crosses the page", page, pos);
            int* level[3] = {&p.green, &p.red, &p.blue};
            const int bit[3] = {4, 2, 1};
            for (int c = 0; c < 3; ++c) {
                const uint8_t b = d[at++];
                if (b & 0xD0) return w.fail("bad palette 0 component byte", page, pos);
                *level[c] = b & V2PAL_LEVEL_MASK;
                if (!(b & V2PAL_UNCHANGED)) p.changes |= bit[c];
            }
        } else {
            if (h & 0x01) return w.fail("bad palette entry header", page, pos);
            p.number = ((h >> 6) & 3) << 4 | ((h >> 2) & 3) << 2;
            int low = -1;
            const struct { uint8_t flag; int bit; int* level; } comps[3] = {
                {V2PAL_HDR_GREEN, 4, &p.green}, {V2PAL_HDR_RED, 2, &p.red}, {V2PAL_HDR_BLUE, 1, &p.blue}};
            for (const auto& c : comps) {
                if (!(h & c.flag)) continue;
                if (at >= avail) return w.fail("palette command crosses the page", page, pos);
                const uint8_t b = d[at++];
                if (b & 0x30) return w.fail("bad palette component byte", page, pos);
                if (low >= 0 && low != (b >> 6)) return w.fail("palette number bits disagree", page, pos);
                low = b >> 6;
                *c.level = b & V2PAL_LEVEL_MASK;
                p.changes |= c.bit;
            }
            if (low < 0) return w.fail("palette entry without components", page, pos);
            p.number |= low;
            if (p.number == 0) return w.fail("palette 0 in the short form", page, pos);
        }
        w.out->palets[w.frame].push_back(p);
    }
    *length = at;
    return true;
}

bool needHigh(Walk& w, int page, int pos) {
    if (w.high == NO_PAGE) return w.fail("drawing before an absolute page command in the frame", page, pos);
    return true;
}

// Decodes one command at d (avail bytes before the page's limit); sets *length.
bool decodeCommand(Walk& w, const uint8_t* d, int avail, int* length, int page, int pos) {
    const uint8_t op = d[0];
    auto need = [&](int n) {
        *length = n;
        return n <= avail ? true : w.fail("command crosses the page", page, pos);
    };
    if (op >= 0x01 && op <= V2OP_PAGE_ADVANCE_MAX) {
        if (!need(1) || !needHigh(w, page, pos)) return false;
        w.high += op;
        if (w.high > 0xFF) return w.fail("page advance past 0xFF", page, pos);
        w.drawing = true;
        return true;
    }
    if (op >= V2OP_DRAW2 && op < V2OP_FIL1) {
        const int width = op < V2OP_DRAW3 ? 2 : op < V2OP_DRAW4 ? 3 : op < V2OP_DRAW1 ? 4 : 1;
        const int n = (op & 0x0F) + 1;
        if (!need(1 + n * (width + 1)) || !needHigh(w, page, pos)) return false;
        for (int e = 0; e < n; ++e) {
            const uint8_t* entry = d + 1 + e * (width + 1);
            if (entry[0] + width - 1 > 0xFF) return w.fail("DRAW entry leaves its address page", page, pos);
            for (int i = 0; i < width; ++i) w.image()[w.high * 256 + entry[0] + i] = entry[1 + i];
        }
        return true;
    }
    if (op >= V2OP_FIL1 && op <= V2OP_FIL1 + 0x0F) {
        const int n = (op & 0x0F) + 1;
        if (!need(2 + n) || !needHigh(w, page, pos)) return false;
        for (int e = 0; e < n; ++e) w.image()[w.high * 256 + d[2 + e]] = d[1];
        return true;
    }
    switch (op) {
    case V2OP_PALET:
        return decodePalet(w, d, avail, length, page, pos);
    case V2OP_OPTION:
        if (!need(2)) return false;
        if (w.drawing) return w.fail("option after drawing commands", page, pos);
        w.out->options[w.frame].push_back(d[1]);
        return true;
    case V2OP_PAGE_SET:
        if (!need(2)) return false;
        if (d[1] < V2_GRAM_PLANE_TOP >> 8) return w.fail("page set below the pixel planes", page, pos);
        w.high = d[1];
        w.drawing = true;
        return true;
    case V2OP_FRAME_END:
        *length = 1;
        w.out->images.push_back(w.image());
        ++w.frame;
        w.out->palets.emplace_back();
        w.out->options.emplace_back();
        w.high = NO_PAGE;
        w.drawing = false;
        return true;
    default:
        return w.fail("byte that is no command", page, pos);
    }
}

// Reads commands from d[0 .. limit); a NOP or the stream end fills the rest.
bool walkBytes(Walk& w, const uint8_t* d, int limit, int page) {
    int pos = 0;
    while (pos < limit) {
        const uint8_t op = d[pos];
        if (op == V2OP_NOP || op == V2OP_STREAM_END) {
            for (int i = pos; i < limit; ++i)
                if (d[i] != op) return w.fail(op == V2OP_NOP ? "command after NOP fill" : "byte after stream end", page, i);
            if (op == V2OP_STREAM_END) w.out->ended = true;
            return true;
        }
        if (w.out->ended) return w.fail("command after the stream end", page, pos);
        int length = 0;
        if (!decodeCommand(w, d + pos, limit - pos, &length, page, pos)) return false;
        pos += length;
    }
    return true;
}

}  // namespace

std::string walkStream(const std::vector<uint8_t>& blocks, const std::vector<uint8_t>& tail,
                       const std::vector<uint8_t>& startImage, int displayPages, WalkOutput* out) {
    Walk w;
    w.display.assign(static_cast<size_t>(displayPages), startImage);
    w.displayPages = displayPages;
    w.out = out;
    *out = WalkOutput{};
    out->palets.emplace_back();
    out->options.emplace_back();
    if (blocks.size() % FIFO_PAGE_BYTES != 0) return "blocks are not whole FIFO pages";
    const int pages = static_cast<int>(blocks.size() / FIFO_PAGE_BYTES);
    const int ringPages = (FIFO_RING_END - FIFO_RING_TOP) / FIFO_PAGE_BYTES;
    for (int k = 0; k < pages; ++k) {
        const uint8_t* d = blocks.data() + static_cast<size_t>(k) * FIFO_PAGE_BYTES;
        const bool lastOfRing = k % ringPages == ringPages - 1;
        if (d[FIFO_PAGE_LAST] != (lastOfRing ? V2OP_LOOP : V2OP_BLOCK)) {
            w.fail("wrong page-end marker", k, FIFO_PAGE_LAST);
            return w.fault;
        }
        if (!walkBytes(w, d, FIFO_PAGE_LAST, k)) return w.fault;
        if (out->ended) out->endPageRing = (k % ringPages) * FIFO_PAGE_BYTES;
        ++out->pages;
    }
    if (!out->ended && !walkBytes(w, tail.data(), static_cast<int>(tail.size()), pages)) return w.fault;
    // The entry opened for a frame that never came is dropped.
    out->palets.pop_back();
    out->options.pop_back();
    return "";
}

}  // namespace videotest
