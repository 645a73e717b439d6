// The face of the video compressor towards the rest of the encoder: stream
// start, option commands, frames and stream end.
#pragma once

#include <cstdint>
#include <cstdio>

#include "encoder/image/decode_bmp.h"
#include "encoder/stream/avindex.h"
#include "encoder/video/fifo.h"

extern int32_t encode_v2;           // 1: the V2 compressor; 0: every entry point does nothing
extern int32_t updatePerCRTCframe;  // frame interval last sent in the stream

// Option types of compressOption, by the parameter that produces them.
inline constexpr int COMPRESS_OPTION_OVERLAY = 0;    // signal
inline constexpr int COMPRESS_OPTION_FRAMETIME = 1;  // video_interval, through compressFrameTimeSet
inline constexpr int COMPRESS_OPTION_FLASH = 2;      // palet_flash
inline constexpr int COMPRESS_OPTION_PLAY = 3;       // audio_play
inline constexpr int COMPRESS_OPTION_FADER = 4;      // audio_fader

int compressGramInit(FILE* out, AvIndexEntry* header);
// Puts the compressor and its FIFO ring back to their state at program start
// (the V2 compressor selected, the start interval, an empty ring).
void compressReset();

// What a frame changes in the compressor: the interval last sent and the ring.
struct CompressState {
    int32_t interval;
    FifoState fifo;
};
void compressSave(CompressState* state);
void compressRestore(const CompressState& state);
int compressOption(int type, int value);
int compressFrameTimeSet(int interval);
// Encodes the difference from prev to next (prev then equals next);
// returns the bytes the frame added to the stream.
int compressGram(uint8_t* prev, const uint8_t* next, const PaletUpdate* list);
int compressGramEnd();

// The V2 compressor behind the entry points.
int V2compressGramInit(FILE* out, AvIndexEntry* header);
// Appends one option command; returns the bytes added, or 0 when none is due.
int V2optiomCommand(int type, int value);
// Ends the stream and hands over the ring's remaining pages; returns the
// bytes of its last append.
int V2compressGramEnd();
