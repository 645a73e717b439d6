// Rate control of vendrel-prep: frames planned one by one so that the stream
// vendrel makes of them plays under the player model at a given rate.
//
// The display frames come in at 60 per second and are held a second ahead.
// At the start and at every scene cut, the survey (survey.h) chooses the
// scene's frame rate and colour limit from them; a frame shows the picture
// the source had in the middle of the display frames it stays on screen
// (their mean where nothing moves: holdPicture).
//
// The screen is cut into tiles of 8 x 4 pixels (one GRAM byte wide). Every
// frame the source picture is reduced afresh; the tiles whose picture on
// screen is worst against the source per byte they cost (weighted by how long
// they have waited) are sent first, as many as the frame's share of the rate
// allows, and a moving object's tiles all together or not at all.
// The frame's real cost is measured by encoding it in process: when it would
// be late, it is taken back and a smaller one tried. The stream is encoded
// with one page (-c1): with two, every change would have to be sent twice, or
// a tile sent to one page only would alternate between two pictures at half
// the frame rate.
//
// Also the needed rate of a stream planned without rate control: the same
// in-process encoding fed to the model.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/model/player_model.h"
#include "tools/prep/encode_session.h"
#include "tools/prep/reduce.h"
#include "tools/prep/survey.h"

namespace prep {

struct RateSettings {
    double kibPerSecond;  // the rate to fit; 0 to measure only
    int interval;         // display frames per frame; with rate control the least
    int colourLimit;      // the most colours (with rate control the limit adapts up to it)
    int compressType;     // 1 with rate control, the page mode of the printed command otherwise
    bool dither;          // with rate control, rate to spare may turn the light dither on
    int partBlocks = 0;   // with rate control: the film in parts of at most this many blocks, each
                          // planned as a stream of its own (see ratePartStarted); 0 for one stream
    int spareInterval = 0;  // with rate control: rate to spare may bring the frames this close
                            // (display frames per frame, within the source's cadence); 0: interval
};

// Without --fps the rate control plans each scene at 15 frames per second at
// most, but rate to spare may bring the frames up to this (30 per second),
// never beyond the source's own.
inline constexpr int SPARE_INTERVAL = 2;

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

inline constexpr int TILE_WIDTH = 8;  // one GRAM byte
inline constexpr int TILE_HEIGHT = 4;
inline constexpr int TILES_X = SCREEN_WIDTH / TILE_WIDTH;
inline constexpr int TILES_Y = SCREEN_HEIGHT / TILE_HEIGHT;
inline constexpr int TILES = TILES_X * TILES_Y;

// Motion within a frame's hold is judged on 2 x 2 blocks (see holdPicture).
inline constexpr int HOLD_BLOCKS_X = SCREEN_WIDTH / 2;
inline constexpr int HOLD_BLOCKS_Y = SCREEN_HEIGHT / 2;
inline constexpr int HOLD_BLOCK_VALUES = HOLD_BLOCKS_X * HOLD_BLOCKS_Y * 3;

struct Tile {
    int64_t staleError;  // squared error of what would stay on screen
    int64_t freshError;  // squared error of the new picture
    int changedRows;     // rows in which the new picture differs from the screen
    int mergedRows;      // rows that change because their colour shares a new entry
    double need;
};

// Tiles that change much and touch each other: a moving object and what it
// uncovers, sent whole.
struct Region {
    int rows = 0;        // changed tile rows to send
    double need = 0.0;   // the tiles' need, each times its rows + 1
    double units = 0.0;  // the tiles' rows + 1
    double gain = 0.0;   // squared error mended
    int tiles = 0;
    int waited = 0;      // frames it has waited to be sent whole
    bool chosen = false;
};

// The rate control's whole state. The caller owns it (some 30 MB with its
// survey: best on the heap) and passes it to every call.
struct Planner {
    RateSettings settings;
    // The display frames held ahead: held of them from head on, in a ring.
    std::array<std::array<uint8_t, FRAME_RGB_BYTES>, SURVEY_FRAMES> ring;
    int head;
    int held;
    std::array<const uint8_t*, SURVEY_FRAMES> ahead;  // the held frames in order
    std::array<bool, SURVEY_FRAMES> cutBefore;        // a held frame begins a scene
    std::array<bool, SURVEY_FRAMES> jumpBefore;       // a held frame's light jumps from the one before
    SceneTrack cuts;                                  // the cut tests over the display frames
    std::array<bool, SURVEY_FRAMES> newPicture;       // a held frame differs from the one before it
    std::array<uint16_t, FRAME_RGB_BYTES> sums;
    std::array<uint16_t, HOLD_BLOCK_VALUES> blockLow;   // the least 2 x 2 block sum of each primary over them
    std::array<uint16_t, HOLD_BLOCK_VALUES> blockHigh;  // the most
    std::array<uint8_t, FRAME_RGB_BYTES> picture;      // the next frame's picture (holdPicture)
    int sceneInterval;      // display frames a frame of the scene stays on screen
    int nextInterval;       // those of the next frame (fewer before a scene cut)
    bool sound;             // the stream carries sound
    model::Sim sim;
    ReducedFrame shown;     // what the screen holds
    ReducedFrame fresh;     // the source reduced afresh
    std::array<uint8_t, MAX_COLOURS> remap;  // shown entry -> the fresh entry it takes
    std::array<bool, MAX_COLOURS> merged;    // shown entry gives up its number to another
    std::array<Tile, TILES> tiles;
    std::array<int, TILES> waited;           // frames since the tile was last up to date
    std::array<int16_t, TILES> order;
    std::array<bool, TILES> chosen;
    // Regions of tiles that change much (see chooseTiles): each tile's or
    // -1, and what each region comes to.
    std::array<int16_t, TILES> region;
    int regionCount;
    std::array<Region, TILES> regions;
    std::array<int16_t, TILES> stack;
    std::array<int, TILES> deferred;  // frames in a row the tile's region has waited
    double rowBytes;        // learnt bytes per changed tile row
    int plannedLimit;       // the colour limit the next frame is planned for
    int screenLimit;        // the colour limit of the screen's picture
    int sceneLimit;         // the survey's limit: where the scene starts
    int layers;             // plane layers in use at the colour limit
    bool dither;            // the reduction dithers (asked for, and rate to spare at the highest limit and frame rate)
    bool incomplete;        // tiles of the screen still show the fill put there at a scene cut
    double cadence;         // the source's cadence seen last (see heldGap); 0 while unknown
    bool framesFirst;       // rate to spare goes to the frame rate before the colours (the survey's word)
    uint8_t fill;           // the fresh entry that stands in for tiles not sent at a cut
    int spareFrames;        // frames in a row that sent every tile in need, well within their share
    int shortFrames;        // frames in a row that sent too little of what they should
    double gainSent;        // the share of the error to mend that the chosen tiles mend
    std::vector<ParamChange> changes;
    SettingRange used;      // the intervals and colour limits so far
    int64_t show;           // T of the next frame
    int frames;
    // With parts: the part's first frame and its T; what the parts before it
    // came to; the sound, for each part's stream.
    int partFirst;
    int64_t partShow;
    int partLate;
    int partGaps;
    double partNeeded;
    std::vector<int> partStarts;
    std::string wavPath;
    int mostBlocksAFrame;   // the most blocks one frame has added to a part so far
    int blocks;             // of the part if it ended after the frames so far (-1: not counted yet)
    int trials;
    int refused;
    Session session;        // the encoder run in process on the frames planned
    SessionSnapshot snapshot;
    Reducer reducer;        // the colour reduction of the frames planned
    Survey survey;
};

// Starts the in-process encoding; wavPath is the sound or null. False (after
// a message) when the sound cannot be read.
bool rateBegin(Planner* p, const RateSettings& settings, const char* wavPath);

// With rate control: takes the next display frame of the source (FRAME_PIXELS
// pixels of red, green, blue, row 0 at the top). Call rateNextFrame until it
// says no before adding the next.
void rateAddDisplayFrame(Planner* p, const uint8_t* rgb);

// With rate control: plans the next frame into out, which is then written as
// the frame's BMP, once a second of display frames is held (or, after the
// source has ended, while any is). False when no frame is due. Nothing is
// allocated.
bool rateNextFrame(Planner* p, bool sourceEnded, ReducedFrame* out);

// Without rate control: encodes a frame as it is written.
void rateMeasureFrame(Planner* p, const ReducedFrame& frame);

// With partBlocks: true when the frame planned last begins a part. A part
// ends before a frame that might not fit in it any more, or before a scene
// cut in its last tenth of blocks; the next one is planned as a fresh stream
// (its sound from its first frame on, the screen black), so that every part
// plays at the rate from its own start. Late frames and sound gaps are then
// counted part by part, and neededKiB is the most any part needs.
bool ratePartStarted(const Planner* p);

// Ends the stream and judges it under the model.
RateReport rateFinish(Planner* p);

// The interval and colour limit of the frame planned or measured last.
FrameSetting rateLastSetting(const Planner* p);

// The planner's steps, in the order rateNextFrame takes them; each can be
// called alone on a hand-made planner.

// The next frame's picture from the held display frames: the middle one where
// things move, their mean where nothing does (see middleShare), over the
// frame's hold (fewer display frames before a scene cut: nextInterval).
void holdPicture(Planner* p);

// Every colour on screen takes a colour of the fresh palette (remap), nearest
// first; those left over share one and all but the most used give up their
// number (merged).
void buildRemap(Planner* p);

// A fade or a change of light moves every colour of the picture alike. Then
// the best next picture is the one on screen with its palette entries moved
// to the mean of the source under them: a palette update of a few bytes
// instead of a mosaic of redrawn tiles. When that leaves at most half the
// error the fresh palette would leave on screen (after buildRemap), and these
// colours (joined, if need be, by the fresh colours far from all of them)
// show the fresh picture nearly as well as its own, the fresh picture is
// mapped to them instead and every colour on screen keeps its entry (entries
// that come to the same colour share one). Returns whether it did.
bool refitPalette(Planner* p, const uint8_t* rgb);

// The errors, changed rows and need of every tile of the source picture rgb.
void measureTiles(Planner* p, const uint8_t* rgb);

// Orders the tiles by need and marks as many as an estimated `bytes` allow.
// With `together` (not while a new scene's picture is incomplete), a moving
// object and what it uncovers are chosen whole or not at all: an object sent
// in part shows torn. True when every tile in need was chosen.
bool chooseTiles(Planner* p, double bytes, bool together);

// The next picture: the chosen tiles fresh, the rest as on screen in the
// fresh palette (at a cut, the fill entry).
void compose(const Planner& p, bool cut, ReducedFrame* out);

// After a frame: a second of frames with rate to spare (`spare`) raises the
// frame rate or the colours; a second that mends too little (`gainSent`, the
// share of the need sent) lowers the frame rate.
void adaptSetting(Planner* p, bool spare, double gainSent);

}  // namespace prep
