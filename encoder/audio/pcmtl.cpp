// TEMPORARY STUB: replaced by the audio block encoder.
#include "encoder/audio/pcmtl.h"
int pcmtl_Init(FILE*, const char*, AvIndexEntry*) { return -1; }
int pcmtl_Encode() { return 0; }
int pcmtl_End() { return 0; }
