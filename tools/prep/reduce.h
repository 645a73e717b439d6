// Colour reduction of vendrel-prep: turns each 320 x 200 true-colour frame
// into at most N colours of the target's 4096 (4 bits per primary), keeping
// the palette as still as the pictures allow so that the encoder has little to
// resend from one frame to the next.
#pragma once

#include <array>
#include <cstdint>

#include "tools/prep/frame.h"
#include "tools/prep/scene.h"

namespace prep {

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
    SceneTrack scene;                           // the cut tests' memory
    std::array<Colour12, FRAME_PIXELS> pixels;  // the previous frame as written
};

// Forgets every earlier frame and takes new settings.
void reduceInit(const ReduceSettings& settings);

// Turns the dither on or off from the next frame on, remembering the frames before.
void reduceSetDither(Dither dither);

// For a caller that reduces other pictures in between and then carries on
// where it was.
void reduceSave(ReduceState* snapshot);
void reduceRestore(const ReduceState& snapshot);

// Reduces one frame of FRAME_PIXELS pixels, 3 bytes each (red, green, blue),
// row 0 at the top. Works in fixed storage: nothing is allocated.
void reduceFrame(const uint8_t* rgb, ReducedFrame* out);

}  // namespace prep
