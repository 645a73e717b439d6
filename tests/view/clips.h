// Shared by the viewer's end-to-end tests: clips of generated frames, the
// encoder and the viewer run on them, and readers of what the viewer writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace viewtest {

using Bytes = std::vector<uint8_t>;
using Picture = std::vector<uint32_t>;  // 320 x 200 colours 0x00RRGGBB, row 0 at the top

inline constexpr int W = 320;
inline constexpr int H = 200;
inline constexpr int RAW_BYTES = W * H * 3;

// A colour of 4-bit levels, with low bits below them that the target drops.
inline uint32_t colour(int r, int g, int b, int low = 0) {
    return static_cast<uint32_t>(((r & 15) << 4 | (low & 15)) << 16 | ((g & 15) << 4 | ((low * 7) & 15)) << 8 |
                                 ((b & 15) << 4 | ((low * 11) & 15)));
}

template <typename PixelAt>
std::vector<Picture> makeClip(int frames, PixelAt pixelAt) {
    std::vector<Picture> clip(frames, Picture(W * H));
    for (int t = 0; t < frames; ++t) {
        for (int y = 0; y < H; ++y) {
            for (int x = 0; x < W; ++x) clip[t][y * W + x] = pixelAt(x, y, t);
        }
    }
    return clip;
}

inline std::string framePattern(const testsupport::TempDir& dir) { return dir.file("f%03d.bmp"); }

inline void writeClip(const testsupport::TempDir& dir, const std::vector<Picture>& clip) {
    for (size_t t = 0; t < clip.size(); ++t) {
        char name[32];
        snprintf(name, sizeof name, "f%03zu.bmp", t);
        testsupport::writeBmp(dir.file(name), W, H, clip[t]);
    }
}

// Which frames the encoder took: a refused frame has "palet work overflow" or
// "error:color palet overflow" between its name and its "[enc" line.
inline std::vector<bool> acceptedFrames(const std::string& output, const testsupport::TempDir& dir, int frames) {
    std::vector<bool> accepted(frames, false);
    for (int t = 0; t < frames; ++t) {
        char name[32];
        snprintf(name, sizeof name, "/f%03d.bmp:", t);
        const size_t at = output.find(dir.path() + name);
        if (at == std::string::npos) continue;
        const size_t enc = output.find("[enc ", at);
        accepted[t] = enc != std::string::npos && output.substr(at, enc - at).find("overflow") == std::string::npos;
    }
    return accepted;
}

// 16-bit mono PCM WAV at 7812 samples per second.
inline void writeWav(const std::string& path, const std::vector<int16_t>& samples) {
    Bytes b;
    auto put = [&b](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    b.insert(b.end(), {'R', 'I', 'F', 'F'});
    put(36 + data, 4);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put(16, 4);
    put(1, 2);
    put(1, 2);
    put(7812, 4);
    put(7812 * 2, 4);
    put(2, 2);
    put(16, 2);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put(data, 4);
    for (int16_t s : samples) put(static_cast<uint16_t>(s), 2);
    testsupport::writeFile(path, b);
}

inline uint32_t le(const Bytes& b, size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | b[at + i];
    return v;
}

// The samples of a WAV file's data chunk (16-bit), found by walking the chunks.
inline std::vector<int16_t> readWavSamples(const std::string& path, uint32_t* rate = nullptr) {
    const Bytes b = testsupport::readFile(path);
    std::vector<int16_t> samples;
    if (b.size() < 12) return samples;
    size_t at = 12;
    while (at + 8 <= b.size()) {
        const uint32_t size = le(b, at + 4, 4);
        if (b[at] == 'f' && b[at + 1] == 'm' && b[at + 2] == 't' && rate) *rate = le(b, at + 12, 4);
        if (b[at] == 'd' && b[at + 1] == 'a' && b[at + 2] == 't' && b[at + 3] == 'a') {
            for (size_t i = 0; i + 1 < size && at + 8 + i + 1 < b.size(); i += 2) {
                samples.push_back(static_cast<int16_t>(le(b, at + 8 + i, 2)));
            }
            break;
        }
        at += 8 + size + (size & 1);
    }
    return samples;
}

// Blocks of a stream whose index is at offset 0, from its bitmap.
struct BlockAt {
    size_t offset;
    bool audio;
};

inline std::vector<BlockAt> blocksOf(const Bytes& stream) {
    std::vector<BlockAt> blocks;
    const int total = static_cast<int>(le(stream, 6, 2) + le(stream, 22, 2));
    size_t offset = 4096;
    for (int k = 0; k < total && offset < stream.size(); ++k) {
        const bool audio = (stream[32 + k / 8] & (0x80 >> (k % 8))) != 0;
        blocks.push_back({offset, audio});
        offset += audio ? 0x1000 : 0x2000;
    }
    return blocks;
}

inline testsupport::RunResult view(const std::vector<std::string>& args) {
    return testsupport::run(VENDREL_VIEW_BIN, args);
}

// The sample clip (make_sample) of `frames` frames in DIR/clip, encoded
// double-buffered into DIR/stream with the vendrel options given before the
// frames; the stream's path.
inline std::string sampleStream(const testsupport::TempDir& dir, const std::string& clip, const std::string& stream,
                                int frames, const std::vector<std::string>& options = {}) {
    EXPECT_EQ(testsupport::run(MAKE_SAMPLE_BIN, {dir.file(clip), std::to_string(frames)}).status, 0);
    std::vector<std::string> args = {"-c2", "-e" + std::to_string(frames - 1)};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {dir.file(clip + "/frame%05d.bmp"), dir.file(stream)});
    const testsupport::RunResult r = testsupport::run(VENDREL_BIN, args);
    EXPECT_EQ(r.status, 0) << r.output;
    return dir.file(stream);
}

}  // namespace viewtest
