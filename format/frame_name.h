// File names made from printf patterns that receive one int, the frame number
// (in%05d.bmp, m%03d.bin): which patterns are safe to hand to printf.
#pragma once

#include <cstring>

// The number of conversions in a frame-name pattern, or -1 when one of them
// is not an integer conversion (d, i, u, o, x, X with flags, width and
// precision but no '*' and no length modifier). "%%" is a literal '%' and
// counts for nothing. A pattern printf may be given holds at most one.
inline int frameNameConversions(const char* pattern) {
    int conversions = 0;
    for (const char* c = pattern; *c; ++c) {
        if (*c != '%') continue;
        ++c;
        if (*c == '%') continue;
        while (*c && strchr("-+ #0", *c)) ++c;
        while (*c >= '0' && *c <= '9') ++c;
        if (*c == '.') {
            ++c;
            while (*c >= '0' && *c <= '9') ++c;
        }
        if (!*c || !strchr("diouxX", *c)) return -1;
        ++conversions;
    }
    return conversions;
}
