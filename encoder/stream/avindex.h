// The output stream container: the AV index in front of the blocks, and
// videoUpdateCB, the one place where video blocks are written and audio
// blocks are interleaved with them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "format/stream.h"

// One 16-byte entry of the index header; numbers are little-endian.
struct AvIndexEntry {
    uint8_t bytes[AVINDEX_ENTRY_BYTES];
};

void avEntrySetU16(AvIndexEntry* entry, int offset, uint16_t value);
uint16_t avEntryGetU16(const AvIndexEntry* entry, int offset);

extern AvIndexEntry hdr[2];                        // entry 0 video, entry 1 audio
extern uint8_t avindex_table[AVINDEX_TABLE_BYTES];  // one bit per block, set = audio
extern int avindex_pos;                            // blocks entered so far

AvIndexEntry* avindexInit();
// avindexInit, and also the stream globals below and the reports made: the
// module's state at program start. The stream handle is dropped, not closed.
void avindexReset();

// What a frame changes in the stream module: the index and the globals that
// tie blocks to frames.
struct AvIndexState {
    AvIndexEntry header[2];
    uint8_t table[AVINDEX_TABLE_BYTES];
    int blocksIndexed;
    int current, fileFrame, frameTime, audioBlocks;
    bool writeFailed;
};
void avindexSave(AvIndexState* state);
void avindexRestore(const AvIndexState& state);
void avindexAdd(int kind, int count);
// Writes header and bitmap at the stream's position; returns avindex_pos or -1.
int avindexOut(FILE* stream);

// Writes one video block (length bytes of data + offset) and the audio blocks
// that have become due. Called with no data and length 0 once at start-up.
void videoUpdateCB(const uint8_t* data, int offset, int length);

// Audio blocks due at a frame time: floor(audioSamplesVframe * frameTime) + 2,
// computed exactly.
int audioBlocksDue(int frameTimeValue);

// Globals that tie the blocks to the frames; the driver sets them.
extern FILE* fpDst;                 // the output stream, or none
extern int curFrame;                // frame being processed
extern int fileFrame;               // frame current when the previous video block was written
extern int frameTime;               // display frames elapsed at the start of the current frame
extern int audioBlock;              // audio blocks written so far
extern double audioSamplesVframe;   // audio blocks per display frame; 0.0 without audio

// Set when a write to the output stream came up short (block or index); the
// driver then reports the failure and ends with a non-zero status.
extern bool streamWriteFailed;
// Records a failed write of the output stream; the first one is reported.
void streamReportWriteError(const char* what);
