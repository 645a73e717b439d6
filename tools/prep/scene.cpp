// Scene cuts by colour and by structure.
#include "tools/prep/scene.h"

#include <algorithm>
#include <cmath>

namespace prep {
namespace {

constexpr int SAMPLE_STEP = 4;  // every 4th pixel of every 4th row
// The colours go on while at least this share of the pixels fall into the
// same coarse cells as before.
constexpr double COLOUR_OVERLAP = 0.5;
// A structural change is a cut when it is at least this large (in luma
// levels of 255) ...
constexpr float STRUCTURE_CUT = 8.0f;
// ... and this many times the shot's usual change from frame to frame.
constexpr float MOTION_FACTOR = 3.0f;
// The usual change follows the frames by this share of each new one; a
// repeated picture (no change) leaves it as it was.
constexpr float MOTION_FOLLOW = 0.25f;
// Below this the change is noise, whatever the motion before.
constexpr float MOTION_FLOOR = 2.0f;
// A picture unchanged for this many display frames is a still: its motion is
// known (the floor). Fewer repeats are a source's cadence (a 10 fps film
// repeats each picture 6 times) and tell nothing.
constexpr int STILL_FRAMES = 8;

int coarseCell(int r, int g, int b) { return (level4(r) >> 1) << 6 | (level4(g) >> 1) << 3 | (level4(b) >> 1); }

// Rec. 601 weights, in 1/1024.
float luma(const uint8_t* px) { return (306.0f * px[0] + 601.0f * px[1] + 117.0f * px[2]) / 1024.0f; }

}  // namespace

void sceneSample(const uint8_t* rgb, SceneSample* out) {
    out->cells.fill(0);
    for (int y = 0; y < SCREEN_HEIGHT; y += SAMPLE_STEP)
        for (int x = 0; x < SCREEN_WIDTH; x += SAMPLE_STEP) {
            const uint8_t* px = rgb + 3 * (y * SCREEN_WIDTH + x);
            ++out->cells[coarseCell(px[0], px[1], px[2])];
        }
    float total = 0.0f;
    for (int by = 0; by < LUMA_BLOCKS_Y; ++by)
        for (int bx = 0; bx < LUMA_BLOCKS_X; ++bx) {
            float sum = 0.0f;
            // Every other pixel of every other row: a block's mean needs no more.
            for (int y = by * LUMA_BLOCK; y < (by + 1) * LUMA_BLOCK; y += 2)
                for (int x = bx * LUMA_BLOCK; x < (bx + 1) * LUMA_BLOCK; x += 2)
                    sum += luma(rgb + 3 * (y * SCREEN_WIDTH + x));
            const float mean = sum / (LUMA_BLOCK * LUMA_BLOCK / 4);
            out->luma[by * LUMA_BLOCKS_X + bx] = mean;
            total += mean;
        }
    out->meanLuma = total / LUMA_BLOCKS;
}

void sceneTrackInit(SceneTrack* track) {
    track->started = false;
    track->motion = 0.0f;
    track->repeats = 0;
}

float structureChange(const SceneSample& a, const SceneSample& b) {
    const float shift = a.meanLuma - b.meanLuma;
    float sum = 0.0f;
    for (int i = 0; i < LUMA_BLOCKS; ++i) sum += std::fabs(a.luma[i] - b.luma[i] - shift);
    return sum / LUMA_BLOCKS;
}

bool sameColours(const CoarseCells& before, const CoarseCells& now) {
    int overlap = 0;
    int total = 0;
    for (int i = 0; i < COARSE_CELLS; ++i) {
        overlap += std::min(before[i], now[i]);
        total += now[i];
    }
    return overlap >= COLOUR_OVERLAP * total;
}

bool sceneCut(SceneTrack* track, const SceneSample& now) {
    if (!track->started) {
        track->started = true;
        track->last = now;
        track->motion = 0.0f;
        track->repeats = 0;
        return true;
    }
    // Right after a cut the shot's motion is not known yet: its first change
    // sets it.
    const float change = structureChange(track->last, now);
    const bool known = track->motion > 0.0f;
    // New colours alone are no cut: a fade or a crossfade moves whole areas
    // into other colour cells a few frames at a time while the picture's
    // structure changes little. A cut changes both.
    const bool cut = change >= STRUCTURE_CUT &&
                     (!sameColours(track->last.cells, now.cells) || (known && change >= MOTION_FACTOR * track->motion));
    track->repeats = change == 0.0f ? track->repeats + 1 : 0;
    if (cut)
        track->motion = 0.0f;
    else if (!known && track->repeats >= STILL_FRAMES)
        track->motion = MOTION_FLOOR;
    else if (!known && change > 0.0f)
        track->motion = std::max(MOTION_FLOOR, change);
    else if (change > 0.0f)
        track->motion = std::max(MOTION_FLOOR, track->motion + MOTION_FOLLOW * (change - track->motion));
    track->last = now;
    return cut;
}

}  // namespace prep
