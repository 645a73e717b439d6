// TEMPORARY STUB: replaced by the video compressor.
#include "encoder/video/compress.h"
int32_t encode_v2 = 1;
int32_t updatePerCRTCframe = 4;
int compressGramInit(FILE*, AvIndexEntry*) { return 0; }
int compressOption(int, int) { return 0; }
int compressFrameTimeSet(int) { return 0; }
int compressGram(uint8_t*, const uint8_t*, const PaletUpdate*) { return 0; }
int compressGramEnd() { return 0; }
