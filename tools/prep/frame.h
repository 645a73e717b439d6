// The frames of vendrel-prep: 320 x 200 pixels of red, green, blue (8 bits
// each, row 0 at the top), and the colours of the target, 4 bits per primary.
#pragma once

#include <cstdint>

#include "format/screen.h"  // the screen's size and LEVEL_SCALE

namespace prep {

inline constexpr int FRAME_PIXELS = SCREEN_WIDTH * SCREEN_HEIGHT;
inline constexpr int FRAME_RGB_BYTES = FRAME_PIXELS * 3;
inline constexpr int COLOURS_4BIT = 4096;  // every colour the target can show
inline constexpr int MAX_COLOURS = PALET_NUMBERS;  // what the target shows at once

// A colour of the target: 0xRGB, 4 bits per primary.
using Colour12 = uint16_t;

inline constexpr int red4(Colour12 c) { return c >> 8; }
inline constexpr int green4(Colour12 c) { return (c >> 4) & 0xF; }
inline constexpr int blue4(Colour12 c) { return c & 0xF; }
inline constexpr Colour12 colour12(int r, int g, int b) {
    return static_cast<Colour12>(r << 8 | g << 4 | b);
}

// Squared distance of two colours, in 4-bit levels.
inline constexpr int colourDistance2(Colour12 a, Colour12 b) {
    const int dr = red4(a) - red4(b);
    const int dg = green4(a) - green4(b);
    const int db = blue4(a) - blue4(b);
    return dr * dr + dg * dg + db * db;
}

// Squared error of a colour as the target shows it against a pixel (red,
// green, blue, 8 bits each).
inline constexpr int pixelError(Colour12 c, const uint8_t* rgb) {
    const int dr = red4(c) * LEVEL_SCALE - rgb[0];
    const int dg = green4(c) * LEVEL_SCALE - rgb[1];
    const int db = blue4(c) * LEVEL_SCALE - rgb[2];
    return dr * dr + dg * dg + db * db;
}

// The 4-bit level nearest to an 8-bit component: the target shows level c as
// c * 17 (0x00, 0x11, ... 0xFF), so 0x08 goes down to 0 and 0x09 up to 1.
inline constexpr int level4(int v8) { return (v8 * 15 + 127) / 255; }

}  // namespace prep
