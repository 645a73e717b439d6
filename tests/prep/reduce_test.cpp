// Colour reduction of vendrel-prep: the colour limit in every case, the
// quality of the chosen colours, and the palette's stillness over time.
// The tool is its own program, so its source is compiled into this test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "tools/prep/reduce.h"

namespace {

using prep::Colour12;
using prep::Dither;
using prep::FRAME_PIXELS;
using prep::ReducedFrame;

using Rgb = std::vector<uint8_t>;

void setPixel(Rgb& f, int x, int y, int r, int g, int b) {
    uint8_t* p = &f[3 * (y * SCREEN_WIDTH + x)];
    p[0] = static_cast<uint8_t>(r);
    p[1] = static_cast<uint8_t>(g);
    p[2] = static_cast<uint8_t>(b);
}

// Thousands of distinct colours, smooth in every direction.
Rgb gradient(int shift = 0) {
    Rgb f(prep::FRAME_RGB_BYTES);
    for (int y = 0; y < SCREEN_HEIGHT; ++y)
        for (int x = 0; x < SCREEN_WIDTH; ++x)
            setPixel(f, x, y, (x + shift) * 255 / (SCREEN_WIDTH + 40), y * 255 / SCREEN_HEIGHT, (x + 2 * y) % 256);
    return f;
}

Rgb noise(uint32_t seed) {
    Rgb f(prep::FRAME_RGB_BYTES);
    for (uint8_t& v : f) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<uint8_t>(seed >> 24);
    }
    return f;
}

// The gradient with a bright square at (x, y).
Rgb gradientWithSquare(int x0, int y0) {
    Rgb f = gradient();
    for (int y = y0; y < y0 + 24; ++y)
        for (int x = x0; x < x0 + 24; ++x) setPixel(f, x, y, 255, 255, 40);
    return f;
}

// The one reduction the tests run, as a run of vendrel-prep has.
prep::Reducer* reducer() {
    static const auto r = std::make_unique<prep::Reducer>();
    return r.get();
}

ReducedFrame reduce(const Rgb& f) {
    static ReducedFrame out;
    prep::reduceFrame(reducer(), f.data(), &out);
    return out;
}

Colour12 colourAt(const ReducedFrame& r, int i) { return r.palette[r.index[i]]; }

std::set<Colour12> coloursOf(const ReducedFrame& r) {
    std::set<Colour12> s;
    for (int i = 0; i < FRAME_PIXELS; ++i) s.insert(colourAt(r, i));
    return s;
}

// Mean squared error per component against the source, the target showing
// 4-bit level c as c * 17.
double meanSquaredError(const Rgb& f, const ReducedFrame& r) {
    double sum = 0;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const Colour12 c = colourAt(r, i);
        const int shown[3] = {prep::red4(c) * 17, prep::green4(c) * 17, prep::blue4(c) * 17};
        for (int k = 0; k < 3; ++k) sum += std::pow(f[3 * i + k] - shown[k], 2);
    }
    return sum / (3.0 * FRAME_PIXELS);
}

// The picture as a reduction stores it: every pixel's colour, and the
// palette well-formed (distinct entries, each used, indexes in range).
void expectWellFormed(const ReducedFrame& r, int limit) {
    ASSERT_GE(r.paletteSize, 1);
    ASSERT_LE(r.paletteSize, limit);
    std::vector<int> uses(r.paletteSize, 0);
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        ASSERT_LT(r.index[i], r.paletteSize) << "pixel " << i;
        ++uses[r.index[i]];
    }
    for (int j = 0; j < r.paletteSize; ++j) {
        EXPECT_GT(uses[j], 0) << "entry " << j << " unused";
        for (int k = 0; k < j; ++k) EXPECT_NE(r.palette[j], r.palette[k]) << "entries " << k << " and " << j;
    }
}

TEST(PrepReduceLimit, NeverMoreColoursThanAllowedWithOrWithoutDither) {
    for (const int limit : {64, 32, 16, 8, 4, 2}) {
        for (const Dither dither : {Dither::None, Dither::Ordered}) {
            SCOPED_TRACE("limit " + std::to_string(limit) + (dither == Dither::Ordered ? " ordered" : " none"));
            prep::reduceInit(reducer(), {limit, dither});
            // A scene start, its continuation, a cut to noise, noise going on.
            for (const Rgb& f : {gradient(), gradient(6), noise(1), noise(2)}) {
                const ReducedFrame r = reduce(f);
                expectWellFormed(r, limit);
                EXPECT_LE(static_cast<int>(coloursOf(r).size()), limit);
            }
        }
    }
}

TEST(PrepReduceLimit, FewColoursAreKeptExactlyAtTheNearestLevel) {
    // Eight colours whose components sit at and around the rounding points.
    const int values[8][3] = {{0, 0, 0},     {8, 9, 255},   {9, 8, 254},   {25, 26, 247},
                              {127, 128, 136}, {255, 0, 17}, {100, 200, 50}, {42, 43, 44}};
    Rgb f(prep::FRAME_RGB_BYTES);
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const int* v = values[(i / 7 + i / SCREEN_WIDTH) % 8];
        setPixel(f, i % SCREEN_WIDTH, i / SCREEN_WIDTH, v[0], v[1], v[2]);
    }
    prep::reduceInit(reducer(), {8, Dither::None});
    const ReducedFrame r = reduce(f);
    expectWellFormed(r, 8);
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const int* v = values[(i / 7 + i / SCREEN_WIDTH) % 8];
        const Colour12 want = prep::colour12(static_cast<int>(std::lround(v[0] / 17.0)),
                                             static_cast<int>(std::lround(v[1] / 17.0)),
                                             static_cast<int>(std::lround(v[2] / 17.0)));
        ASSERT_EQ(colourAt(r, i), want) << "pixel " << i;
    }
}

// A fixed 4 x 4 x 4 cube of levels 0, 5, 10, 15: what any adaptive palette
// of 64 colours must beat on pictures that do not fill the cube evenly.
double uniformCubeError(const Rgb& f) {
    double sum = 0;
    for (uint8_t v : f) {
        const int level = static_cast<int>(std::lround(v / 85.0)) * 5;
        sum += std::pow(v - level * 17, 2);
    }
    return sum / f.size();
}

TEST(PrepReduceQuality, AdaptivePaletteBeatsAFixedCube) {
    prep::reduceInit(reducer(), {64, Dither::None});
    const Rgb g = gradient();
    const double adaptive = meanSquaredError(g, reduce(g));
    EXPECT_LT(adaptive, 0.6 * uniformCubeError(g));

    // A picture of dark colours only: a fixed cube wastes most entries.
    Rgb dark = gradient();
    for (uint8_t& v : dark) v = static_cast<uint8_t>(v / 4);
    prep::reduceInit(reducer(), {64, Dither::None});
    EXPECT_LT(meanSquaredError(dark, reduce(dark)), 0.3 * uniformCubeError(dark));
}

TEST(PrepReduceQuality, FewerColoursCostMoreError) {
    const Rgb g = gradient();
    double previous = -1;
    for (const int limit : {64, 16, 4}) {
        prep::reduceInit(reducer(), {limit, Dither::None});
        const double e = meanSquaredError(g, reduce(g));
        EXPECT_GT(e, previous) << "limit " << limit;
        previous = e;
    }
}

TEST(PrepReduceQuality, LightDitherTakesTheBandingOutOfASmoothRamp) {
    // A grey ramp over four 4-bit levels: rounded, it shows four bands.
    Rgb ramp(prep::FRAME_RGB_BYTES);
    for (int y = 0; y < SCREEN_HEIGHT; ++y)
        for (int x = 0; x < SCREEN_WIDTH; ++x) {
            const int v = 85 + x * 68 / (SCREEN_WIDTH - 1);
            setPixel(ramp, x, y, v, v, v);
        }
    // How far the mean brightness of each group of 4 columns (a whole dither
    // cell wide) strays from the ramp's.
    const auto groupError = [&](const ReducedFrame& r) {
        double total = 0;
        for (int x0 = 0; x0 < SCREEN_WIDTH; x0 += 4) {
            double want = 0;
            double shown = 0;
            for (int x = x0; x < x0 + 4; ++x) {
                want += ramp[3 * x];
                for (int y = 0; y < SCREEN_HEIGHT; ++y) shown += prep::red4(colourAt(r, y * SCREEN_WIDTH + x)) * 17;
            }
            total += std::fabs(shown / (4 * SCREEN_HEIGHT) - want / 4);
        }
        return total / (SCREEN_WIDTH / 4);
    };
    prep::reduceInit(reducer(), {64, Dither::None});
    const double plain = groupError(reduce(ramp));
    prep::reduceInit(reducer(), {64, Dither::Ordered});
    const ReducedFrame dithered = reduce(ramp);
    expectWellFormed(dithered, 64);
    EXPECT_LT(groupError(dithered), 0.4 * plain);
    // Light: no pixel strays more than one level from the ramp in any primary.
    for (int x = 0; x < SCREEN_WIDTH; ++x)
        ASSERT_LE(std::abs(prep::red4(colourAt(dithered, x)) * 17 - ramp[3 * x]), 17 + 8) << "column " << x;
}

TEST(PrepReduceStability, StaticClipKeepsEveryColourAndPixel) {
    for (const Dither dither : {Dither::None, Dither::Ordered}) {
        Rgb f = gradient();
        const Rgb n = noise(7);
        for (int i = 0; i < prep::FRAME_RGB_BYTES; ++i) f[i] = static_cast<uint8_t>((f[i] * 3 + n[i]) / 4);
        prep::reduceInit(reducer(), {64, dither});
        const ReducedFrame first = reduce(f);
        EXPECT_TRUE(first.sceneCut);
        for (int frame = 2; frame <= 3; ++frame) {
            SCOPED_TRACE("frame " + std::to_string(frame));
            const ReducedFrame again = reduce(f);
            EXPECT_FALSE(again.sceneCut);
            EXPECT_EQ(coloursOf(again), coloursOf(first));
            EXPECT_EQ(again.keptColours, again.paletteSize);
            int moved = 0;
            for (int i = 0; i < FRAME_PIXELS; ++i) moved += colourAt(again, i) != colourAt(first, i);
            EXPECT_EQ(moved, 0);
        }
    }
}

TEST(PrepReduceStability, MovingObjectLeavesTheBackgroundAlone) {
    prep::reduceInit(reducer(), {64, Dither::None});
    ReducedFrame previous = reduce(gradientWithSquare(20, 20));
    int colourChanges = 0;
    for (int step = 1; step <= 8; ++step) {
        const int x = 20 + step * 30;
        const ReducedFrame r = reduce(gradientWithSquare(x, 20 + step * 10));
        EXPECT_FALSE(r.sceneCut);
        colourChanges += r.paletteSize - r.keptColours;
        // Pixels away from both squares, the old and the new.
        int background = 0;
        int moved = 0;
        for (int i = 0; i < FRAME_PIXELS; ++i) {
            const int px = i % SCREEN_WIDTH;
            const int py = i / SCREEN_WIDTH;
            const bool nearSquare = px >= x - 34 && px < x + 24 && py >= 20 + step * 10 - 14 && py < 44 + step * 10;
            if (nearSquare) continue;
            ++background;
            moved += colourAt(r, i) != colourAt(previous, i);
        }
        EXPECT_LT(moved, background / 50) << "step " << step;  // under 2 % of the background
        previous = r;
    }
    EXPECT_LT(colourChanges, 8 * 4);  // a few entries a frame, not the palette
}

TEST(PrepReduceStability, KeepingOldColoursCostsLittleQuality) {
    // A quarter of the picture turns into a new, blue-green scene.
    Rgb changed = gradient();
    const Rgb n = noise(3);
    for (int y = 0; y < SCREEN_HEIGHT / 2; ++y)
        for (int x = 0; x < SCREEN_WIDTH / 2; ++x) {
            const int i = 3 * (y * SCREEN_WIDTH + x);
            setPixel(changed, x, y, n[i] / 8, 128 + n[i + 1] / 2, 160 + n[i + 2] / 3);
        }
    prep::reduceInit(reducer(), {64, Dither::None});
    reduce(gradient());
    const ReducedFrame continued = reduce(changed);
    EXPECT_FALSE(continued.sceneCut);
    prep::reduceInit(reducer(), {64, Dither::None});
    const ReducedFrame fresh = reduce(changed);
    EXPECT_LT(meanSquaredError(changed, continued), 1.15 * meanSquaredError(changed, fresh));
}

TEST(PrepReduceStability, SceneCutStartsAfresh) {
    Rgb other = noise(11);
    for (size_t i = 0; i < other.size(); i += 3) other[i] = 0;  // no red at all: nothing like the gradient
    prep::reduceInit(reducer(), {32, Dither::None});
    reduce(gradient());
    reduce(gradient(4));
    const ReducedFrame cut = reduce(other);
    EXPECT_TRUE(cut.sceneCut);

    prep::reduceInit(reducer(), {32, Dither::None});
    const ReducedFrame alone = reduce(other);
    ASSERT_EQ(cut.paletteSize, alone.paletteSize);
    EXPECT_EQ(coloursOf(cut), coloursOf(alone));
    for (int i = 0; i < FRAME_PIXELS; ++i) ASSERT_EQ(colourAt(cut, i), colourAt(alone, i)) << "pixel " << i;
}

TEST(PrepReduceStability, ReduceInitForgetsThePreviousFrame) {
    prep::reduceInit(reducer(), {64, Dither::None});
    reduce(gradient());
    prep::reduceInit(reducer(), {64, Dither::None});
    const ReducedFrame r = reduce(gradient());
    EXPECT_TRUE(r.sceneCut);
    EXPECT_EQ(r.keptColours, 0);
}

}  // namespace
