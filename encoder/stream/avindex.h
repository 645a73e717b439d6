// The output stream container: the AV index in front of the blocks, and
// videoUpdateCB, the one place where video blocks are written and audio
// blocks are interleaved with them.
#pragma once

#include <cstdint>
#include <cstdio>

// One 16-byte entry of the index header; numbers are little-endian.
struct AvIndexEntry {
    uint8_t bytes[16];
};

inline constexpr int AVINDEX_HEADER_BYTES = 32;
inline constexpr int AVINDEX_TABLE_BYTES = 4064;
inline constexpr int AVINDEX_MAX_BLOCKS = AVINDEX_TABLE_BYTES * 8;  // 32512
inline constexpr int AVINDEX_KIND_VIDEO = 0;
inline constexpr int AVINDEX_KIND_AUDIO = 1;

// Field offsets inside an AvIndexEntry.
inline constexpr int AVENTRY_FIFO_TOP = 0;
inline constexpr int AVENTRY_FIFO_END = 2;
inline constexpr int AVENTRY_BLOCK_SIZE = 4;
inline constexpr int AVENTRY_BLOCK_COUNT = 6;
inline constexpr int AVENTRY_KIND_PARAM = 8;

void avEntrySetU16(AvIndexEntry* entry, int offset, uint16_t value);
uint16_t avEntryGetU16(const AvIndexEntry* entry, int offset);

extern AvIndexEntry hdr[2];                        // entry 0 video, entry 1 audio
extern uint8_t avindex_table[AVINDEX_TABLE_BYTES];  // one bit per block, set = audio
extern int avindex_pos;                            // blocks entered so far

AvIndexEntry* avindexInit();
void avindexAdd(int kind, int count);
// Writes header and bitmap at the stream's position; returns avindex_pos or -1.
int avindexOut(FILE* stream);

// Writes one video block (length bytes of data + offset) and the audio blocks
// that have become due. Called with no data and length 0 once at start-up.
void videoUpdateCB(const uint8_t* data, int offset, int length);

// audioSamplesVframe with audio: 4080-sample audio blocks per display frame of
// 1/60 s at 7812.5 samples per second; the double whose bits are
// 0x3FA05701AC5701AC.
inline constexpr double AUDIO_BLOCKS_PER_DISPLAY_FRAME = 0.03191380718954248;

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
