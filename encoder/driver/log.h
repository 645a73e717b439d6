// The log channel: trace lines grouped by category, filtered by a mask table
// that is fixed when the program is built.
#pragma once

#include <cstdint>

// Categories: the top byte selects a group, the low 24 bits are detail bits.
inline constexpr int32_t LOG_STREAM_BLOCK = 0x1000002;  // video block lines (printed)
inline constexpr int32_t LOG_PALET = 0x2000001;         // colour reduction: palette dumps
inline constexpr int32_t LOG_V2_FRAME = 0x3000001;      // video compression: per-frame summary
inline constexpr int32_t LOG_V2_CMD = 0x3000004;        // command registration, page headers
inline constexpr int32_t LOG_V2_PACKET = 0x3000008;     // byte-level packet trace
inline constexpr int32_t LOG_V2_OPTION = 0x3000010;     // option commands

extern const uint32_t log_mask[16];

// Prints like printf to standard output when the category's group mask has
// any of the category's bits; prints nothing otherwise.
int log_printf(int32_t category, const char* format, ...) __attribute__((format(printf, 2, 3)));
