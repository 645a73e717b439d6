// The byte language of the video command stream that the player carries out:
// opcodes, entry limits and the bit layout of palette and option commands.
// Every writer of the stream and the tests' decoder take their numbers from here.
#pragma once

#include <cstdint>
#include <initializer_list>

// First bytes of commands.
inline constexpr uint8_t V2OP_NOP = 0x00;          // filler up to the page-end marker
inline constexpr uint8_t V2OP_PAGE_ADVANCE_MAX = 0x0F;  // 0x01-0x0F: H += first byte
inline constexpr uint8_t V2OP_DRAW2 = 0x10;        // 0x10-0x1F
inline constexpr uint8_t V2OP_DRAW3 = 0x20;        // 0x20-0x2F
inline constexpr uint8_t V2OP_DRAW4 = 0x30;        // 0x30-0x3F
inline constexpr uint8_t V2OP_DRAW1 = 0x40;        // 0x40-0x4F
inline constexpr uint8_t V2OP_FIL1 = 0x50;         // 0x50-0x5F
inline constexpr uint8_t V2OP_PALET = 0x78;        // palette update
inline constexpr uint8_t V2OP_OPTION = 0x79;       // one per-frame setting
inline constexpr uint8_t V2OP_PAGE_SET = 0x7A;     // H = next byte
inline constexpr uint8_t V2OP_BLOCK = 0x7B;        // page-end marker, the next FIFO page follows
inline constexpr uint8_t V2OP_LOOP = 0x7D;         // page-end marker, continue at the ring top
inline constexpr uint8_t V2OP_FRAME_END = 0x7E;
inline constexpr uint8_t V2OP_STREAM_END = 0x7F;

// DRAW and FIL1 carry their entry count minus one in the low nibble.
inline constexpr int V2_CMD_MAX_ENTRIES = 16;
inline constexpr int V2_DRAW_MAX_WIDTH = 4;

// Opcode base of a DRAW command by its width (index 1-4).
inline constexpr uint8_t v2DrawOpcode[V2_DRAW_MAX_WIDTH + 1] = {0, V2OP_DRAW1, V2OP_DRAW2, V2OP_DRAW3,
                                                                 V2OP_DRAW4};

// The lengths of commands, first byte included. A DRAW entry is an address
// byte and width data bytes; a FIL1 command is its opcode, the value and an
// address byte per entry.
constexpr int v2CommandEntries(uint8_t op) { return (op & 0x0F) + 1; }
// Width of the entries of a DRAW opcode (1-4), 0 when it is none.
constexpr int v2DrawWidth(uint8_t op) {
    for (int w = 1; w <= V2_DRAW_MAX_WIDTH; ++w) {
        if ((op & 0xF0) == v2DrawOpcode[w]) return w;
    }
    return 0;
}
constexpr int v2DrawLength(int width, int entries) { return 1 + entries * (width + 1); }
constexpr int v2Fil1Length(int entries) { return 2 + entries; }
static_assert(v2DrawWidth(0x1F) == 2 && v2DrawLength(v2DrawWidth(0x1F), v2CommandEntries(0x1F)) == 49);

// Palette update entries: a header byte, then component bytes green, red, blue.
inline constexpr int V2_PALET_MAX_ENTRIES = 64;
inline constexpr int V2_PALET_ENTRY_MAX_BYTES = 4;
inline constexpr uint8_t V2PAL_HDR_GREEN = 0x20;     // a green byte follows
inline constexpr uint8_t V2PAL_HDR_RED = 0x10;       // a red byte follows
inline constexpr uint8_t V2PAL_HDR_BLUE = 0x02;      // a blue byte follows
inline constexpr uint8_t V2PAL_HDR_ZERO = 0x01;      // palette 0: all three bytes follow
inline constexpr uint8_t V2PAL_UNCHANGED = 0x20;     // palette 0: this component did not change
inline constexpr uint8_t V2PAL_LEVEL_MASK = 0x0F;
inline constexpr uint8_t V2PAL_RESERVED = 0x10;      // component byte bit that is always 0
// The six bits of a palette number p: bits 5-4 in header bits 7-6, bits 3-2
// in header bits 3-2, bits 1-0 in bits 7-6 of every component byte.
inline constexpr uint8_t V2PAL_HDR_HIGH_BITS = 0xC0;
inline constexpr uint8_t V2PAL_HDR_MID_BITS = 0x0C;
inline constexpr uint8_t V2PAL_NUMBER_LOW_BITS = 0xC0;
inline constexpr int V2PAL_NUMBER_LOW_SHIFT = 6;

// Length of a palette update entry by its header: the header and the
// component bytes it announces; palette 0 always carries all three.
constexpr int v2PaletEntryLength(uint8_t header) {
    if (header & V2PAL_HDR_ZERO) return V2_PALET_ENTRY_MAX_BYTES;
    int length = 1;
    for (uint8_t bit : {V2PAL_HDR_GREEN, V2PAL_HDR_RED, V2PAL_HDR_BLUE}) length += (header & bit) ? 1 : 0;
    return length;
}

constexpr uint8_t v2PaletHeaderNumber(int p) { return static_cast<uint8_t>((p & 0x30) << 2 | (p & 0x0C)); }
constexpr uint8_t v2PaletComponentNumber(int p) { return static_cast<uint8_t>((p & 0x03) << V2PAL_NUMBER_LOW_SHIFT); }
// Bits 5-2 of p from a header; bits 1-0 come from a component byte.
constexpr int v2PaletNumberHigh(uint8_t header) { return (header & V2PAL_HDR_HIGH_BITS) >> 2 | (header & V2PAL_HDR_MID_BITS); }
constexpr int v2PaletNumberLow(uint8_t component) { return (component & V2PAL_NUMBER_LOW_BITS) >> V2PAL_NUMBER_LOW_SHIFT; }
static_assert(v2PaletHeaderNumber(45) == 0x8C && v2PaletComponentNumber(45) == 0x40);
static_assert(v2PaletNumberHigh(0x9C) + v2PaletNumberLow(0x4A) == 45);

// Second bytes of the option command.
inline constexpr int V2OPT_INTERVAL_MAX = 0x3F;
inline constexpr uint8_t V2OPT_FLASH = 0x40;         // + (palette position & 0x0F)
inline constexpr uint8_t V2OPT_PLAY_BIAS = 0x10;     // audio play: value - 0x10
inline constexpr uint8_t V2OPT_OVERLAY_BIAS = 0x80;  // signal: value - 0x80
inline constexpr uint8_t V2OPT_FADER = 0xFF;

// GRAM addresses the stream can draw: the B, R and G planes.
inline constexpr int32_t V2_GRAM_PLANE_TOP = 0x4000;
inline constexpr int32_t V2_GRAM_END = 0x10000;
inline constexpr int32_t V2_ADDRESS_PAGE_BYTES = 0x100;
