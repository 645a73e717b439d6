#include "encoder/driver/log.h"

#include <cstdarg>
#include <cstdio>

// Group 1 (the output stream) prints; the colour reduction and the video
// compressor stay silent.
const uint32_t log_mask[16] = {0x2, 0xFFFFFF, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

int log_printf(int32_t category, const char* format, ...) {
    const uint32_t group = static_cast<uint32_t>(category >> 24) & 0xF;
    if ((log_mask[group] & static_cast<uint32_t>(category)) == 0) return 0;
    va_list args;
    va_start(args, format);
    const int n = vprintf(format, args);
    va_end(args);
    return n;
}
