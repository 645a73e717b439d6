// The frame rate and colour count for a stretch of footage under a data rate.
//
// A still scene looks best with many colours and a slow one loses little to a
// low frame rate; quick motion wants frames more often, and at a low rate
// that leaves few colours. Before the rate control plans a scene, the survey
// looks at its first display frames and predicts the mean squared error of
// every candidate setting:
//
//   error(colours, interval) = reduction error(colours) + hold error(effective interval)
//
// The reduction error is measured by reducing the scene's first picture. The
// hold error is the squared difference between each display frame and the
// mean of the display frames held with it, measured on the footage for holds
// of every length. When the rate cannot pay for every change at that
// interval, the changes left out stay on screen longer, and pile up: the
// effective interval is the interval divided by the square of the share of
// the changes paid for. The changes a frame brings are counted on the
// footage in the colours of the scene's first reduced picture, between
// frames an interval apart, in changed GRAM bytes.
#pragma once

#include <array>
#include <cstdint>

#include "tools/prep/reduce.h"

namespace prep {

// Bytes one changed GRAM byte costs in the stream, before the rate control
// learns the real figure from the frames it encodes: the byte itself, and its
// share of the DRAW and page commands.
inline constexpr double ROW_LAYER_BYTES = 1.1;

// The plane layers a colour limit uses: a palette number has this many bits.
int planeLayers(int colourLimit);

// The display frames the survey looks at, at most: about a second.
inline constexpr int SURVEY_FRAMES = 64;

// A frame shows the source's picture in the middle of the display frames it
// stays on screen where things move, and their mean where nothing does: a
// pixel whose values over them spread by no more than STILL_RANGE (in 8-bit
// levels) shows the mean, one that spreads by MOVING_RANGE or more the middle
// picture, and those between a mix. Still areas lose their noise and a slow
// pan keeps its natural blur, while nothing that moves is blended into a
// double exposure.
inline constexpr int STILL_RANGE = 24;
inline constexpr int MOVING_RANGE = 64;

// How much of the middle picture (0 to 256) a pixel that spreads by `range` shows.
inline constexpr int middleShare(int range) {
    return range <= STILL_RANGE ? 0
           : range >= MOVING_RANGE ? 256
                                   : (range - STILL_RANGE) * 256 / (MOVING_RANGE - STILL_RANGE);
}

// The longest frame interval the rate control chooses: 3 frames per second.
inline constexpr int LONGEST_INTERVAL = 20;

// The source's own cadence, from the display frames in which its picture
// changes: the mean distance between its new pictures in display frames, or
// 0 when too few changed to tell (a still: any interval does).
double sourceGap(const bool* newPicture, int count);

// Whether a frame interval suits a source whose pictures come every `gap`
// display frames: never more frames than the source has; and where its
// pictures fall on whole display frames within a short period (10, 12, 15,
// 20, 24 or 30 frames per second), an interval that lands on them unless it
// is long enough for the uneven spacing not to show (a 10 fps source: every
// 6th or 12th display frame, or every 18th or more; a 24 fps film: every 3rd,
// the highest rate below its own, every 5th, or every 8th or more).
bool intervalFits(int interval, double gap);

// The interval about a quarter longer or shorter than `interval` that suits
// the source's cadence (see intervalFits), within minInterval and
// LONGEST_INTERVAL; `interval` itself when none does.
int stepInterval(int interval, bool longer, int minInterval, double gap);

struct SurveySettings {
    double videoBytesPerSecond;  // what the rate leaves for pictures
    int minInterval;             // the highest frame rate, as display frames per frame
    int maxColours;
    double sourceGap;            // see sourceGap()
};

struct SurveyChoice {
    int interval;
    int colourLimit;
    double error;  // predicted mean squared error per component
    bool framesFirst;  // rate to spare would mend more as frames than as colours
};

// What the survey works in: the footage in small copies and in the target's
// colours, the hold errors measured, and a colour reduction of its own. The
// caller owns it (some 13 MB: best on the heap) and passes it to every call.
struct Survey {
    // The hold error is measured on every fourth pixel of every fourth row.
    static constexpr int STEP = 4;
    static constexpr int SMALL_VALUES = (SCREEN_WIDTH / STEP) * (SCREEN_HEIGHT / STEP) * 3;
    static constexpr int HOLDS = 15;  // hold lengths measured

    std::array<std::array<uint8_t, SMALL_VALUES>, SURVEY_FRAMES> small;
    std::array<std::array<uint8_t, SMALL_VALUES>, SURVEY_FRAMES> blocks;  // the 2 x 2 block means there
    std::array<uint16_t, SMALL_VALUES> sums;
    std::array<uint16_t, SMALL_VALUES> blockSums;
    std::array<double, HOLDS> holdError;  // per component, at each hold measured
    int holdsMeasured;
    Reducer reducer;
    ReducedFrame first;                          // the scene's first picture, reduced
    std::array<uint8_t, COLOURS_4BIT> nearest;  // the first picture's palette entry nearest to each colour
    // The frames in the target's colours, and the palette entry of every
    // pixel of each frame, 8 pixels a word.
    std::array<std::array<Colour12, FRAME_PIXELS>, SURVEY_FRAMES> colours;
    std::array<std::array<uint64_t, FRAME_PIXELS / 8>, SURVEY_FRAMES> entries;
    SceneTrack cuts;
    SceneSample sample;
};

// Chooses for the footage frames[0 .. count) (display frames, FRAME_RGB_BYTES
// each, in order); only the frames before the first scene cut among them are
// looked at. Nothing is allocated.
SurveyChoice surveyChoose(Survey* survey, const SurveySettings& settings, const uint8_t* const* frames, int count);

// For the same footage later in a scene, at the setting it has come to:
// whether rate to spare would mend more as about a quarter more frames
// (stepInterval) than as twice the colours (true when the colours are at the
// most already). The first second of a scene can mislead: objects that enter
// it move more later.
bool surveyFramesFirst(Survey* survey, const SurveySettings& settings, const uint8_t* const* frames, int count,
                       int interval, int colourLimit);

}  // namespace prep
