// The viewer's decoder on hand-made streams: command semantics (palette
// forms, drawing, page alternation, options) and the structural checks, each
// fault on its own, independent of what the encoder happens to produce.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "support/test_support.h"
#include "tools/view/stream_decoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int VBLOCK = 0x2000;
constexpr int ABLOCK = 0x1000;

struct Block {
    bool audio;
    Bytes bytes;
};

// One video block: the commands, NOP fill, and the marker of its ring slot.
Bytes videoBlock(const Bytes& commands, int slot) {
    Bytes b(VBLOCK, 0x00);
    for (size_t i = 0; i < commands.size(); ++i) b[i] = commands[i];
    b[VBLOCK - 1] = slot % 4 == 3 ? 0x7D : 0x7B;
    return b;
}

// Video blocks for one run of commands that fits one block: the commands,
// then the stream end filling the ring up to its last page.
std::vector<Block> videoStream(const Bytes& commands) {
    Bytes first = commands;
    first.push_back(0x7F);
    first.resize(VBLOCK - 1, 0x7F);
    std::vector<Block> blocks{{false, videoBlock(first, 0)}};
    for (int slot = 1; slot < 4; ++slot) blocks.push_back({false, videoBlock(Bytes(VBLOCK - 1, 0x7F), slot)});
    return blocks;
}

Bytes audioBlock(int ringSlot, uint8_t code) {
    Bytes b(ABLOCK, code);
    const int high = 0x80 + 0x10 * ringSlot;
    for (int page = 0; page < 16; ++page) b[page * 256] = static_cast<uint8_t>(high + (page < 15 ? page + 1 : 15));
    return b;
}

void put16(Bytes& b, size_t at, unsigned v) {
    b[at] = v & 0xFF;
    b[at + 1] = (v >> 8) & 0xFF;
}

// The file: index (video entry with interval 4, audio entry when there is
// audio), bitmap, blocks.
Bytes streamFile(const std::vector<Block>& blocks) {
    Bytes f(4096, 0);
    int video = 0, audio = 0;
    for (size_t k = 0; k < blocks.size(); ++k) {
        if (blocks[k].audio) {
            ++audio;
            f[32 + k / 8] |= static_cast<uint8_t>(0x80 >> (k % 8));
        } else {
            ++video;
        }
    }
    put16(f, 0, 0x0000);
    put16(f, 2, 0x8000);
    put16(f, 4, 0x2000);
    put16(f, 6, video);
    f[8] = 4;
    if (audio > 0) {
        put16(f, 16, 0x8000);
        put16(f, 18, 0xA000);
        put16(f, 20, 0x1000);
        put16(f, 24, 0x1020);
    }
    put16(f, 22, audio);
    for (const Block& b : blocks) f.insert(f.end(), b.bytes.begin(), b.bytes.end());
    return f;
}

struct Decoded {
    int result = 0;
    view::Summary summary;
    std::vector<Bytes> pictures;  // levels r, g, b per pixel
    std::vector<int> intervals;
    std::vector<int> pages;
    std::vector<int16_t> samples;
};

bool keepFrame(void* context, const view::Frame& frame) {
    auto& d = *static_cast<Decoded*>(context);
    d.pictures.emplace_back(frame.rgb, frame.rgb + view::RGB_BYTES);
    d.intervals.push_back(frame.interval);
    d.pages.push_back(frame.page);
    return true;
}

bool keepAudio(void* context, const int16_t* samples, int count) {
    auto& d = *static_cast<Decoded*>(context);
    d.samples.insert(d.samples.end(), samples, samples + count);
    return true;
}

// With a decoder given, the file is decoded with that record (the caller's).
Decoded decode(const Bytes& file, int pages = 1, view::Decoder* decoder = nullptr) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("s.bin"), file);
    Decoded d;
    view::DecodeOptions options;
    options.pages = pages;
    options.quiet = true;
    view::Sink sink;
    sink.context = &d;
    sink.frame = keepFrame;
    sink.audio = keepAudio;
    d.result = decoder ? view::decodeStream(decoder, dir.file("s.bin").c_str(), options, sink, d.summary)
                       : view::decodeStream(dir.file("s.bin").c_str(), options, sink, d.summary);
    return d;
}

int count(const Decoded& d, view::Problem p) { return d.summary.problems[static_cast<int>(p)]; }

// Levels r, g, b of pixel (x, y) in a decoded picture.
std::array<int, 3> pixel(const Bytes& picture, int x, int y) {
    const uint8_t* p = &picture[3 * (y * 320 + x)];
    return {p[0], p[1], p[2]};
}

// Commands setting the six plane-layer bits of pixel (0, 0) to palette number
// p (bit 0: blue layer B at 0x4400 ... bit 5: green layer A at 0xC000).
Bytes drawPixel0(int p) {
    Bytes c;
    for (int bit = 0; bit < GRAM_PALET_BITS; ++bit) {
        c.insert(c.end(), {0x7A, static_cast<uint8_t>(GRAM_LAYER_OF_BIT[bit] >> 8), 0x40, 0x00,
                           static_cast<uint8_t>((p >> bit) & 1 ? 0x80 : 0x00)});
    }
    return c;
}

TEST(ViewDecoderCommands, PaletteFormsAndDrawingGiveThePixelColours) {
    // Palette 0: green 3 and red 2 marked unchanged, blue changed to 15;
    // palette 45: red changed to 10. Pixel (0, 0) gets number 45.
    Bytes c{0x78, 0x02, 0x01, 0x23, 0x22, 0x0F, 0x9C, 0x4A};
    const Bytes draw = drawPixel0(45);
    c.insert(c.end(), draw.begin(), draw.end());
    // FIL1: bytes 0x4401 and 0x4402 (pixels 8-23 of line 0) get 0xFF: blue layer B -> palette 1.
    c.insert(c.end(), {0x7A, 0x44, 0x51, 0xFF, 0x01, 0x02, 0x7E});
    const Decoded d = decode(streamFile(videoStream(c)));
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.summary.problemTotal, 0);
    ASSERT_EQ(d.pictures.size(), 1u);
    EXPECT_EQ(pixel(d.pictures[0], 0, 0), (std::array<int, 3>{10, 0, 0}));
    EXPECT_EQ(pixel(d.pictures[0], 1, 0), (std::array<int, 3>{0, 0, 15})) << "unchanged components keep their level";
    EXPECT_EQ(pixel(d.pictures[0], 0, 1), (std::array<int, 3>{0, 0, 15}));
    // Palette 1 was never announced: its pixels show level 0 and are listed.
    EXPECT_EQ(pixel(d.pictures[0], 8, 0), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(d.summary.unannounced[0], uint64_t{1} << 1);
    EXPECT_TRUE(d.summary.streamEnded);
}

TEST(ViewDecoderCommands, DoubleBufferingKeepsAPaletteAndAnImagePerPage) {
    Bytes c{0x78, 0x01, 0x14, 0x4F};  // palette 5 (0b000101): red 15, on page 0
    Bytes draw = drawPixel0(5);
    c.insert(c.end(), draw.begin(), draw.end());
    c.push_back(0x7E);  // frame 0, page 0
    c.insert(c.end(), {0x78, 0x01, 0x01, 0x07, 0x20, 0x20});  // frame 1: palette 0 green 7, for both pages
    draw = drawPixel0(5);
    c.insert(c.end(), draw.begin(), draw.end());
    c.push_back(0x7E);  // frame 1, page 1: palette 5 unknown there
    c.push_back(0x7E);  // frame 2, page 0 again, unchanged image
    const Decoded d = decode(streamFile(videoStream(c)), 2);
    ASSERT_EQ(d.pictures.size(), 3u);
    EXPECT_EQ(d.pages, (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(pixel(d.pictures[0], 0, 0), (std::array<int, 3>{15, 0, 0}));
    EXPECT_EQ(pixel(d.pictures[1], 0, 0), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(pixel(d.pictures[1], 1, 0), (std::array<int, 3>{0, 7, 0}));
    EXPECT_EQ(pixel(d.pictures[2], 0, 0), (std::array<int, 3>{15, 0, 0}));
    EXPECT_EQ(pixel(d.pictures[2], 1, 0), (std::array<int, 3>{0, 7, 0})) << "palette 0 is shared by both pages";
    EXPECT_EQ(d.summary.unannounced[1], uint64_t{1} << 5);

    // The same commands single-buffered all land on page 0.
    const Decoded single = decode(streamFile(videoStream(c)), 1);
    EXPECT_EQ(single.pages, (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(pixel(single.pictures[1], 0, 0), (std::array<int, 3>{15, 0, 0}));
}

// The caller's decoder carries nothing from one stream into the next: pages,
// palettes, intervals and counts start afresh.
TEST(ViewDecoderRecord, OneDecoderReadsOneStreamAfterAnother) {
    Bytes first{0x79, 0x06, 0x78, 0x01, 0x14, 0x4F};  // interval 6, palette 5 red 15
    const Bytes draw = drawPixel0(5);
    first.insert(first.end(), draw.begin(), draw.end());
    first.insert(first.end(), {0x7E, 0x42});  // a frame, then no command: a violation
    const Bytes second{0x7E, 0x7E};
    const std::unique_ptr<view::Decoder> decoder = std::make_unique<view::Decoder>();
    const Decoded a = decode(streamFile(videoStream(first)), 2, decoder.get());
    EXPECT_GT(a.summary.problemTotal, 0);
    EXPECT_EQ(pixel(a.pictures[0], 0, 0), (std::array<int, 3>{15, 0, 0}));
    const Decoded b = decode(streamFile(videoStream(second)), 2, decoder.get());
    const Decoded fresh = decode(streamFile(videoStream(second)), 2);
    EXPECT_EQ(b.pictures, fresh.pictures);
    EXPECT_EQ(b.intervals, (std::vector<int>{4, 4}));
    EXPECT_EQ(b.summary.problemTotal, fresh.summary.problemTotal);
    EXPECT_EQ(b.summary.unannounced[0], fresh.summary.unannounced[0]);
    EXPECT_EQ(b.summary.frames, 2);
}

TEST(ViewDecoderCommands, OptionsSetIntervalsAndAreCounted) {
    const Bytes c{0x7E, 0x79, 0x06, 0x79, 0x43, 0x7E, 0x79, 0xFF, 0x79, 0x3F, 0x7E, 0x7E};
    const Decoded d = decode(streamFile(videoStream(c)));
    EXPECT_EQ(d.intervals, (std::vector<int>{4, 6, 63, 63}));
    EXPECT_EQ(d.summary.displayFrames, 4 + 6 + 63 + 63);
    EXPECT_EQ(d.summary.optionCount[0x06], 1);
    EXPECT_EQ(d.summary.optionCount[0x43], 1);
    EXPECT_EQ(d.summary.optionCount[0xFF], 1);
    EXPECT_EQ(d.summary.problemTotal, 0);
}

TEST(ViewDecoderCommands, FrameSizesCountFillAndMarkers) {
    // Frame 0 is the 7E at offset 3; frame 1 starts the next block.
    Bytes first{0x79, 0x05, 0x7E};
    Bytes second{0x7A, 0x40, 0x40, 0x00, 0x01, 0x7E, 0x7F};
    second.resize(VBLOCK - 1, 0x7F);
    std::vector<Block> blocks{{false, videoBlock(first, 0)}, {false, videoBlock(second, 1)}};
    for (int slot = 2; slot < 4; ++slot) blocks.push_back({false, videoBlock(Bytes(VBLOCK - 1, 0x7F), slot)});
    const Decoded d = decode(streamFile(blocks));
    EXPECT_EQ(d.summary.problemTotal, 0);
    EXPECT_EQ(d.summary.frameBytesMax, VBLOCK - 3 + 6);
    EXPECT_EQ(d.summary.largestCount, 1);
    EXPECT_EQ(d.summary.largestFrames[0], 1);
    EXPECT_EQ(d.summary.frameBytesTotal, 3 + VBLOCK - 3 + 6);
}

TEST(ViewDecoderChecks, EachFaultIsCaughtOnItsOwn) {
    struct Case {
        const char* name;
        Bytes commands;
        view::Problem expected;
    };
    const std::vector<Case> cases = {
        {"DRAW2 at 0xFF leaves its page", {0x7A, 0x50, 0x10, 0xFF, 1, 2, 0x7E}, view::Problem::DrawOutsidePage},
        {"address below the planes", {0x7A, 0x3F, 0x40, 0x10, 1, 0x7E}, view::Problem::AddressOutside},
        {"page set below the planes", {0x7A, 0x3F, 0x01, 0x40, 0x10, 1, 0x7E}, view::Problem::AddressOutside},
        {"page advance past 0xFF", {0x7A, 0xF8, 0x0F, 0x40, 0x00, 1, 0x7E}, view::Problem::AddressOutside},
        {"palette without entries", {0x78, 0x00, 0x7E}, view::Problem::EntryCount},
        {"palette entry with no component", {0x78, 0x01, 0x0C, 0x7E}, view::Problem::PaletteEntry},
        {"palette 0 in the short form", {0x78, 0x01, 0x02, 0x05, 0x7E}, view::Problem::PaletteEntry},
        {"component bytes disagree", {0x78, 0x01, 0x12, 0x41, 0x81, 0x7E}, view::Problem::PaletteEntry},
        {"opcode 0x60", {0x7A, 0x40, 0x60, 0x7E}, view::Problem::BadOpcode},
        {"opcode 0x7C", {0x7C, 0x7E}, view::Problem::BadOpcode},
        {"early page-end marker", {0x7E, 0x7B, 0x7E}, view::Problem::Marker},
        {"drawing without frame end", {0x7E, 0x7A, 0x40, 0x40, 0x00, 0x01}, view::Problem::FrameNotEnded},
        {"command after NOP fill", {0x7E, 0x00, 0x7E}, view::Problem::NopFill},
        {"palette after drawing", {0x7A, 0x50, 0x78, 0x01, 0x10, 0x41, 0x7E}, view::Problem::CommandOrder},
        {"option after a page set", {0x7A, 0x50, 0x79, 0x06, 0x7E}, view::Problem::CommandOrder},
        {"H carried into the next frame", {0x7A, 0x50, 0x7E, 0x40, 0x10, 1, 0x7E}, view::Problem::CommandOrder},
        {"page advance opens a frame", {0x7A, 0x50, 0x7E, 0x01, 0x7E}, view::Problem::CommandOrder},
    };
    for (const Case& c : cases) {
        const Decoded d = decode(streamFile(videoStream(c.commands)));
        EXPECT_EQ(d.result, 0) << c.name;
        EXPECT_GE(count(d, c.expected), 1) << c.name;
    }
    // The same stream without a fault passes: options and palette before the
    // page set, H set anew in every frame, NOP fill only up to the marker.
    const Decoded clean = decode(streamFile(videoStream(
        {0x79, 0x06, 0x78, 0x01, 0x10, 0x41, 0x7A, 0x50, 0x10, 0xFE, 1, 2, 0x01, 0x40, 0x00, 3, 0x7E, 0x7A, 0x50, 0x7E})));
    EXPECT_EQ(clean.summary.problemTotal, 0);
}

TEST(ViewDecoderChecks, CommandsMayNotReachTheBlocksLastByte) {
    // A frame whose last DRAW1 sits at the end of block 0; its frame end and
    // the stream end open block 1.
    auto withDrawAt = [](int offset, int opcode) {
        // Page sets up to the DRAW, with one DRAW1 entry when the gap is odd;
        // NOP fill only after it.
        Bytes first(VBLOCK - 1, 0x00);
        first[0] = 0x7A;
        first[1] = 0x40;
        int at = 2;
        if (offset % 2 == 1) {
            first[at] = 0x40;
            at += 3;
        }
        for (; at < offset; at += 2) {
            first[at] = 0x7A;
            first[at + 1] = 0x40;
        }
        first[offset] = static_cast<uint8_t>(opcode);
        Bytes second{0x7E};
        second.resize(VBLOCK - 1, 0x7F);
        std::vector<Block> blocks{{false, videoBlock(first, 0)}, {false, videoBlock(second, 1)}};
        for (int slot = 2; slot < 4; ++slot) blocks.push_back({false, videoBlock(Bytes(VBLOCK - 1, 0x7F), slot)});
        return decode(streamFile(blocks));
    };
    EXPECT_GE(count(withDrawAt(VBLOCK - 4, 0x30), view::Problem::CommandCut), 1) << "DRAW4 of 6 bytes crosses";
    EXPECT_GE(count(withDrawAt(VBLOCK - 3, 0x40), view::Problem::CommandCut), 1) << "DRAW1 ends on the marker";
    const Decoded fits = withDrawAt(VBLOCK - 4, 0x40);  // ends at 0x1FFE: allowed
    EXPECT_EQ(fits.summary.problemTotal, 0);
    EXPECT_EQ(fits.summary.frames, 1);
}

TEST(ViewDecoderChecks, MarkersAndTheStreamEndFollowTheRing) {
    std::vector<Block> blocks = videoStream({0x7E});
    blocks[3].bytes[VBLOCK - 1] = 0x7B;  // the ring's last page must loop
    Decoded d = decode(streamFile(blocks));
    EXPECT_EQ(count(d, view::Problem::Marker), 1);

    blocks = videoStream({0x7E});
    blocks.pop_back();  // ends at ring slot 2
    d = decode(streamFile(blocks));
    EXPECT_EQ(count(d, view::Problem::StreamEnd), 1);

    blocks = videoStream({0x7E});
    blocks[2].bytes[100] = 0x00;  // something other than 0x7F after the end
    d = decode(streamFile(blocks));
    EXPECT_EQ(count(d, view::Problem::StreamEnd), 1);

    blocks = videoStream({0x7E});
    blocks.push_back({false, videoBlock(Bytes(VBLOCK - 1, 0x7F), 0)});  // a block past the end
    d = decode(streamFile(blocks));
    EXPECT_EQ(count(d, view::Problem::StreamEnd), 1);

    // No video block at all: no frame and no stream end, both violations.
    d = decode(streamFile({}));
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(count(d, view::Problem::NoFrame), 1);
    EXPECT_EQ(count(d, view::Problem::StreamEnd), 1);

    // A stream end without any frame before it.
    d = decode(streamFile(videoStream({})));
    EXPECT_EQ(count(d, view::Problem::NoFrame), 1);
    EXPECT_EQ(count(d, view::Problem::StreamEnd), 0);
}

TEST(ViewDecoderChecks, IndexAndAudioBlocks) {
    std::vector<Block> blocks{{true, audioBlock(0, 0x7F)}, {true, audioBlock(1, 0x00)}};
    for (const Block& b : videoStream({0x7E})) blocks.push_back(b);
    blocks.push_back({true, audioBlock(0, 0x80)});
    Decoded d = decode(streamFile(blocks));
    EXPECT_EQ(d.summary.problemTotal, 0);
    EXPECT_EQ(d.summary.audioBlocks, 3);
    ASSERT_EQ(d.samples.size(), 3u * 4080);
    EXPECT_EQ(d.samples[0], 0);
    EXPECT_GT(d.samples[4080], 32000);
    EXPECT_LT(d.samples[8160], -32000);
    ASSERT_TRUE(d.summary.leadKnown);

    blocks[1].bytes = audioBlock(0, 0x00);  // second audio block with the first slot's markers
    d = decode(streamFile(blocks));
    EXPECT_EQ(count(d, view::Problem::AudioMarker), 16);

    Bytes file = streamFile(videoStream({0x7E}));
    file[32] = 0x80;  // the bitmap marks block 0 as audio, the counts do not
    d = decode(file);
    EXPECT_GE(count(d, view::Problem::Bitmap), 1);

    file = streamFile(videoStream({0x7E}));
    file[16] = 1;  // audio entry without audio
    d = decode(file);
    EXPECT_EQ(count(d, view::Problem::IndexHeader), 1);

}

// The decoded sample lies in the 0.75 dB step of its code, for every
// magnitude the encoder can meet (the code computed as the encoder does).
TEST(ViewDecoderAudio, CodesComeBackInsideTheirStep) {
    for (int m = 1; m <= 32768; ++m) {
        const double level = 20.0 * std::log10(m / 32767.0);
        const int code = static_cast<int>((level - 0.35) / -0.75);
        const int positive = view::audioCodeToSample(static_cast<uint8_t>(code));
        const int negative = view::audioCodeToSample(static_cast<uint8_t>(code | 0x80));
        ASSERT_EQ(negative, -positive) << m;
        const double high = 32767.0 * std::pow(10.0, (0.35 - 0.75 * code) / 20.0);
        const double low = 32767.0 * std::pow(10.0, (0.35 - 0.75 * (code + 1)) / 20.0);
        ASSERT_LE(positive, std::ceil(high)) << m;
        ASSERT_GE(positive, std::floor(low)) << m;
    }
    EXPECT_EQ(view::audioCodeToSample(0x7F), 0);
    EXPECT_EQ(view::audioCodeToSample(0x78), 1);
    EXPECT_EQ(view::audioCodeToSample(0xF8), -1);
}

}  // namespace
