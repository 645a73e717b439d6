// Colour reduction of vendrel-prep: turns each 320 x 200 true-colour frame
// into at most N colours of the target's 4096 (4 bits per primary), keeping
// the palette as still as the pictures allow so that the encoder has little to
// resend from one frame to the next.
#pragma once

#include <array>
#include <cstdint>

namespace prep {

inline constexpr int FRAME_WIDTH = 320;
inline constexpr int FRAME_HEIGHT = 200;
inline constexpr int FRAME_PIXELS = FRAME_WIDTH * FRAME_HEIGHT;
inline constexpr int FRAME_RGB_BYTES = FRAME_PIXELS * 3;
inline constexpr int COLOURS_4BIT = 4096;  // every colour the target can show
inline constexpr int MAX_COLOURS = 64;     // what the target shows at once

// A colour of the target: 0xRGB, 4 bits per primary.
using Colour12 = uint16_t;

inline constexpr int red4(Colour12 c) { return c >> 8; }
inline constexpr int green4(Colour12 c) { return (c >> 4) & 0xF; }
inline constexpr int blue4(Colour12 c) { return c & 0xF; }
inline constexpr Colour12 colour12(int r, int g, int b) {
    return static_cast<Colour12>(r << 8 | g << 4 | b);
}

// The target shows 4-bit level c as the 8-bit value c * LEVEL_SCALE.
inline constexpr int LEVEL_SCALE = 17;

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

// Cells of 3 bits per primary, for telling whether a scene goes on.
inline constexpr int COARSE_CELLS = 512;
using CoarseCells = std::array<int, COARSE_CELLS>;

enum class Dither { None, Ordered };

struct ReduceSettings {
    int colours = MAX_COLOURS;  // 2 to 64
    Dither dither = Dither::None;
};

// One reduced frame: palette holds the colours the frame really uses (each at
// most once), index the palette entry of every pixel, row 0 at the top.
struct ReducedFrame {
    std::array<Colour12, MAX_COLOURS> palette;
    int paletteSize;
    std::array<uint8_t, FRAME_PIXELS> index;
    bool sceneCut;    // chosen afresh: first frame or the picture changed wholesale
    int keptColours;  // palette colours the previous frame used as well
};

// What the reduction remembers of the frames before: its settings, the
// previous frame's palette, coarse colours and pixels.
struct ReduceState {
    ReduceSettings settings;
    bool havePrevious;
    std::array<Colour12, MAX_COLOURS> palette;  // colours the previous frame used
    int paletteSize;
    CoarseCells coarse;                         // pixels per coarse colour cell
    std::array<Colour12, FRAME_PIXELS> pixels;  // the previous frame as written
    std::array<std::array<int, 4>, 4> ditherOffset;  // in 8-bit units
};

// Forgets every earlier frame and takes new settings.
void reduceInit(const ReduceSettings& settings);

// Counts every step-th pixel of every step-th row (red, green, blue) into
// coarse colour cells; two such counts belong to one scene when at least half
// of the pixels share cells, the rule by which the reduction starts afresh.
void countCoarse(const uint8_t* rgb, int step, CoarseCells* cells);
bool sameScene(const CoarseCells& before, const CoarseCells& now);

// For a caller that reduces other pictures in between and then carries on
// where it was.
void reduceSave(ReduceState* snapshot);
void reduceRestore(const ReduceState& snapshot);

// Reduces one frame of FRAME_PIXELS pixels, 3 bytes each (red, green, blue),
// row 0 at the top. Works in fixed storage: nothing is allocated.
void reduceFrame(const uint8_t* rgb, ReducedFrame* out);

}  // namespace prep
