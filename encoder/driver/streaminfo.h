// Per-frame parameters and the parameter file that changes them at given frames.
#pragma once

#include <cstdio>

#include "format/stream.h"

struct StreamInfo {
    FILE* fp = nullptr;      // the parameter file, or none
    int frame = 0;           // number of the frame being processed
    int nextFrame = 0;       // first frame to which the lines not yet read apply
    int videoInterval = DEFAULT_VIDEO_INTERVAL;  // display frames that one video frame lasts
    int videoSkip = 1;       // step from one source frame number to the next
    int paletLimit = 64;     // colour limit for the colour reduction
};

int streamInfoInit(StreamInfo* info);
// Applies the lines of the parameter file that are due at info->frame.
// Returns 0, or -1 after printing an error line.
int streamInfoUpdate(StreamInfo* info);
int streamInfoTerm(StreamInfo* info);
