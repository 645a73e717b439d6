// The player model: how fast a stream must be read for the player on the
// target to show every frame on time and play the sound without a gap.
//
// The player reads the stream after the index in file order, in 256-byte
// units, at R bytes per second, into one buffer made of its two rings (the
// video ring and the audio ring taken together). A unit is read only when the
// buffer has room for it and leaves the buffer when it is used up:
//  - Sound plays without pause from the playback start S. Audio block a plays
//    from S + a*D to S + (a+1)*D, D = samples per block / sample rate, its
//    units one after the other; a unit is used up when it has played, and it
//    must have been read when it starts playing, or the sound has a gap.
//  - Frame f is shown at S + T(f)/60, T(f) the sum of the intervals of the
//    frames before it. Its commands are carried out as soon as they are read,
//    but not before S + T(f-1)/60 (frame 0's at once). A video unit is used
//    up when every byte in it has been carried out; a byte belongs to the
//    frame whose frame end is the first at or after it.
//  - Frame f is late when its frame end is read after S + T(f)/60 + 2/60.
//  - S is the first moment at which frame 0 is complete and the next unit
//    finds no room, or the moment the stream has been read to its end.
//    Before S only frame 0's units leave, so a buffer that fills up before
//    frame 0 is complete would stop the player for good; it starts playing
//    there instead, and frame 0 may then be late like any other.
//
// Both the viewer (which reports the rate a stream needs) and the preparation
// tool (which plans frames to fit a rate) use this one model.
#pragma once

#include <cstdint>
#include <vector>

#include "format/audio.h"
#include "format/stream.h"

namespace model {

inline constexpr int UNIT_BYTES = 256;
// The player's buffer: the video ring and the audio ring of the index.
inline constexpr int BUFFER_BYTES = (FIFO_RING_END - FIFO_RING_TOP) + (AUDIO_FIFO_END - AUDIO_FIFO_TOP);
inline constexpr int BUFFER_UNITS = BUFFER_BYTES / UNIT_BYTES;          // 160
inline constexpr int VIDEO_BLOCK_UNITS = FIFO_PAGE_BYTES / UNIT_BYTES;   // 32
inline constexpr int AUDIO_BLOCK_UNITS = AUDIO_BLOCK_BYTES / UNIT_BYTES; // 16
inline constexpr int PICTURE_SLACK = 2;         // display frames the picture may follow the sound
inline constexpr double KIB = 1024.0;           // rates are given in KiB per second

// The length of one audio block's play, and of one of its units.
inline constexpr double AUDIO_BLOCK_SECONDS = AUDIO_SAMPLES_PER_BLOCK / AUDIO_SAMPLE_RATE;
inline constexpr double AUDIO_UNIT_SECONDS = AUDIO_BLOCK_SECONDS / AUDIO_BLOCK_UNITS;

// One 256-byte unit of the stream after the index, in file order.
struct Unit {
    bool audio;
    // Audio: the block number a (counted within the audio blocks) and the
    // unit j (0-15) inside it. Video: owner, the frame its last byte belongs
    // to (the frame count for bytes after the last frame end, such as the
    // stream end); j unused.
    int32_t block;
    int32_t j;
    int32_t owner;
};

// What the model needs of a stream: its units, where each frame ends and
// when each frame is shown.
struct Layout {
    std::vector<Unit> units;
    std::vector<int64_t> frameEndUnit;  // frame f: index of the unit holding its frame end
    std::vector<int64_t> showTime;      // frame f: T(f) in display frames
};

// Builds a layout block by block in file order: the viewer feeds it from its
// own decoder, layoutFromStream from a stream in memory. A video block is
// walked command by command (NOP fill, the page-end marker and the stream
// end's fill included) to find the frame ends and the frame-interval options.
struct LayoutBuilder {
    Layout* layout = nullptr;
    int32_t interval = 0;       // in force at this point of the stream
    int64_t time = 0;           // T of the next frame, display frames
    int32_t audioBlocks = 0;
    bool ended = false;         // the stream end was met: only fill follows
    bool malformed = false;     // a command could not be followed; the rest of its block was skipped
};

void layoutBegin(LayoutBuilder* builder, Layout* layout, int startInterval);
// block: FIFO_PAGE_BYTES bytes.
void layoutAddVideoBlock(LayoutBuilder* builder, const uint8_t* block);
void layoutAddAudioBlock(LayoutBuilder* builder);

// Builds the layout of a stream from the blocks after the index: kinds from
// the index bitmap (bit set = audio) for blockCount blocks, the video blocks
// walked command by command to find frame ends (0x7E), with the interval
// starting at startInterval and following the frame-interval option.
// Returns false when the video commands cannot be walked or the blocks are
// cut short (a malformed stream); the layout then holds what could be read.
bool layoutFromStream(const uint8_t* blocks, int64_t size, const uint8_t* bitmap, int blockCount,
                      int startInterval, Layout* layout);

struct Late {
    int32_t frame;      // frame number, or audio block for a gap
    int32_t unit;       // audio gaps: the unit within the block
    double seconds;     // how late
};

struct Result {
    double start = 0.0;           // S, seconds from the first unit read
    std::vector<Late> lateFrames;
    std::vector<Late> soundGaps;  // the first late unit of each audio block that has one
    double worstFrame = 0.0;      // largest lateness of a frame, seconds (0 when none)
    double worstSound = 0.0;
    bool plays() const { return lateFrames.empty() && soundGaps.empty(); }
};

// The model fed one unit at a time, for a planner that writes the stream as it
// goes. A Sim is a plain value of fixed size (about 4 KiB): copy it to try
// what a frame would add, and keep the copy or throw it away. Times are
// seconds from the moment the first unit starts to be read. Adding a unit
// costs O(log BUFFER_UNITS), and BUFFER_UNITS once when S is fixed.
struct Sim {
    double rate = 0.0;            // bytes per second
    double now = 0.0;             // when the last unit added finished reading
    bool started = false;         // S is known
    double start = 0.0;           // S, once started
    bool frameZeroDone = false;
    int32_t held = 0;             // units in the buffer
    // A unit in the buffer. Until S: when it was read and how long after S
    // its use is over (audio: the end of its play; video: the display time of
    // the frame before its owner). From S on, buffer[0, held) is a heap on
    // leaveAt, the moment the unit leaves.
    struct Held {
        double readAt;
        double due;
        double leaveAt;
    };
    Held buffer[BUFFER_UNITS];
    int32_t lateFrames = 0;
    int32_t soundGaps = 0;        // audio blocks with a gap
    int32_t lastGapBlock = -1;
    double worstFrame = 0.0;
    double worstSound = 0.0;
};

void simInit(Sim* sim, double bytesPerSecond);
// Adds the next video unit: owner the frame its last byte belongs to,
// ownerStart T(owner-1) in display frames (ignored for frame 0). Returns the
// moment the unit has been read.
double simAddVideoUnit(Sim* sim, int32_t owner, int64_t ownerStart);
// Adds unit j of audio block a; a gap is counted when it is read after it
// starts playing. Returns the moment the unit has been read.
double simAddAudioUnit(Sim* sim, int32_t block, int32_t j);
// Frame 0's frame end was in the unit just added.
void simFrameZeroDone(Sim* sim);
// How late a frame is whose frame end was read at readAt and which is shown
// at showTime (display frames): 0 when on time, also while S is not known
// (a frame read before the playback start is never late). Counts it in sim
// when count is true. Call it for every frame, frame 0 included: frame 0 is
// late only when the buffer filled up before it was complete (see
// player_model.cpp).
double simFrameLateness(Sim* sim, double readAt, int64_t showTime, bool count);
// The stream has been read to its end: fixes S if it was not known yet.
void simFinish(Sim* sim);

// Runs the model at bytesPerSecond.
Result simulate(const Layout& layout, double bytesPerSecond);

// The least rate, in bytes per second, at which nothing is late and the sound
// has no gap, found by bisection to relTolerance (0.002: 0.2 %); the result
// plays. 0 when the stream plays at any rate (it fits the buffer, say), and
// infinity when it plays at none (its sound comes after more picture than
// the buffer holds).
double neededRate(const Layout& layout, double relTolerance = 0.002);

}  // namespace model
