// TEMPORARY STUB: replaced by the parameter file reader.
#include "encoder/driver/streaminfo.h"
int streamInfoInit(StreamInfo* info) { info->nextFrame = info->frame; return 0; }
int streamInfoUpdate(StreamInfo*) { return 0; }
int streamInfoTerm(StreamInfo* info) { if (info->fp) { fclose(info->fp); info->fp = nullptr; } return 0; }
