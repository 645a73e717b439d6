// The audio block encoder: PCM samples become 7-bit attenuation codes with a
// sign bit, packed into 4096-byte blocks for a two-block ring at 0x8000-0x9FFF.
#pragma once

#include <cstdint>
#include <cstdio>

#include "encoder/stream/avindex.h"

// The audio block format, shared with every reader of streams.
inline constexpr uint16_t AUDIO_FIFO_TOP = 0x8000;   // the audio ring in the target's memory
inline constexpr uint16_t AUDIO_FIFO_END = 0xA000;
inline constexpr int AUDIO_BLOCK_BYTES = 0x1000;     // 16 pages of a marker and 255 codes
inline constexpr int AUDIO_PAGE_BYTES = 0x100;
inline constexpr int AUDIO_SAMPLES_PER_BLOCK = (AUDIO_BLOCK_BYTES / AUDIO_PAGE_BYTES) * (AUDIO_PAGE_BYTES - 1);  // 4080
inline constexpr double AUDIO_SAMPLE_RATE = 7812.5;  // samples per second the player plays
// The whole rate nearest to AUDIO_SAMPLE_RATE, for WAV headers that carry the player's sound.
inline constexpr int AUDIO_WAV_RATE = 7812;
// Twice the player's rate, a whole number: sound taken or given at this rate
// keeps its exact length (each player sample stands for two).
inline constexpr int AUDIO_SAMPLE_RATE_X2 = static_cast<int>(2 * AUDIO_SAMPLE_RATE);
static_assert(AUDIO_SAMPLE_RATE_X2 == 2 * AUDIO_SAMPLE_RATE);
// Audio blocks the player plays per display frame: audioSamplesVframe of a
// stream with sound.
inline constexpr double AUDIO_BLOCKS_PER_DISPLAY_FRAME =
    AUDIO_SAMPLE_RATE / (DISPLAY_FRAMES_PER_SECOND * static_cast<double>(AUDIO_SAMPLES_PER_BLOCK));
inline constexpr uint16_t AUDIO_KIND_PARAM = 0x1020; // stored in the index entry for the player; not the block size
inline constexpr uint8_t AUDIO_CODE_SILENCE = 0x7F;  // a zero sample, and the filler after the last one
inline constexpr uint8_t AUDIO_CODE_SIGN = 0x80;     // set for negative samples
inline constexpr double AUDIO_FULL_SCALE = 32767.0;  // the level 0 dB refers to
inline constexpr double AUDIO_STEP_DB = 0.75;        // one code step
inline constexpr double AUDIO_LEVEL_OFFSET_DB = 0.35;

// Reads the WAV file, builds the code table and fills the audio index entry.
// Returns 0, or a negative value when the file cannot be opened.
int pcmtl_Init(FILE* fp, const char* path, AvIndexEntry* entry);
// The same for a program that reads the sound in pieces itself, so that a
// long sound is never held whole (vendrel reads its file with pcmtl_Init):
// sample i of the `count` samples is source(i), asked for in rising order
// except after pcmtlSeek; past the last one, silence. Prints nothing.
using PcmtlSource = int32_t (*)(int32_t index);
void pcmtl_InitSource(FILE* fp, PcmtlSource source, int32_t count, AvIndexEntry* entry);
// Appends the next audio block to the stream and counts it in the index.
int pcmtl_Encode();
int pcmtl_End();
// pcmtl_End, and also the code table, the ring position and the borrowed
// stream handle: the module's state at program start.
void pcmtl_Reset();

// Where the encoder stands: the ring address of the next block and the next
// sample. A caller that encodes ahead on trial (and then takes it back) keeps
// this and puts it back; the ring's contents need no keeping, since every
// block is written whole before it leaves.
struct PcmtlPosition {
    uint32_t memAddress;
    int32_t srcPos;
};
PcmtlPosition pcmtlTell();
void pcmtlSeek(const PcmtlPosition& position);

// The sample-to-code table (65536 entries, indexed by the 16-bit pattern of a
// sample); valid after pcmtl_Init.
const uint8_t* pcmtlCodeTable();
