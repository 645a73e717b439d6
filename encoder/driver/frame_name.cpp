#include "encoder/driver/frame_name.h"

#include <cstdio>

#include "format/frame_name.h"

bool frameNamePatternValid(const char* pattern) {
    const int conversions = frameNameConversions(pattern);
    return conversions >= 0 && conversions <= 1;
}

int formatFrameName(char* out, const char* pattern, int number) {
    out[0] = '\0';
    if (!frameNamePatternValid(pattern)) return FRAME_NAME_INVALID;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = snprintf(out, FRAME_NAME_BYTES, pattern, number);
#pragma GCC diagnostic pop
    if (n < 0 || n >= FRAME_NAME_BYTES) {
        out[0] = '\0';
        return FRAME_NAME_TOO_LONG;
    }
    return n;
}
