// The fast pixel matching and exchange search must decide exactly as the
// plain ones: the same entries, the same exchanges with the same logged costs,
// hence the same order, page palette, page map, GRAM page 2, palette update
// list and stream bytes. The plain algorithm is the oracle; states and frame
// sequences are generated.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "encoder/image/decode_bmp.h"
#include "encoder/stream/avindex.h"
#include "encoder/video/compress.h"

namespace {

constexpr int WORK = 2;

uint32_t rgb4(std::mt19937& rng) {
    const uint32_t r = rng() & 15, g = rng() & 15, b = rng() & 15;
    return r << 20 | g << 12 | b << 4;
}

std::vector<uint32_t> palette(std::mt19937& rng, int n) {
    std::vector<uint32_t> colours;
    while (static_cast<int>(colours.size()) < n) {
        const uint32_t c = rgb4(rng);
        if (std::find(colours.begin(), colours.end(), c) == colours.end()) colours.push_back(c);
    }
    return colours;
}

// A picture of rectangles in the given colours over a background of the
// first, so that groups hold one to a few colours as in real pictures. The
// rectangles stay in the top `area` rows (all rows when 0).
std::vector<uint32_t> blocks(std::mt19937& rng, int w, int h, const std::vector<uint32_t>& colours, int rects,
                             int area = 0) {
    if (area == 0) area = h;
    std::vector<uint32_t> px(static_cast<size_t>(w) * h, colours[0]);
    for (int r = 0; r < rects; ++r) {
        const uint32_t c = colours[rng() % colours.size()];
        const int x0 = rng() % w, y0 = rng() % area;
        const int x1 = std::min(w, x0 + 1 + static_cast<int>(rng() % 60));
        const int y1 = std::min(area, y0 + 1 + static_cast<int>(rng() % 40));
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) px[static_cast<size_t>(y) * w + x] = c;
    }
    // Every colour at least once, so the frame really brings all of them.
    const size_t areaPixels = static_cast<size_t>(w) * area;
    for (size_t k = 0; k < colours.size() && k < areaPixels; ++k) px[(k * 7919) % areaPixels] = colours[k];
    return px;
}

struct Lock {
    int index, colour, mask, mode;
};

struct Frame {
    int page = 0;
    int limit = 64;
    int width = SCREEN_WIDTH, height = SCREEN_HEIGHT;
    std::vector<uint32_t> pixels;
    std::vector<Lock> locks;
};

// A 24-bit bottom-up image in memory, as the BMP reader returns it.
struct Image {
    BmpImage bmp{};
    std::vector<uint8_t> bytes;
    explicit Image(const Frame& f) {
        bmp.width = f.width;
        bmp.height = f.height;
        bmp.bitCount = 24;
        bmp.stride = ((24 * f.width + 31) >> 5) << 2;
        bmp.pixelBytes = f.height * bmp.stride;
        bytes.assign(bmp.pixelBytes, 0);
        bmp.data = bytes.data();
        for (int y = 0; y < f.height; ++y) {
            for (int x = 0; x < f.width; ++x) {
                const uint32_t c = f.pixels[static_cast<size_t>(y) * f.width + x];
                uint8_t* p = bytes.data() + bmp.pixelBytes - (y + 1) * bmp.stride + 3 * x;
                p[0] = c & 0xFF;
                p[1] = (c >> 8) & 0xFF;
                p[2] = (c >> 16) & 0xFF;
            }
        }
    }
};

template <typename T>
std::vector<uint8_t> bytesOf(const T* p, size_t n) {
    const auto* b = reinterpret_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n * sizeof(T));
}

// Field by field, so that padding bytes play no part.
std::vector<uint8_t> paletBytes(const PaletEntry* e, size_t n) {
    std::vector<uint8_t> out;
    for (size_t k = 0; k < n; ++k) {
        const int32_t v[] = {e[k].blue,     e[k].red,   e[k].green, e[k].blueMask, e[k].redMask,
                             e[k].greenMask, e[k].flags, e[k].count, e[k].changes};
        const auto b = bytesOf(v, std::size(v));
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

// What one frame leaves behind, byte for byte, and the exchanges it applied.
struct Outcome {
    int result;
    int exchanges;
    std::vector<uint8_t> map, palet, gram2, list, display, swaps;
    bool operator==(const Outcome&) const = default;
};

struct Run {
    std::vector<Outcome> frames;
    std::vector<uint8_t> stream;
};

// The frame loop's pieces: colour reduction and compression into a stream
// held in a temporary file, from a fresh start.
Run encode(const std::vector<Frame>& frames, bool fast) {
    decode_bmp_setExchangeSearch(fast ? improveOrderFast : improveOrderPlain);
    decode_bmp_setPixelMatch(fast ? matchPixelsFast : matchPixelsPlain);
    std::memset(gram_buf, 0, sizeof gram_buf);
    std::memset(paletUpdateList, 0, sizeof paletUpdateList);
    decode_bmp_init();
    AvIndexEntry* header = avindexInit();
    audioSamplesVframe = 0.0;
    curFrame = fileFrame = frameTime = audioBlock = 0;
    encode_v2 = 1;
    fpDst = tmpfile();
    compressGramInit(fpDst, header);
    Run run;
    testing::internal::CaptureStdout();
    for (const Frame& f : frames) {
        decode_bmp_setColorLimit(f.limit);
        for (const Lock& l : f.locks) decode_bmp_palet_lock(l.index, l.colour, l.mask, l.mode);
        const Image image(f);
        Outcome o;
        o.result = decode_bmp_gram(f.page, &image.bmp);

        o.map.assign(indexBmp[f.page], indexBmp[f.page] + SCREEN_PIXELS);
        o.palet = paletBytes(indexPalet[f.page], 128);
        o.gram2.assign(gram_buf[2], gram_buf[2] + GRAM_PAGE_BYTES);
        o.list = bytesOf(paletUpdateList, PALET_UPDATE_RECORDS);
        o.display = paletBytes(&displayPalet[0][0], 128);
        o.swaps = bytesOf(paletSwapTrace, std::min<int>(paletSwapCount, PALET_SWAP_TRACE_RECORDS));
        o.exchanges = paletSwapCount;
        run.frames.push_back(std::move(o));
        compressFrameTimeSet(4);
        compressGram(gram_buf[f.page], gram_buf[2], paletUpdateList);
        frameTime += 4;
    }
    compressGramEnd();
    avindexOut(fpDst);
    testing::internal::GetCapturedStdout();
    fflush(fpDst);
    const long size = ftell(fpDst);
    run.stream.resize(static_cast<size_t>(size));
    rewind(fpDst);
    EXPECT_EQ(fread(run.stream.data(), 1, run.stream.size(), fpDst), run.stream.size());
    fclose(fpDst);
    fpDst = nullptr;
    decode_bmp_setExchangeSearch(improveOrderFast);
    decode_bmp_setPixelMatch(matchPixelsFast);
    return run;
}

// Runs the frames with either search; every frame must succeed. Returns the
// exchanges applied per frame, so that a case can show it exercised the search.
std::vector<int> expectSameRun(const std::vector<Frame>& frames) {
    const Run plain = encode(frames, false);
    const Run fast = encode(frames, true);
    std::vector<int> swaps;
    for (size_t n = 0; n < frames.size(); ++n) {
        const Outcome& p = plain.frames[n];
        const Outcome& f = fast.frames[n];
        EXPECT_EQ(p.result, 0) << "frame " << n;
        EXPECT_EQ(p.exchanges, f.exchanges) << "frame " << n;
        EXPECT_EQ(p.swaps, f.swaps) << "exchanges of frame " << n;
        EXPECT_TRUE(p == f) << "state after frame " << n;
        swaps.push_back(p.exchanges);
    }
    EXPECT_GT(plain.stream.size(), 4096u);
    EXPECT_TRUE(plain.stream == fast.stream) << "streams differ";
    EXPECT_GT(std::accumulate(swaps.begin(), swaps.end(), 0), 0) << "the search was never exercised";
    return swaps;
}

Frame full(std::vector<uint32_t> pixels, int page = 0, int limit = 64) {
    Frame f;
    f.pixels = std::move(pixels);
    f.page = page;
    f.limit = limit;
    return f;
}

// ---- whole frames through decode_bmp_gram and the compressor ---------------

TEST(ExchangeSearchIdentity, ManyNewColoursThenChangingPictures) {
    std::mt19937 rng(11);
    const auto colours = palette(rng, 64);
    constexpr uint32_t before = 0x102030;
    ASSERT_EQ(std::find(colours.begin(), colours.end(), before), colours.end());
    std::vector<Frame> frames;
    frames.push_back(full(std::vector<uint32_t>(SCREEN_PIXELS, before)));
    // 64 new colours at once. The background, seen first, takes the position
    // of the colour before it, so the rows below the rectangles cost nothing
    // and the plain search's evaluations end early there.
    frames.push_back(full(blocks(rng, 320, 200, colours, 150, 56)));
    // Fewer colours, half of them new: old positions free up and new colours
    // compete for them.
    auto next = std::vector<uint32_t>(colours.begin(), colours.begin() + 20);
    const auto fresh = palette(rng, 10);
    for (int k = 0; k < 10; ++k) next[2 * k] = fresh[k];
    frames.push_back(full(blocks(rng, 320, 200, next, 200)));
    frames.push_back(frames.back());  // the same picture again
    const auto swaps = expectSameRun(frames);
    EXPECT_GT(swaps[1], 20);
    EXPECT_GT(swaps[2], 5);
    EXPECT_EQ(swaps[3], 0);
}

TEST(ExchangeSearchIdentity, FallingColourLimitsOnTwoPages) {
    std::mt19937 rng(5);
    std::vector<Frame> frames;
    const int limits[] = {64, 32, 16, 8, 4, 2, 16, 64};
    for (size_t n = 0; n < std::size(limits); ++n) {
        const int limit = limits[n];
        // Few enough colours for the limit, so placement succeeds; colours
        // used at higher positions before the limit fell stay where they are.
        const auto colours = palette(rng, std::max(2, std::min(limit, 12) - static_cast<int>(n % 2)));
        frames.push_back(full(blocks(rng, 320, 200, colours, 120), static_cast<int>(n % 2), limit));
    }
    expectSameRun(frames);
}

TEST(ExchangeSearchIdentity, LockedPositionsAndFlash) {
    std::mt19937 rng(23);
    std::vector<Frame> frames;
    auto colours = palette(rng, 14);
    colours[1] = 0xF00000;  // the locked colour
    Frame first = full(blocks(rng, 320, 200, colours, 150), 0, 32);
    first.locks = {{5, 0xF00000, 0xF0F0F0, PALET_LOCKED}, {20, 0, 0, PALET_FLASH}, {9, 0x0000F0, 0x0000F0, 2}};
    frames.push_back(first);
    for (int n = 0; n < 3; ++n) {
        auto c = palette(rng, 12);
        c[3] = 0xF00000;
        c[4] = 0x3050F0;  // any full blue goes to the lock at 9
        frames.push_back(full(blocks(rng, 320, 200, c, 150), 0, 32));
    }
    expectSameRun(frames);
}

// Dithered pictures, as a palette per frame gives real video: groups of up to
// eight entries, so every pair correction is exercised, and colours with
// noise in their low bits, which share the entry of their top bits.
std::vector<uint32_t> dithered(std::mt19937& rng, const std::vector<uint32_t>& colours, int shift) {
    std::vector<uint32_t> px(SCREEN_PIXELS);
    for (int at = 0; at < SCREEN_PIXELS; ++at) {
        const int x = at % SCREEN_WIDTH, y = at / SCREEN_WIDTH;
        // Bands across the picture, each pixel from its band or the next.
        const size_t band = static_cast<size_t>((x + 2 * y + shift) / 23 + rng() % 2) % colours.size();
        px[at] = colours[band] | (rng() & 0x0F0F0F);
    }
    return px;
}

TEST(ExchangeSearchIdentity, DitheredPicturesAndLowBits) {
    std::mt19937 rng(31);
    std::vector<Frame> frames;
    for (int n = 0; n < 4; ++n) frames.push_back(full(dithered(rng, palette(rng, n == 2 ? 64 : 24), 40 * n), n % 2));
    const auto swaps = expectSameRun(frames);
    EXPECT_GT(swaps[2], 20);
}

// A lock whose mask reaches into the low bits tells apart colours with the
// same top bits, so the matching cannot go by 12-bit colour.
TEST(ExchangeSearchIdentity, LockOnLowBits) {
    std::mt19937 rng(37);
    auto colours = palette(rng, 12);
    colours[0] = 0x123450;
    std::vector<Frame> frames{full(dithered(rng, colours, 0)), full(dithered(rng, colours, 50))};
    frames[0].locks = {{60, 0x103056, 0xF0F0FF, PALET_LOCKED}};
    int exact = 0;
    for (uint32_t& c : frames[0].pixels) {
        if ((c & 0xF0F0F0) == 0x103050 && rng() % 2) c = 0x123456, ++exact;
    }
    ASSERT_GT(exact, 100);
    expectSameRun(frames);
}

TEST(ExchangeSearchIdentity, SmallFramesAndRepeats) {
    std::mt19937 rng(42);
    std::vector<Frame> frames;
    const int sizes[][2] = {{320, 200}, {37, 13}, {100, 50}, {319, 199}, {8, 200}, {320, 1}, {100, 50}};
    for (size_t n = 0; n < std::size(sizes); ++n) {
        Frame f;
        f.width = sizes[n][0];
        f.height = sizes[n][1];
        f.pixels = blocks(rng, f.width, f.height, palette(rng, 3 + static_cast<int>(n) * 2), 40);
        frames.push_back(f);
        if (n == 2) frames.push_back(f);  // identical frame: nothing to improve
    }
    expectSameRun(frames);
}

// ---- the searches on their own, from generated states ----------------------

// A work map and a page map with an arbitrary palette of used and free
// entries, the page map mostly a permutation of the work map so that there is
// a better order to find, and a shuffled starting order (used entries at
// positions at or above the limit included).
void randomState(std::mt19937& rng, int limit, int entries, uint8_t order[128]) {
    decode_bmp_init();
    decode_bmp_setColorLimit(limit);
    PaletEntry* work = indexPalet[WORK];
    PaletEntry* page = indexPalet[0];
    const auto colours = palette(rng, 2 * entries);
    std::vector<int> used(128);
    std::iota(used.begin(), used.end(), 0);
    std::shuffle(used.begin(), used.end(), rng);
    used.resize(entries);
    // The position each entry's pixels had on the page: mostly distinct.
    uint8_t target[128];
    for (int e = 0; e < 128; ++e) target[e] = static_cast<uint8_t>(rng() % limit + (rng() % 4 ? 0 : limit));
    for (int y = 0; y < SCREEN_HEIGHT; y += 4) {
        for (int x = 0; x < SCREEN_WIDTH; x += 4) {
            const int e = used[rng() % used.size()];
            for (int p = 0; p < 16; ++p) {
                const int at = (y + p / 4) * SCREEN_WIDTH + x + p % 4;
                indexBmp[WORK][at] = static_cast<uint8_t>(e);
                indexBmp[0][at] = rng() % 16 ? target[e] : static_cast<uint8_t>(rng() % 64);
            }
        }
    }
    for (int e = 0; e < 128; ++e) work[e].count = 0, work[e].flags = 0;
    for (int at = 0; at < SCREEN_PIXELS; ++at) work[indexBmp[WORK][at]].count += 1;
    for (int e = 0; e < 128; ++e) {
        const uint32_t c = colours[e % colours.size()];
        work[e].blue = c & 0xFF, work[e].green = (c >> 8) & 0xFF, work[e].red = (c >> 16) & 0xFF;
        if (work[e].count) work[e].flags = PALET_USED;
    }
    for (int p = 0; p < 64; ++p) {
        // Some page entries hold the colour of the entry that belongs there.
        const PaletEntry& like = work[rng() % 128];
        page[p].blue = like.blue, page[p].red = like.red, page[p].green = rng() % 3 ? like.green : 0x70;
        page[p].flags = rng() % 9 == 0 ? PALET_USED | PALET_LOCKED : PALET_USED;
    }
    // Most used entries start below the limit, where they can move.
    std::iota(order, order + 128, 0);
    std::shuffle(order, order + 128, rng);
    int low = 0;
    for (int p = 0; p < 128 && low < limit; ++p) {
        if (work[order[p]].count && rng() % 5) std::swap(order[p], order[low++]);
    }
}

TEST(ExchangeSearchIdentity, GeneratedStatesGiveTheSameExchanges) {
    struct Case {
        int limit, entries;
    };
    const Case cases[] = {{2, 2}, {4, 9}, {8, 6}, {8, 40}, {16, 12}, {16, 30}, {32, 20}, {64, 30}};
    int applied = 0;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        for (const Case& c : cases) {
            if (c.limit == 64 && seed > 1) continue;  // the plain search is slow there
            std::mt19937 rng(seed * 100 + c.limit);
            uint8_t start[128];
            randomState(rng, c.limit, c.entries, start);
            uint8_t plain[128], fast[128];
            std::memcpy(plain, start, sizeof plain);
            std::memcpy(fast, start, sizeof fast);
            const int plainSwaps = improveOrderPlain(0, plain);
            const auto plainTrace = bytesOf(paletSwapTrace, std::min(plainSwaps, PALET_SWAP_TRACE_RECORDS));
            const int fastSwaps = improveOrderFast(0, fast);
            const auto fastTrace = bytesOf(paletSwapTrace, std::min(fastSwaps, PALET_SWAP_TRACE_RECORDS));
            SCOPED_TRACE(testing::Message() << "seed " << seed << " limit " << c.limit << " entries " << c.entries);
            EXPECT_EQ(plainSwaps, fastSwaps);
            EXPECT_TRUE(plainTrace == fastTrace);
            EXPECT_EQ(0, std::memcmp(plain, fast, sizeof plain));
            applied += plainSwaps;
        }
    }
    EXPECT_GT(applied, 50);
}

// The cost the fast search keeps must be the plain evaluation of the order
// it stands at: after the search, a full evaluation equals the last logged cost.
TEST(ExchangeSearchIdentity, LoggedCostsAreFullEvaluations) {
    std::mt19937 rng(7);
    uint8_t order[128];
    randomState(rng, 16, 14, order);
    uint8_t start[128];
    std::memcpy(start, order, sizeof order);
    const int swaps = improveOrderFast(0, order);
    ASSERT_GT(swaps, 1);
    ASSERT_LE(swaps, PALET_SWAP_TRACE_RECORDS);
    // Replay the exchanges on the start order and evaluate each step in full.
    for (int s = 0; s < swaps; ++s) {
        const PaletSwap& w = paletSwapTrace[s];
        DiffRecord r{};
        r.oldMap = indexBmp[0];
        r.newMap = indexBmp[WORK];
        r.threshold = INT32_MAX;
        analyzeTotalDiff_pre(&r, indexPalet[0], start);
        EXPECT_EQ(analyzeTotalDiff(&r), w.base) << "before exchange " << s;
        EXPECT_EQ(start[w.m], w.entryM);
        EXPECT_EQ(start[w.b], w.entryB);
        std::swap(start[w.m], start[w.b]);
        analyzeTotalDiff_pre(&r, indexPalet[0], start);
        EXPECT_EQ(analyzeTotalDiff(&r), w.cost) << "after exchange " << s;
        EXPECT_LT(w.cost, w.base);
    }
    EXPECT_EQ(0, std::memcmp(start, order, sizeof order));
}

}  // namespace
