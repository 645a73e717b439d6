// The compressor's entry points: option commands, stream start and end, and
// whole streams of random frames read back by the viewer's decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <random>
#include <string>

#include "format/v2format.h"
#include "support/test_support.h"
#include "tools/view/stream_decoder.h"
#include "video_test_util.h"

using videotest::CapturedStream;
using videotest::ring;
using Bytes = std::vector<uint8_t>;

namespace {

struct OptionCall {
    int type;
    int value;
    Bytes sent;  // the whole command appended, empty when none
};

TEST(CompressOption, EachSettingBecomesItsSecondByte) {
    const OptionCall calls[] = {
        {COMPRESS_OPTION_FADER, 0x12, {0x79, 0xFF}},   {COMPRESS_OPTION_PLAY, 0x80, {0x79, 0x70}},
        {COMPRESS_OPTION_OVERLAY, 0x81, {0x79, 0x01}}, {COMPRESS_OPTION_PLAY, 0x05, {0x79, 0xF5}},
        {5, 1, {}},                           {-1, 1, {}},
    };
    for (const OptionCall& c : calls) {
        CapturedStream stream;
        testing::internal::CaptureStdout();
        const int added = compressOption(c.type, c.value);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(added, static_cast<int>(c.sent.size())) << c.type;
        EXPECT_EQ(ring(0, fifo_buffer_address), c.sent) << c.type;
    }
}

TEST(CompressOption, PrintsItsLineAlwaysEvenWithTheCompressorOff) {
    CapturedStream stream;
    testing::internal::CaptureStdout();
    compressOption(COMPRESS_OPTION_PLAY, 0x80);
    encode_v2 = 0;
    EXPECT_EQ(compressOption(COMPRESS_OPTION_FADER, 3), 0);
    EXPECT_EQ(compressFrameTimeSet(9), 0);
    encode_v2 = 1;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "compressOption(03,80)\ncompressOption(04,03)\n");
    EXPECT_EQ(fifo_buffer_address, 2);
}

TEST(CompressOption, FlashMovesTheFlashEntry) {
    CapturedStream stream;
    EXPECT_EQ(paletFlashColor, -1);
    testing::internal::CaptureStdout();
    compressOption(COMPRESS_OPTION_FLASH, 0x23);
    compressOption(COMPRESS_OPTION_FLASH, 0x23);  // sent again
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ring(0, fifo_buffer_address), (Bytes{0x79, 0x43, 0x79, 0x43}));
    EXPECT_EQ(paletFlashColor, 0x23);
}

TEST(CompressFrameTime, IntervalIsSentOnlyWhenItChanges) {
    CapturedStream stream;
    EXPECT_EQ(compressFrameTimeSet(4), 0);
    EXPECT_EQ(compressFrameTimeSet(6), 2);
    EXPECT_EQ(compressFrameTimeSet(6), 0);
    EXPECT_EQ(compressFrameTimeSet(100), 2);
    EXPECT_EQ(compressFrameTimeSet(100), 2);  // the clamped 63 never equals 100
    EXPECT_EQ(updatePerCRTCframe, 63);
    EXPECT_EQ(compressFrameTimeSet(63), 0);
    EXPECT_EQ(ring(0, fifo_buffer_address), (Bytes{0x79, 0x06, 0x79, 0x3F, 0x79, 0x3F}));
}

TEST(CompressStart, FillsTheVideoEntryAndResetsState) {
    CapturedStream stream;
    compressFrameTimeSet(7);
    paletFlashColor = 5;
    memory_buf[0x100] = 0xEE;
    AvIndexEntry header[2] = {};
    header[0].bytes[AVENTRY_KIND_PARAM] = 0x44;
    EXPECT_EQ(compressGramInit(nullptr, header), 0);
    EXPECT_EQ(Bytes(header[0].bytes, header[0].bytes + 8), (Bytes{0x00, 0x00, 0x00, 0x80, 0x00, 0x20, 0x00, 0x00}));
    EXPECT_EQ(header[0].bytes[AVENTRY_KIND_PARAM], 0x44);
    EXPECT_EQ(updatePerCRTCframe, 4);
    EXPECT_EQ(paletFlashColor, -1);
    EXPECT_EQ(fifo_buffer_address, 0);
    EXPECT_EQ(memory_buf[0x100], 0);
}

TEST(CompressEnd, FillsToTheRingTopFromOffset2005) {
    CapturedStream stream;
    CapturedStream::seekRing(0x2005);
    EXPECT_EQ(compressGramEnd(), 1);
    const Bytes blocks = stream.blocks();
    ASSERT_EQ(blocks.size(), 3u * FIFO_PAGE_BYTES);  // pages 0x2000, 0x4000, 0x6000
    EXPECT_EQ(std::count(blocks.begin(), blocks.begin() + 5, 0x00), 5);
    for (size_t i = 5; i < blocks.size(); ++i) {
        const size_t page = i / FIFO_PAGE_BYTES;
        const uint8_t want = i % FIFO_PAGE_BYTES != FIFO_PAGE_LAST ? 0x7F : page == 2 ? 0x7D : 0x7B;
        ASSERT_EQ(blocks[i], want) << i;
    }
    EXPECT_EQ(fifo_buffer_address, 2);
    EXPECT_EQ(ring(0, 2), (Bytes{0x7F, 0x7F}));
}

TEST(CompressEnd, EmptyStreamHandsNothingOver) {
    CapturedStream stream;
    EXPECT_EQ(compressGramEnd(), 1);
    EXPECT_TRUE(stream.blocks().empty());
    EXPECT_EQ(fifo_buffer_address, 2);
}

// ---- whole streams of random frames ----

std::vector<PaletUpdate> randomPalets(std::mt19937& rng) {
    std::vector<PaletUpdate> list;
    if (rng() % 3 == 0) return list;
    std::array<int, 64> numbers;
    std::iota(numbers.begin(), numbers.end(), 0);
    std::shuffle(numbers.begin(), numbers.end(), rng);
    const int n = 1 + static_cast<int>(rng() % 64);
    for (int i = 0; i < n; ++i)
        list.push_back({numbers[i], static_cast<uint8_t>(1 + rng() % 7), static_cast<uint8_t>(rng()),
                        static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())});
    return list;
}

void mutate(Bytes& img, std::mt19937& rng) {
    const uint8_t common[] = {0x00, 0x33, 0xFF, 0x5A};
    auto value = [&] { return rng() % 2 ? common[rng() % 4] : static_cast<uint8_t>(rng()); };
    if (rng() % 6 == 0) {
        for (int a = V2_GRAM_PLANE_TOP; a < V2_GRAM_END; ++a) img[a] = static_cast<uint8_t>(rng());
        return;
    }
    const int regions = static_cast<int>(rng() % 60);
    for (int r = 0; r < regions; ++r) {
        const int page = V2_GRAM_PLANE_TOP + static_cast<int>(rng() % 192) * 256;
        switch (rng() % 4) {
        case 3: {  // a dotted pattern: many isolated bytes of one value
            const int step = 2 + static_cast<int>(rng() % 3);
            const uint8_t v = value();
            for (int a = page + static_cast<int>(rng() % 2); a < page + 256; a += step) img[a] = v;
            break;
        }
        case 0:  // scattered bytes, many of a few values
            for (int i = static_cast<int>(rng() % 60); i >= 0; --i) img[page + rng() % 256] = value();
            break;
        case 1: {  // a run, possibly over the end of its address page
            const int start = page + static_cast<int>(rng() % 256);
            const int length = 1 + static_cast<int>(rng() % 300);
            const bool uniform = rng() % 2;
            const uint8_t v = value();
            for (int a = start; a < std::min(start + length, V2_GRAM_END); ++a) img[a] = uniform ? v : value();
            break;
        }
        default:
            for (int a = page; a < page + 256; ++a) img[a] = static_cast<uint8_t>(rng());
        }
    }
    img[rng() % V2_GRAM_PLANE_TOP] = static_cast<uint8_t>(rng());  // never sent, still copied
}

// What the player should hold after each frame: the page image, the page's
// palette levels (r, g, b) and the interval in force.
struct Expected {
    std::vector<Bytes> frames;
    std::vector<std::array<std::array<uint8_t, 3>, PALET_NUMBERS>> levels;
    std::vector<int> intervals;
    std::array<int, 256> options{};  // option commands by their second byte
};

// Palette 0 is shared by both pages; every other number belongs to its page.
void applyPalets(std::array<std::array<uint8_t, 3>, PALET_NUMBERS> (&pages)[2], int page,
                 const std::vector<PaletUpdate>& list) {
    for (const PaletUpdate& p : list) {
        for (int target = 0; target < 2; ++target) {
            if (p.number != 0 && target != page) continue;
            std::array<uint8_t, 3>& levels = pages[target][static_cast<size_t>(p.number)];
            if (p.changes & 2) levels[0] = p.red >> 4;
            if (p.changes & 4) levels[1] = p.green >> 4;
            if (p.changes & 1) levels[2] = p.blue >> 4;
        }
    }
}

struct Replayed {
    std::vector<Bytes> frames;
    std::vector<std::array<std::array<uint8_t, 3>, PALET_NUMBERS>> levels;
    std::vector<int> intervals;
};

bool keepFrame(void* context, const view::Frame& frame) {
    auto& r = *static_cast<Replayed*>(context);
    r.frames.emplace_back(frame.gram, frame.gram + GRAM_PAGE_BYTES);
    auto& levels = r.levels.emplace_back();
    for (int p = 0; p < PALET_NUMBERS; ++p) std::copy(frame.levels[p], frame.levels[p] + 3, levels[p].begin());
    r.intervals.push_back(frame.interval);
    return true;
}

// Writes the index and the handed-over blocks as a stream file and reads it
// back with the viewer's decoder, which checks every rule of the format.
Replayed replay(const Bytes& blocks, int displayPages, view::Summary& summary) {
    testsupport::TempDir dir;
    const std::string path = dir.file("stream.bin");
    FILE* file = fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (!file) return {};
    EXPECT_EQ(avindexOut(file), static_cast<int>(blocks.size() / FIFO_PAGE_BYTES));
    EXPECT_EQ(fwrite(blocks.data(), 1, blocks.size(), file), blocks.size());
    fclose(file);
    Replayed got;
    view::DecodeOptions options;
    options.pages = displayPages;
    options.bootSize = 0;
    options.quiet = true;
    view::Sink sink;
    sink.context = &got;
    sink.frame = keepFrame;
    EXPECT_EQ(view::decodeStream(path.c_str(), options, sink, summary), 0);
    return got;
}

void runRandomStream(uint32_t seed, int displayPages, int frameCount) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", pages " + std::to_string(displayPages));
    std::mt19937 rng(seed);
    CapturedStream stream;
    constexpr int START_INTERVAL = 4;  // the compressor's, written into the index as the driver does
    hdr[0].bytes[AVENTRY_KIND_PARAM] = START_INTERVAL;
    // The player starts from cleared pages and a black palette.
    const Bytes start(GRAM_PAGE_BYTES, 0);
    std::vector<Bytes> pages(static_cast<size_t>(displayPages), start);
    std::array<std::array<uint8_t, 3>, PALET_NUMBERS> levels[2] = {};
    Bytes picture = start;
    Expected want;
    int lastInterval = START_INTERVAL;
    int shownInterval = START_INTERVAL;  // an overlay byte up to 0x3F reads as an interval too
    long reported = 0;

    testing::internal::CaptureStdout();
    for (int f = 0; f < frameCount; ++f) {
        if (rng() % 4 == 0) {
            const int v = static_cast<int>(rng() % 256);
            reported += compressOption(COMPRESS_OPTION_OVERLAY, v);
            const uint8_t sent = static_cast<uint8_t>(v - 0x80);
            ++want.options[sent];
            if (sent <= V2OPT_INTERVAL_MAX) shownInterval = sent;
        }
        if (rng() % 4 == 0) {
            reported += compressOption(COMPRESS_OPTION_FADER, 1);
            ++want.options[0xFF];
        }
        const int intervals[] = {4, 4, 6, 2, 100};
        const int interval = intervals[rng() % 5];
        reported += compressFrameTimeSet(interval);
        if (interval != lastInterval) {
            lastInterval = std::min(interval, 63);
            ++want.options[static_cast<size_t>(lastInterval)];
            shownInterval = lastInterval;
        }
        mutate(picture, rng);
        std::vector<PaletUpdate> list = randomPalets(rng);
        const int page = f % displayPages;
        applyPalets(levels, page, list);
        list.push_back({0, 0, 0, 0, 0});
        Bytes& previous = pages[static_cast<size_t>(page)];
        reported += compressGram(previous.data(), picture.data(), list.data());
        ASSERT_EQ(previous, picture) << "previous image not updated, frame " << f;
        want.frames.push_back(picture);
        want.levels.push_back(levels[page]);
        want.intervals.push_back(shownInterval);
    }
    const long written = static_cast<long>(stream.blocks().size() + CapturedStream::tail().size());
    compressGramEnd();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(reported, written) << "byte counts do not add up to the stream";

    const Bytes blocks = stream.blocks();
    EXPECT_GT(blocks.size(), 4u * FIFO_PAGE_BYTES) << "the stream should wrap the ring";
    EXPECT_EQ(CapturedStream::tail(), (Bytes{0x7F, 0x7F}));
    view::Summary summary;
    const Replayed got = replay(blocks, displayPages, summary);
    EXPECT_EQ(summary.problemTotal, 0);
    EXPECT_TRUE(summary.streamEnded);
    EXPECT_EQ(summary.frames, frameCount);
    for (int v = 0; v < 256; ++v) EXPECT_EQ(summary.optionCount[v], want.options[static_cast<size_t>(v)]) << v;
    ASSERT_EQ(got.frames.size(), want.frames.size());
    for (size_t f = 0; f < want.frames.size(); ++f) {
        // Only the pixel planes are drawn; bytes below them never reach the player.
        ASSERT_TRUE(std::equal(got.frames[f].begin() + V2_GRAM_PLANE_TOP, got.frames[f].end(),
                               want.frames[f].begin() + V2_GRAM_PLANE_TOP))
            << "replayed image differs, frame " << f;
        EXPECT_EQ(got.levels[f], want.levels[f]) << "frame " << f;
        EXPECT_EQ(got.intervals[f], want.intervals[f]) << "frame " << f;
    }
}

TEST(CompressStream, RandomSingleBufferedFramesReplayExactly) {
    for (uint32_t seed = 1; seed <= 3; ++seed) runRandomStream(seed, 1, 12);
}

TEST(CompressStream, RandomDoubleBufferedFramesReplayExactly) {
    for (uint32_t seed = 11; seed <= 12; ++seed) runRandomStream(seed, 2, 12);
}

}  // namespace
