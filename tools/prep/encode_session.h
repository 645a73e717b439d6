// The encoder run inside vendrel-prep: the same start-up, frame step and
// finish as vendrel's driver, on frames held in memory, writing the stream
// into memory. A frame can be tried and taken back (save, encode, restore),
// so a planner can measure what a frame really costs, sound interleaving
// included, before it keeps it. Also the one place that walks the stream's
// 256-byte units into the player model as the frames come.
//
// The encoder's modules keep their state in globals, so only one session may
// be open in a process at a time (sessionOpen starts every module afresh);
// what the session adds to them is a record of its own that the caller owns.
#pragma once

#include <cstdint>
#include <vector>

#include "encoder/audio/pcmtl.h"
#include "encoder/image/decode_bmp.h"
#include "encoder/stream/avindex.h"
#include "encoder/video/compress.h"
#include "tools/model/player_model.h"
#include "tools/prep/output.h"  // the frame as a BMP
#include "tools/prep/reduce.h"

namespace prep {

struct SessionSetup {
    const char* wavPath = nullptr;  // the sound, or none
    int compressType = 2;           // 1: one page; 2: two pages alternately
    bool keepBytes = false;         // keep the stream's bytes (otherwise only its layout)
    int32_t soundFrom = 0;          // the stream's sound begins at this sample of the file
};

// What the parameter file sets for one frame.
struct FrameParams {
    int interval;     // display frames the frame lasts
    int colourLimit;  // palet_limit
};

struct SessionFrame {
    bool accepted;  // the colour reduction took the picture (no palette overflow)
    int bytes;      // what the compressor added, as vendrel prints it
    int64_t end;    // offset of the frame-end byte, counted from the first block
};

// Everything a frame changes, in the encoder's modules and in the session.
struct SessionSnapshot {
    DecodeBmpState image;
    CompressState video;
    AvIndexState stream;
    PcmtlPosition audio;
    // The session's own records.
    int64_t streamSize;
    size_t frames;
    int page;
    struct Feed {
        size_t block;      // next block to feed (blocks past the last one written: the open page)
        int unit;          // next unit inside it
        int64_t offset;    // offset of that block from the first block
        int32_t audioBlock;
        size_t owner;      // first frame whose end may lie at or after the next unit
        double lastRead;   // when the last unit fed was read
    } feed;
};

// The session's own state beside the encoder's modules. Large (the frame's
// BMP, the sound window, a snapshot): best on the heap or static.
struct Session {
    // Where the stream goes: its bytes (when kept) and its size. The FILE is
    // unbuffered, so every byte the encoder writes is here at once, and taking
    // a frame back is setting the size back.
    struct Sink {
        std::vector<uint8_t> bytes;
        bool keep;
        int64_t position;
        int64_t size;
        int fd;        // a file the stream also goes into, or -1
        int64_t base;  // where the stream begins in it
        bool failed;   // a write into it failed
    };
    // The sound, read from its file a window at a time as the encoder asks
    // for samples, so that a film's sound is never held whole.
    static constexpr int32_t SOUND_WINDOW_SAMPLES = 1 << 16;
    struct SoundWindow {
        int fd = -1;
        int32_t first = 0;    // the sample at samples[0]
        int32_t count = 0;    // samples held
        bool failed = false;  // the file could not be read back
        int16_t samples[SOUND_WINDOW_SAMPLES];
        uint8_t bytes[2 * SOUND_WINDOW_SAMPLES];
    };

    Sink sink;
    FILE* stream = nullptr;
    FILE* quiet = nullptr;       // /dev/null, standard output while the encoder runs
    int compressType = 2;
    int page = 0;
    std::vector<int64_t> ends;   // frame f: offset of its frame-end byte from the first block
    std::vector<int64_t> shows;  // frame f: T(f), display frames
    SessionSnapshot::Feed feed;
    SoundWindow sound;
    int pendingFd = -1;          // the file the next sessionOpen writes into (sessionWriteInto)
    int64_t pendingBase = 0;
    uint8_t bmpData[FRAME_BMP_BODY_MAX_BYTES];  // the frame as the encoder reads it
    BmpImage bmpImage;
    model::Sim roomSim;          // sessionRoom's walk
    SessionSnapshot endState;    // sessionBlocksIfEnded's
    uint8_t silenceBlock[AUDIO_BLOCK_BYTES];
};

// Starts the stream: index placeholder, the sound's first two blocks, the
// compressor. Returns false (after printing why) when the sound cannot be read.
// A sound file that vendrel-prep wrote is read a window at a time as the
// stream needs it (memory does not grow with the film); any other is read
// whole, as vendrel reads it. The samples are the same either way.
bool sessionOpen(Session* s, const SessionSetup& setup);

// Encodes the next frame exactly as vendrel does for that BMP and those
// parameters (the frame is written as vendrel-prep writes its BMP files).
SessionFrame sessionFrame(Session* s, const ReducedFrame& frame, const FrameParams& params);

// Ends the stream and writes the final index; returns the compressor's last bytes.
int sessionFinish(Session* s);

// The next sessionOpen also writes its stream into the open file fd (the
// caller's), from offset base on (what lies before, the boot code, stays).
// Frames taken back are overwritten; sessionFinish cuts the file to the
// stream's end. sessionWriteFailed tells whether a write into it failed (or
// the sound file could not be read back while the stream was made).
void sessionWriteInto(Session* s, int fd, int64_t base);
bool sessionWriteFailed(const Session* s);

// After sessionFinish: the stream's sound from its sample `end` on becomes
// silence, as when the sound file ends there (a part of a film whose sound
// goes on). False when the file could not be mended.
bool sessionSilenceFrom(Session* s, int64_t end);

// Blocks written so far (video and audio), those past the index's 32512
// included.
int sessionBlocks(const Session* s);

// Bytes of the whole stream (index included); valid with keepBytes.
const std::vector<uint8_t>& sessionBytes(const Session* s);

// The player model fed unit by unit. sessionFeed adds every unit up to the
// one holding the frame end of `frame` (the last frame encoded) and returns
// the moment that unit has been read; it also tells the model when frame 0 is
// complete. sessionFeedRest adds the rest of a finished stream.
double sessionFeed(Session* s, model::Sim* sim, int frame);
void sessionFeedRest(Session* s, model::Sim* sim);

// How many bytes the next frame, shown at T = showTime, may take so that the
// unit holding its frame end is read by S + readBy (seconds after the playback
// start S) without a sound gap, judged on a copy of sim: the open page, the
// audio blocks that follow it when it closes, further pages. An estimate (the
// fill at a page's end is not known before the frame is encoded); cap when
// the limit lies beyond it or S is not yet known.
int64_t sessionRoom(Session* s, const model::Sim& sim, double readBy, int64_t cap);

// The layout of the finished stream, for the batch model.
model::Layout sessionLayout(const Session* s);

void sessionSave(const Session* s, SessionSnapshot* snapshot);
void sessionRestore(Session* s, const SessionSnapshot& snapshot);

// The same without the picture state (most of a snapshot's bytes), for a
// caller that only ends the stream after restoring it: sessionFinish does not
// touch the picture, and frames after the restore need all of it.
void sessionSaveForEnd(const Session* s, SessionSnapshot* snapshot);
void sessionRestoreForEnd(Session* s, const SessionSnapshot& snapshot);

// The blocks of the stream if it ended after the frames encoded so far, as
// sessionSaveForEnd, sessionFinish, sessionBlocks and sessionRestoreForEnd
// would find them, but with nothing written into the stream's file; the
// stream goes on as if nothing happened.
int sessionBlocksIfEnded(Session* s);

}  // namespace prep
