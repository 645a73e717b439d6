// Scene cuts: where a film jumps from one shot to another, so that no picture
// blends two shots and a new shot gets its own colours.
//
// Two tests, either of which finds a cut where the picture's light and dark
// areas changed by a cut's measure (STRUCTURE_CUT) at once:
// - colour: fewer than half of the pixels fall into the same coarse colour
//   cells as before (a shot of other colours);
// - structure: those areas moved far more than the shot's own motion moves
//   them (a shot of the same colours, say two dark shots, but of another
//   subject).
// New colours with little change of structure are a fade or a crossfade,
// whose colours cross the coarse cells a few frames at a time: no cut.
// The structure test compares the mean luma of 8 x 8 blocks with the mean
// brightness taken out, against the motion seen in the frames before: a pan
// or a zoom moves blocks a little in every frame, a fade or a crossfade
// changes them a little in every frame, a cut all at once.
#pragma once

#include <array>
#include <cstdint>

#include "tools/prep/frame.h"

namespace prep {

// Cells of 3 bits per primary, for telling whether the colours go on.
inline constexpr int COARSE_CELLS = 512;
using CoarseCells = std::array<int, COARSE_CELLS>;

inline constexpr int LUMA_BLOCK = 8;
inline constexpr int LUMA_BLOCKS_X = SCREEN_WIDTH / LUMA_BLOCK;
inline constexpr int LUMA_BLOCKS_Y = SCREEN_HEIGHT / LUMA_BLOCK;
inline constexpr int LUMA_BLOCKS = LUMA_BLOCKS_X * LUMA_BLOCKS_Y;

// What the cut tests keep of a picture.
struct SceneSample {
    CoarseCells cells;                   // every 4th pixel of every 4th row
    std::array<float, LUMA_BLOCKS> luma;  // mean luma (0 to 255) of each block
    float meanLuma;
};

// What the tests remember of the frames before.
struct SceneTrack {
    bool started;
    SceneSample last;
    float motion;  // the usual structural change from one frame to the next; 0 while unknown
    int repeats;   // display frames in a row that repeated the picture before
};

// Samples a frame (FRAME_PIXELS pixels of red, green, blue, row 0 at the top).
void sceneSample(const uint8_t* rgb, SceneSample* out);

// Forgets every frame before.
void sceneTrackInit(SceneTrack* track);

// True when `now` begins a new shot against the frame sampled before it
// (the first frame of all begins one too). Remembers `now`.
bool sceneCut(SceneTrack* track, const SceneSample& now);

// The structural change between two samples: the mean absolute difference
// of their block lumas, the mean brightness of each taken out.
float structureChange(const SceneSample& a, const SceneSample& b);

// The colour test alone: at least half of the pixels share cells.
bool sameColours(const CoarseCells& before, const CoarseCells& now);

}  // namespace prep
