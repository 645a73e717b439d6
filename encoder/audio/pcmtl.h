// The audio block encoder: PCM samples become 7-bit attenuation codes with a
// sign bit, packed into 4096-byte blocks for a two-block ring at 0x8000-0x9FFF.
#pragma once

#include <cstdint>
#include <cstdio>

#include "encoder/stream/avindex.h"
#include "format/audio.h"  // the audio block format

// Reads the WAV file, builds the code table and fills the audio index entry.
// Returns 0, or a negative value when the file cannot be opened.
int pcmtl_Init(FILE* fp, const char* path, AvIndexEntry* entry);
// The same for a program that reads the sound in pieces itself, so that a
// long sound is never held whole (vendrel reads its file with pcmtl_Init):
// sample i of the `count` samples is source(context, i), asked for in rising
// order except after pcmtlSeek; past the last one, silence. Prints nothing.
using PcmtlSource = int32_t (*)(void* context, int32_t index);
void pcmtl_InitSource(FILE* fp, PcmtlSource source, void* context, int32_t count, AvIndexEntry* entry);
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
