// The stream file: the AV index in front of the blocks (two 16-byte entries,
// then one bit a block, set for audio), the video ring the video blocks are
// pages of, and the display time that frames count in.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int AVINDEX_HEADER_BYTES = 32;
inline constexpr int AVINDEX_ENTRY_BYTES = 16;
inline constexpr int AVINDEX_TABLE_BYTES = 4064;
inline constexpr int AVINDEX_MAX_BLOCKS = AVINDEX_TABLE_BYTES * 8;  // 32512
inline constexpr int AVINDEX_KIND_VIDEO = 0;
inline constexpr int AVINDEX_KIND_AUDIO = 1;

// Field offsets inside an index entry; numbers are little-endian.
inline constexpr int AVENTRY_FIFO_TOP = 0;
inline constexpr int AVENTRY_FIFO_END = 2;
inline constexpr int AVENTRY_BLOCK_SIZE = 4;
inline constexpr int AVENTRY_BLOCK_COUNT = 6;
inline constexpr int AVENTRY_KIND_PARAM = 8;

// The bit of block k in the index table: the blocks go from the top bit of
// the first byte on.
constexpr uint8_t avIndexBlockMask(size_t k) { return static_cast<uint8_t>(0x80 >> (k & 7)); }
// True when the table marks block k as audio.
constexpr bool avIndexBlockIsAudio(const uint8_t* table, size_t k) {
    return (table[k >> 3] & avIndexBlockMask(k)) != 0;
}

// Boot code copied to the top of the stream, in front of the index, at most.
inline constexpr long STREAM_BOOTCODE_MAX_BYTES = 65536;

// Frame time and frame intervals count the target's display refresh frames.
inline constexpr int DISPLAY_FRAMES_PER_SECOND = 60;
// The interval a stream starts with (the video entry's kind parameter) and a
// parameter file leaves in force: one video frame every 4 display frames, 15 fps.
inline constexpr int DEFAULT_VIDEO_INTERVAL = 4;

// The video ring in the player's memory: four 8192-byte FIFO pages, each
// closed by a page-end marker in its last byte. A video block is one page.
inline constexpr int32_t FIFO_PAGE_BYTES = 0x2000;
inline constexpr int32_t FIFO_PAGE_LAST = FIFO_PAGE_BYTES - 1;  // page offset of the page-end marker
inline constexpr int32_t FIFO_RING_TOP = 0x0000;
inline constexpr int32_t FIFO_RING_END = 0x8000;
