#include "encoder/driver/frame_name.h"

#include <cstdio>
#include <cstring>

namespace {

bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isIntegerConversion(char c) { return c != '\0' && std::strchr("diuoxX", c) != nullptr; }

}  // namespace

bool frameNamePatternValid(const char* pattern) {
    int conversions = 0;
    for (const char* p = pattern; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        while (isFlag(*p)) ++p;
        while (isDigit(*p)) ++p;
        if (*p == '.') {
            ++p;
            while (isDigit(*p)) ++p;
        }
        if (!isIntegerConversion(*p)) return false;
        if (++conversions > 1) return false;
    }
    return true;
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
