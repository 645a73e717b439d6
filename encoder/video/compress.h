// The face of the video compressor towards the rest of the encoder: stream
// start, option commands, frames and stream end.
#pragma once

#include <cstdint>
#include <cstdio>

#include "encoder/image/decode_bmp.h"
#include "encoder/stream/avindex.h"

extern int32_t encode_v2;
extern int32_t updatePerCRTCframe;

int compressGramInit(FILE* out, AvIndexEntry* header);
int compressOption(int type, int value);
int compressFrameTimeSet(int interval);
// Encodes the difference from prev to next (prev then equals next);
// returns the bytes the frame added to the stream.
int compressGram(uint8_t* prev, const uint8_t* next, const PaletUpdate* list);
int compressGramEnd();
