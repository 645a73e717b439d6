// Scene cuts and the source's cadence, on made-up pictures.
#include "tools/prep/scene.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "tools/prep/survey.h"

namespace {

using namespace prep;
using Picture = std::vector<uint8_t>;

// A dark, blue-grey texture of soft stripes at `angle`, shifted by `shift`
// pixels: two angles give two shots of the very same colours.
Picture texture(double angle, double shift, double gain = 1.0) {
    Picture p(FRAME_RGB_BYTES);
    for (int y = 0; y < SCREEN_HEIGHT; ++y)
        for (int x = 0; x < SCREEN_WIDTH; ++x) {
            const double t = (x + shift) * std::cos(angle) + y * std::sin(angle);
            const double v = gain * (40 + 25 * std::sin(t / 9.0));
            uint8_t* px = &p[3 * (y * SCREEN_WIDTH + x)];
            px[0] = static_cast<uint8_t>(v * 0.8);
            px[1] = static_cast<uint8_t>(v * 0.9);
            px[2] = static_cast<uint8_t>(v * 1.1);
        }
    return p;
}

// Eight flat vertical bars of saturated colours (`order` picks which first),
// scaled by `gain`: whole areas cross the coarse colour cells at once as they fade.
Picture bars(int order, double gain = 1.0) {
    static constexpr uint8_t COLOURS[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                              {255, 0, 255}, {255, 0, 0},     {0, 0, 255},   {40, 40, 40}};
    Picture p(FRAME_RGB_BYTES);
    for (int i = 0; i < FRAME_PIXELS; ++i)
        for (int k = 0; k < 3; ++k)
            p[3 * i + k] = static_cast<uint8_t>(gain * COLOURS[(i % SCREEN_WIDTH / 40 + order) % 8][k]);
    return p;
}

Picture mix(const Picture& a, const Picture& b, double share) {
    Picture p(a.size());
    for (size_t i = 0; i < a.size(); ++i) p[i] = static_cast<uint8_t>(std::lround(a[i] * (1 - share) + b[i] * share));
    return p;
}

// The display frames at which the tests see a cut (the first frame aside).
std::vector<int> cutsIn(const std::vector<Picture>& frames) {
    SceneTrack track;
    sceneTrackInit(&track);
    std::vector<int> cuts;
    for (size_t d = 0; d < frames.size(); ++d) {
        SceneSample s;
        sceneSample(frames[d].data(), &s);
        if (sceneCut(&track, s) && d > 0) cuts.push_back(static_cast<int>(d));
    }
    return cuts;
}

TEST(PrepScene, HardCutBetweenDarkShotsOfTheSameColoursIsFound) {
    std::vector<Picture> frames;
    for (int d = 0; d < 20; ++d) frames.push_back(texture(0.3, d * 1.5));   // a slow pan
    for (int d = 0; d < 20; ++d) frames.push_back(texture(1.9, d * 1.5));   // another shot, same colours
    SceneSample a, b;
    sceneSample(frames[19].data(), &a);
    sceneSample(frames[20].data(), &b);
    ASSERT_TRUE(sameColours(a.cells, b.cells)) << "the colour test alone would miss this cut";
    EXPECT_EQ(cutsIn(frames), std::vector<int>{20});
}

TEST(PrepScene, PansFadesAndCrossfadesAreNoCuts) {
    std::vector<Picture> pan, fade, crossfade;
    for (int d = 0; d < 40; ++d) pan.push_back(texture(0.3, d * 4.0));  // a quick pan: 4 pixels a frame
    for (int d = 0; d < 40; ++d) fade.push_back(texture(0.3, 0, 1.0 - d / 40.0));
    for (int d = 0; d < 40; ++d) crossfade.push_back(mix(texture(0.3, 0), texture(1.9, 0), d / 39.0));
    EXPECT_TRUE(cutsIn(pan).empty());
    EXPECT_TRUE(cutsIn(fade).empty());
    EXPECT_TRUE(cutsIn(crossfade).empty());
    // Flat colours fading out in a 24 fps film's steps (a picture every 2.5
    // display frames), and crossfading into other colours.
    std::vector<Picture> barsFade, barsCrossfade;
    for (int d = 0; d < 60; ++d) barsFade.push_back(bars(0, 1.0 - (d * 2 / 5) / 24.0));
    for (int d = 0; d < 60; ++d) barsCrossfade.push_back(mix(bars(0), bars(3), (d * 2 / 5) / 23.0));
    EXPECT_TRUE(cutsIn(barsFade).empty());
    EXPECT_TRUE(cutsIn(barsCrossfade).empty());
    // A hard cut between them is one.
    std::vector<Picture> barsCut(10, bars(0));
    barsCut.insert(barsCut.end(), 10, bars(3));
    EXPECT_EQ(cutsIn(barsCut), std::vector<int>{10});
}

TEST(PrepCadence, IntervalsFollowTheSourcesOwnFrames) {
    // A 10 fps source and a 24 fps film (3:2 in display frames) in a 60 Hz decode.
    std::array<bool, 64> ten{}, film{};
    for (int d = 0; d < 64; d += 6) ten[d] = true;
    for (int d = 0, k = 0; d < 64; d += (k++ % 2 ? 2 : 3)) film[d] = true;
    const double tenGap = sourceGap(ten.data(), 64);
    const double filmGap = sourceGap(film.data(), 64);
    EXPECT_DOUBLE_EQ(tenGap, 6.0);
    EXPECT_NEAR(filmGap, 2.5, 0.1);
    for (int i : {6, 12, 18, 20}) EXPECT_TRUE(intervalFits(i, tenGap)) << i;
    for (int i : {3, 4, 5, 8, 10}) EXPECT_FALSE(intervalFits(i, tenGap)) << i;  // faster than the source, or uneven
    for (int i : {3, 5, 8, 10, 15}) EXPECT_TRUE(intervalFits(i, filmGap)) << i;
    for (int i : {2, 4, 6}) EXPECT_FALSE(intervalFits(i, filmGap)) << i;
    // A still (nothing new) suits every interval.
    std::array<bool, 64> still{};
    EXPECT_TRUE(intervalFits(2, sourceGap(still.data(), 64)));
}

}  // namespace
