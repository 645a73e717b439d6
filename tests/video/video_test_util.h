// Shared set-up of the video tests: a fresh compressor whose handed-over FIFO
// pages are captured in a temporary file instead of a real stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "encoder/stream/avindex.h"
#include "encoder/video/compress.h"
#include "encoder/video/fifo.h"

namespace videotest {

class CapturedStream {
public:
    CapturedStream() {
        avindexReset();
        compressReset();
        fpDst = tmpfile();
        compressGramInit(fpDst, hdr);
    }
    ~CapturedStream() {
        if (fpDst) fclose(fpDst);
        avindexReset();
    }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    // Every video block written so far, back to back.
    std::vector<uint8_t> blocks() const {
        fflush(fpDst);
        const long size = ftell(fpDst);
        std::vector<uint8_t> bytes(static_cast<size_t>(size));
        rewind(fpDst);
        if (size > 0 && fread(bytes.data(), 1, bytes.size(), fpDst) != bytes.size()) bytes.clear();
        fseek(fpDst, 0, SEEK_END);
        return bytes;
    }
    // Ring bytes of the page still being filled.
    static std::vector<uint8_t> tail() {
        return std::vector<uint8_t>(memory_buf + fifo_writed_address, memory_buf + fifo_buffer_address);
    }
    // Puts the write position at a ring offset, as if the stream had reached it.
    static void seekRing(int32_t offset) {
        fifo_buffer_address = offset;
        fifo_writed_address = offset - offset % FIFO_PAGE_BYTES;
    }
};

inline std::vector<uint8_t> ring(int32_t from, int32_t to) {
    return std::vector<uint8_t>(memory_buf + from, memory_buf + to);
}

}  // namespace videotest
