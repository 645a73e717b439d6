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

struct SurveySettings {
    double videoBytesPerSecond;  // what the rate leaves for pictures
    int minInterval;             // the highest frame rate, as display frames per frame
    int maxColours;
};

struct SurveyChoice {
    int interval;
    int colourLimit;
    double error;  // predicted mean squared error per component
};

// Chooses for the footage frames[0 .. count) (display frames, FRAME_RGB_BYTES
// each, in order); only the frames before the first scene cut among them are
// looked at. The colour reduction's state is left as it was. Nothing is
// allocated.
SurveyChoice surveyChoose(const SurveySettings& settings, const uint8_t* const* frames, int count);

}  // namespace prep
