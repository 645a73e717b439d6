// Numbers in the stream's index and in WAV headers are little-endian: the
// reads and writes of 16- and 32-bit fields, for every reader and writer.
#pragma once

#include <cstdint>
#include <vector>

inline constexpr uint16_t leU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline constexpr uint32_t leU32(const uint8_t* p) { return leU16(p) | static_cast<uint32_t>(leU16(p + 2)) << 16; }

inline constexpr void putLeU16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline constexpr void putLeU32(uint8_t* p, uint32_t v) {
    putLeU16(p, v & 0xFFFF);
    putLeU16(p + 2, v >> 16);
}

// The same, appended to a file being built in memory.
inline void appendLeU16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void appendLeU32(std::vector<uint8_t>& out, uint32_t v) {
    appendLeU16(out, v & 0xFFFF);
    appendLeU16(out, v >> 16);
}
