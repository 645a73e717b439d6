// The target's 64-colour graphics screen: its size, its palette numbers and
// levels, and how a GRAM page stores a picture.
#pragma once

inline constexpr int SCREEN_WIDTH = 320;
inline constexpr int SCREEN_HEIGHT = 200;
inline constexpr int SCREEN_PIXELS = SCREEN_WIDTH * SCREEN_HEIGHT;

inline constexpr int PALET_NUMBERS = 64;  // palette numbers the target has
// The target shows 4-bit level c as the 8-bit value c * LEVEL_SCALE
// (0x0 -> 0x00, 0xF -> 0xFF).
inline constexpr int LEVEL_SCALE = 17;

inline constexpr int GRAM_PAGE_BYTES = 0x10000;

// GRAM page layout: the blue, red and green planes, each holding layer A and,
// 0x400 bytes further, layer B. A pixel's palette number spreads its six bits
// over the six layers, one bit per pixel, eight pixels to a byte (leftmost in
// bit 7); each layer stores pixel line y at (y & 7) * 2048 + (y >> 3) * 40.
inline constexpr int GRAM_PLANE_BLUE = 0x4000;
inline constexpr int GRAM_PLANE_RED = 0x8000;
inline constexpr int GRAM_PLANE_GREEN = 0xC000;
inline constexpr int GRAM_LAYER_B = 0x400;
inline constexpr int GRAM_LINE_BLOCK = 0x800;  // line y & 7 of every character row
inline constexpr int GRAM_ROW_BYTES = SCREEN_WIDTH / 8;
inline constexpr int GRAM_PALET_BITS = 6;
// Page offset of the layer that stores bit n of a palette number.
inline constexpr int GRAM_LAYER_OF_BIT[GRAM_PALET_BITS] = {
    GRAM_PLANE_BLUE + GRAM_LAYER_B,  GRAM_PLANE_BLUE, GRAM_PLANE_RED + GRAM_LAYER_B,
    GRAM_PLANE_RED, GRAM_PLANE_GREEN + GRAM_LAYER_B, GRAM_PLANE_GREEN,
};

// Offset within a layer of the byte holding pixel (x, y).
constexpr int gramLayerOffset(int x, int y) {
    return (y & 7) * GRAM_LINE_BLOCK + (y >> 3) * GRAM_ROW_BYTES + (x >> 3);
}
