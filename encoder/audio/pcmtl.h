// The audio block encoder: PCM samples become 7-bit attenuation codes with a
// sign bit, packed into 4096-byte blocks for a two-block ring at 0x8000-0x9FFF.
#pragma once

#include <cstdint>
#include <cstdio>

#include "encoder/stream/avindex.h"

// Reads the WAV file, builds the code table and fills the audio index entry.
// Returns 0, or a negative value when the file cannot be opened.
int pcmtl_Init(FILE* fp, const char* path, AvIndexEntry* entry);
// Appends the next audio block to the stream and counts it in the index.
int pcmtl_Encode();
int pcmtl_End();

// The sample-to-code table (65536 entries, indexed by the 16-bit pattern of a
// sample); valid after pcmtl_Init.
const uint8_t* pcmtlCodeTable();
