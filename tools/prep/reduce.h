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

// A colour reduction: what it remembers of the frames before, and the work
// areas of one frame, kept here so that nothing is allocated per frame. The
// caller owns it (about 0.4 MB: best on the heap) and passes it to every call;
// two reductions can run side by side.
struct Reducer {
    // A colour in perceptual coordinates (OKLab, scaled).
    struct Point {
        double l;
        double a;
        double b;
    };
    // A colour of the frame and how many pixels have it.
    struct Bin {
        Colour12 colour;
        double weight;
    };
    // A box of the median cut: bins [begin, end) sorted along axis.
    struct Box {
        int begin;
        int end;
        double sse;
        int axis;
        Point mean;
    };

    ReduceState state;
    std::array<Colour12, FRAME_PIXELS> rounded;  // the frame on the 4-bit grid
    std::array<int, COLOURS_4BIT> histogram;
    SceneSample sample;
    std::array<Bin, COLOURS_4BIT> bins;
    int binCount;
    std::array<int, COLOURS_4BIT> binCluster;
    std::array<double, COLOURS_4BIT> binDistance;
    std::array<Point, MAX_COLOURS> seeds;
    std::array<Box, MAX_COLOURS> boxes;
    std::array<Colour12, MAX_COLOURS> palette;  // the palette being chosen
    int paletteSize;
    std::array<uint8_t, COLOURS_4BIT> nearest;  // the palette entry nearest to each colour
    std::array<float, COLOURS_4BIT> nearestDistance;
    std::array<int16_t, COLOURS_4BIT> slotOf;   // palette entry of a colour, or -1
    std::array<int, MAX_COLOURS> usage;
    std::array<std::array<uint8_t, MAX_COLOURS>, MAX_COLOURS> partners;  // entries a dither may mix
    std::array<int, MAX_COLOURS> partnerCount;
};

// Forgets every earlier frame and takes new settings.
void reduceInit(Reducer* r, const ReduceSettings& settings);

// Turns the dither on or off from the next frame on, remembering the frames before.
void reduceSetDither(Reducer* r, Dither dither);

// Reduces one frame of FRAME_PIXELS pixels, 3 bytes each (red, green, blue),
// row 0 at the top. Works in the reducer's storage: nothing is allocated.
void reduceFrame(Reducer* r, const uint8_t* rgb, ReducedFrame* out);

}  // namespace prep
