// The survey's choice of frame rate and colours on made-up footage.
#include "tools/prep/survey.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using namespace prep;

constexpr int HIGHEST = 4;  // 15 frames per second

struct Footage {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<const uint8_t*> pointers;

    // n display frames: a gradient, then from frame `noiseFrom` on noise anew in every frame.
    Footage(int n, int noiseFrom) {
        std::mt19937 random(7);
        for (int d = 0; d < n; ++d) {
            std::vector<uint8_t> rgb(FRAME_RGB_BYTES);
            for (int i = 0; i < FRAME_PIXELS; ++i) {
                const int x = i % SCREEN_WIDTH;
                const int y = i / SCREEN_WIDTH;
                if (d < noiseFrom) {
                    rgb[3 * i] = static_cast<uint8_t>(x * 255 / SCREEN_WIDTH);
                    rgb[3 * i + 1] = static_cast<uint8_t>(y * 255 / SCREEN_HEIGHT);
                    rgb[3 * i + 2] = 128;
                } else {
                    for (int k = 0; k < 3; ++k) rgb[3 * i + k] = static_cast<uint8_t>(random());
                }
            }
            frames.push_back(rgb);
        }
        for (const auto& f : frames) pointers.push_back(f.data());
    }
};

Survey& survey() {
    static const auto s = std::make_unique<Survey>();
    return *s;
}

SurveyChoice choose(const Footage& footage, double bytesPerSecond) {
    return surveyChoose(&survey(), {bytesPerSecond, HIGHEST, MAX_COLOURS, 0.0}, footage.pointers.data(),
                        static_cast<int>(footage.pointers.size()));
}

TEST(Survey, StillPictureTakesTheHighestFrameRateAndEveryColour) {
    // Up to the cut at frame 20 the footage is still; what follows is not looked at.
    for (const Footage& footage : {Footage(SURVEY_FRAMES, SURVEY_FRAMES), Footage(SURVEY_FRAMES, 20)}) {
        const SurveyChoice choice = choose(footage, 100000.0);
        EXPECT_EQ(choice.interval, HIGHEST);
        EXPECT_EQ(choice.colourLimit, MAX_COLOURS);
    }
}

TEST(Survey, NoiseAtALowRateGivesUpFrameRateOrColours) {
    const Footage footage(SURVEY_FRAMES, 0);
    const SurveyChoice rich = choose(footage, 1e9);
    EXPECT_EQ(rich.interval, HIGHEST);
    EXPECT_EQ(rich.colourLimit, MAX_COLOURS);
    const SurveyChoice poor = choose(footage, 20000.0);
    EXPECT_TRUE(poor.interval > HIGHEST || poor.colourLimit < MAX_COLOURS);
    EXPECT_GT(poor.error, rich.error);
}

TEST(Survey, ChoiceDependsOnlyOnTheFootage) {
    // A survey carries nothing from one scene to the next: the same footage
    // gets the same choice in a fresh survey and after other footage.
    const Footage footage(SURVEY_FRAMES, SURVEY_FRAMES / 2);
    const SurveyChoice first = choose(footage, 50000.0);
    choose(Footage(SURVEY_FRAMES, 0), 20000.0);
    const SurveyChoice again = choose(footage, 50000.0);
    auto fresh = std::make_unique<Survey>();
    const SurveyChoice alone = surveyChoose(fresh.get(), {50000.0, HIGHEST, MAX_COLOURS, 0.0}, footage.pointers.data(),
                                            static_cast<int>(footage.pointers.size()));
    for (const SurveyChoice& c : {again, alone}) {
        EXPECT_EQ(c.interval, first.interval);
        EXPECT_EQ(c.colourLimit, first.colourLimit);
        EXPECT_DOUBLE_EQ(c.error, first.error);
        EXPECT_EQ(c.framesFirst, first.framesFirst);
    }
}

}  // namespace
