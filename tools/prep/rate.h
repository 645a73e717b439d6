// Rate control of vendrel-prep: frames planned one by one so that the stream
// vendrel makes of them plays under the player model at a given rate.
//
// The display frames come in at 60 per second and are held a second ahead.
// At the start and at every scene cut, the survey (survey.h) chooses the
// scene's frame rate and colour limit from them; a frame is the mean of the
// display frames it stays on screen.
//
// The screen is cut into tiles of 8 x 4 pixels (one GRAM byte wide). Every
// frame the source picture (the mean over the display frames the frame stays
// on screen) is reduced afresh; the tiles whose picture on screen is worst
// against the source per byte they cost (weighted by how long they have
// waited) are sent first, as many as the frame's share of the rate allows.
// The frame's real cost is measured by encoding it in process: when it would
// be late, it is taken back and a smaller one tried. The stream is encoded
// with one page (-c1): with two, every change would have to be sent twice, or
// a tile sent to one page only would alternate between two pictures at half
// the frame rate.
//
// Also the needed rate of a stream planned without rate control: the same
// in-process encoding fed to the model.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/prep/reduce.h"

namespace prep {

struct RateSettings {
    double kibPerSecond;  // the rate to fit; 0 to measure only
    int interval;         // display frames per frame; with rate control the least
    int colourLimit;      // the most colours (with rate control the limit adapts up to it)
    int compressType;     // 1 with rate control, the page mode of the printed command otherwise
    bool dither;          // with rate control, rate to spare may turn the light dither on
    int partBlocks = 0;   // with rate control: the film in parts of at most this many blocks, each
                          // planned as a stream of its own (see ratePartStarted); 0 for one stream
};

struct FrameSetting {
    int interval;
    int limit;
};

// From this frame on the frame interval and the colour limit are these.
struct ParamChange {
    int frame;
    int interval;
    int limit;
};

// The frame intervals the scenes had (a frame cut short by a scene cut
// aside) and the colour limits, each the least and the most.
struct SettingRange {
    int shortestInterval;
    int longestInterval;
    int fewestColours;
    int mostColours;
};

struct RateReport {
    int frames;
    int trials;           // frames encoded on trial, the kept ones included
    int refused;          // frames the colour reduction would refuse
    int lateFrames;       // under the model at the rate asked for
    int soundGaps;
    double neededKiB;     // the least rate at which the stream plays, KiB/s
    std::vector<ParamChange> changes;  // frame 0's interval and colour limit, and every change
    SettingRange used;
    std::vector<int> partStarts;  // with partBlocks: the first frame of every part after the first
};

// Starts the in-process encoding; wavPath is the sound or null. False (after
// a message) when the sound cannot be read.
bool rateBegin(const RateSettings& settings, const char* wavPath);

// With rate control: takes the next display frame of the source (FRAME_PIXELS
// pixels of red, green, blue, row 0 at the top). Call rateNextFrame until it
// says no before adding the next.
void rateAddDisplayFrame(const uint8_t* rgb);

// With rate control: plans the next frame into out, which is then written as
// the frame's BMP, once a second of display frames is held (or, after the
// source has ended, while any is). False when no frame is due. Nothing is
// allocated.
bool rateNextFrame(bool sourceEnded, ReducedFrame* out);

// Without rate control: encodes a frame as it is written.
void rateMeasureFrame(const ReducedFrame& frame);

// With partBlocks: true when the frame planned last begins a part. A part
// ends before a frame that might not fit in it any more, or before a scene
// cut in its last tenth of blocks; the next one is planned as a fresh stream
// (its sound from its first frame on, the screen black), so that every part
// plays at the rate from its own start. Late frames and sound gaps are then
// counted part by part, and neededKiB is the most any part needs.
bool ratePartStarted();

// Ends the stream and judges it under the model.
RateReport rateFinish();

// The interval and colour limit of the frame planned or measured last.
FrameSetting rateLastSetting();

}  // namespace prep
