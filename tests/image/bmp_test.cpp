#include "encoder/image/bmp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <random>

#include "support/test_support.h"

namespace {

using testsupport::TempDir;

struct BmpDeleter {
    void operator()(BmpImage* image) const { bmpFree(image); }
};
using BmpPtr = std::unique_ptr<BmpImage, BmpDeleter>;

// A file built byte by byte, for headers writeBmp does not make.
struct RawBmp {
    uint32_t headerSize = 40;
    int32_t width = 1;
    int32_t height = 1;
    uint16_t bitCount = 24;
    uint32_t compression = 0;
    uint32_t colorsUsed = 0;
    std::vector<uint32_t> masks{};    // right behind the 40-byte part of the header
    std::vector<uint32_t> palette{};   // 0x00RRGGBB
    uint32_t gap = 0;                 // junk bytes between palette and pixels
    std::optional<uint32_t> offBits{}; // default: where the pixels really start
    std::vector<uint8_t> rows{};      // as stored, bottom row first
};

void put(std::vector<uint8_t>& b, uint32_t v, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> build(const RawBmp& r) {
    std::vector<uint8_t> h;
    put(h, r.headerSize);
    put(h, static_cast<uint32_t>(r.width));
    put(h, static_cast<uint32_t>(r.height));
    put(h, 1, 2);
    put(h, r.bitCount, 2);
    put(h, r.compression);
    put(h, static_cast<uint32_t>(r.rows.size()));
    put(h, 2835);
    put(h, 2835);
    put(h, r.colorsUsed);
    put(h, 0);
    for (uint32_t m : r.masks) put(h, m);
    if (h.size() < r.headerSize) h.resize(r.headerSize, 0);
    for (uint32_t c : r.palette) put(h, c);
    h.insert(h.end(), r.gap, 0xEE);
    std::vector<uint8_t> b{'B', 'M'};
    put(b, static_cast<uint32_t>(14 + h.size() + r.rows.size()));
    put(b, 0);
    put(b, r.offBits.value_or(static_cast<uint32_t>(14 + h.size())));
    b.insert(b.end(), h.begin(), h.end());
    b.insert(b.end(), r.rows.begin(), r.rows.end());
    return b;
}

class BmpReader : public ::testing::Test {
protected:
    TempDir dir;
    BmpPtr read(const std::vector<uint8_t>& bytes) {
        testsupport::writeFile(dir.file("f.bmp"), bytes);
        return BmpPtr(bmpReadFile(dir.file("f.bmp").c_str()));
    }
    BmpPtr write(int w, int h, const std::vector<uint32_t>& pixels, int bits) {
        testsupport::writeBmp(dir.file("f.bmp"), w, h, pixels, bits);
        return BmpPtr(bmpReadFile(dir.file("f.bmp").c_str()));
    }
    // Every pixel by itself; reading whole rows (two pixels past the right
    // edge, which read as unreadable) must give the same.
    static std::vector<int32_t> all(const BmpImage& image) {
        std::vector<int32_t> out;
        std::vector<uint32_t> row(static_cast<size_t>(image.width) + 2);
        for (int y = 0; y < image.height; ++y) {
            bmpGetRowRGB888(&image, y, image.width + 2, row.data());
            for (int x = 0; x < image.width + 2; ++x) {
                const int32_t pixel = bmpGetPixelRGB888(&image, x, y);
                EXPECT_EQ(static_cast<int32_t>(row[x]), pixel) << "row " << y << " pixel " << x;
                if (x < image.width) out.push_back(pixel);
            }
        }
        return out;
    }
};

std::vector<int32_t> asColours(const std::vector<uint32_t>& v) { return {v.begin(), v.end()}; }

TEST_F(BmpReader, EveryBitCountReadsBackWhatWasWritten) {
    // 7 x 3: odd width so every bit count needs row padding; row 0 is the top.
    for (int bits : {1, 4, 8, 24, 32}) {
        std::vector<uint32_t> px;
        const uint32_t colours = bits <= 8 ? std::min(21u, 1u << bits) : 21;
        for (uint32_t i = 0; i < 21; ++i) px.push_back((i % colours) * 0x0A0B0C + 7);
        auto image = write(7, 3, px, bits);
        ASSERT_TRUE(image) << bits;
        EXPECT_EQ(all(*image), asColours(px)) << bits;
        EXPECT_EQ(image->stride, (bits * 7 + 31) / 32 * 4) << bits;
    }
}

TEST_F(BmpReader, KeepsTheHeaderFieldsOfAnOrdinaryFile) {
    std::vector<uint32_t> px(320 * 200, 0x123456);
    px[0] = 0xABCDEF;
    auto image = write(320, 200, px, 24);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->type, 0x4D42);
    EXPECT_EQ(image->headerSize, 40);
    EXPECT_EQ(image->pixelOffset, 54);
    EXPECT_EQ(image->fileSize, (54 + 192000) & 0xFFFF);
    EXPECT_EQ(image->stride, 960);
    EXPECT_EQ(image->pixelBytes, 192000);
    EXPECT_EQ(image->xPelsPerMeter, 2835);
    // (0, 0) is the first pixel of the last row stored in the file.
    EXPECT_EQ(image->data[192000 - 960], 0xEF);
    EXPECT_EQ(bmpGetPixelRGB888(image.get(), 0, 0), 0xABCDEF);
    EXPECT_EQ(bmpGetPixelRGB888(image.get(), 320, 0), -1);
}

TEST_F(BmpReader, PaletteOf256Entries) {
    std::vector<uint32_t> px;
    for (uint32_t k = 0; k < 256; ++k) px.push_back(k << 16 | (255 - k) << 8 | (k * 7 & 0xFF));
    auto image = write(16, 16, px, 8);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->colorsUsed, 256);
    EXPECT_EQ(image->paletBytes, 1024);
    for (int k = 0; k < 256; ++k) {
        EXPECT_EQ(bmpGetPixelIndex(image.get(), k % 16, k / 16), k);
        EXPECT_EQ(bmpGetPlaetRGB888(image.get(), k), static_cast<int32_t>(px[k]));
    }
}

TEST_F(BmpReader, PixelOrderWithinBytes) {
    // 4 bits: pixel 0 is the high nibble; 1 bit: pixel 9 is bit 6 of byte 1.
    RawBmp nibbles{.width = 4, .bitCount = 4, .palette = {0, 0x111111, 0x222222, 0x333333}, .rows = {0x12, 0x30, 0, 0}};
    auto image = read(build(nibbles));
    ASSERT_TRUE(image);
    EXPECT_EQ(all(*image), (std::vector<int32_t>{0x111111, 0x222222, 0x333333, 0}));
    RawBmp bits{.width = 16, .bitCount = 1, .palette = {0x000000, 0xFFFFFF}, .rows = {0x00, 0x40, 0, 0}};
    image = read(build(bits));
    ASSERT_TRUE(image);
    for (int x = 0; x < 16; ++x) EXPECT_EQ(bmpGetPixelIndex(image.get(), x, 0), x == 9 ? 1 : 0) << x;
}

TEST_F(BmpReader, LongerHeadersAndUnusualPaletteLayouts) {
    const std::vector<uint32_t> pal4 = {0xFF0000, 0x00FF00, 0x0000FF, 0x808080};
    const std::vector<uint8_t> rows = {0, 1, 2, 3};  // one row of four 8-bit pixels
    const std::vector<int32_t> want = {0xFF0000, 0x00FF00, 0x0000FF, 0x808080};
    auto check = [&](RawBmp r, const char* what) {
        r.width = 4;
        r.bitCount = 8;
        r.rows = rows;
        auto image = read(build(r));
        ASSERT_TRUE(image) << what;
        EXPECT_EQ(all(*image), want) << what;
    };
    check({.headerSize = 108, .colorsUsed = 4, .palette = pal4}, "V4 header");
    check({.headerSize = 124, .colorsUsed = 4, .palette = pal4}, "V5 header");
    check({.colorsUsed = 4, .palette = pal4, .gap = 10}, "bfOffBits past a gap");
    check({.colorsUsed = 4, .palette = pal4, .offBits = 0}, "bfOffBits 0: pixels behind the palette");
    std::vector<uint32_t> full = pal4;
    full.resize(256, 0x777777);
    check({.colorsUsed = 0, .palette = full}, "colours used 0 means 256");
    std::vector<uint32_t> over = full;
    over.resize(300, 0x777777);
    check({.colorsUsed = 300, .palette = over}, "more colours than 8 bits address");
}

TEST_F(BmpReader, IndexWithoutPaletteEntryIsBlack) {
    auto image = read(build({.width = 2, .bitCount = 8, .colorsUsed = 2, .palette = {0xFFFFFF, 0xFFFFFF}, .rows = {1, 200, 0, 0}}));
    ASSERT_TRUE(image);
    EXPECT_EQ(bmpGetPixelRGB888(image.get(), 0, 0), 0xFFFFFF);
    EXPECT_EQ(bmpGetPixelIndex(image.get(), 1, 0), 200);
    EXPECT_EQ(bmpGetPixelRGB888(image.get(), 1, 0), 0);
    EXPECT_EQ(bmpGetPlaetRGB888(image.get(), 200), 0);
}

TEST_F(BmpReader, SixteenAndThirtyTwoBitsByTheirMasks) {
    struct Case {
        const char* what;
        uint16_t bits;
        uint32_t compression;
        std::vector<uint32_t> masks;
        std::vector<uint8_t> rows;
        std::vector<int32_t> want;
    };
    const std::vector<Case> cases = {
        // 5-5-5; a 5-bit 16 widens to 16 << 3 | 16 >> 2 = 0x84.
        {"555", 16, 0, {}, {0xFF, 0x7F, 0x00, 0x7C, 0x10, 0x00, 0, 0}, {0xFFFFFF, 0xFF0000, 0x000084}},
        // 5-6-5; a 6-bit 32 widens to 32 << 2 | 32 >> 4 = 0x82.
        {"565", 16, 3, {0xF800, 0x07E0, 0x001F}, {0x00, 0xF8, 0x00, 0x04, 0x1F, 0x00, 0, 0}, {0xFF0000, 0x008200, 0x0000FF}},
        {"BGRX", 32, 3, {0xFF0000, 0xFF00, 0xFF}, {0x11, 0x22, 0x33, 0x99}, {0x332211}},
        {"XBGR", 32, 3, {0xFF, 0xFF00, 0xFF0000}, {0x11, 0x22, 0x33, 0x99}, {0x112233}},
        {"alpha masks", 32, 6, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, {0x11, 0x22, 0x33, 0x99}, {0x332211}},
        {"10-10-10 keeps the top 8 bits", 32, 3, {0x3FF00000, 0xFFC00, 0x3FF}, {0xFF, 0x03, 0x00, 0x00}, {0x0000FF}},
    };
    for (const Case& c : cases) {
        auto image = read(build({.width = static_cast<int32_t>(c.want.size()), .bitCount = c.bits,
                                 .compression = c.compression, .masks = c.masks, .rows = c.rows}));
        ASSERT_TRUE(image) << c.what;
        EXPECT_EQ(all(*image), c.want) << c.what;
    }
}

TEST_F(BmpReader, RefusesWhatItCannotReadFaithfully) {
    const std::vector<uint8_t> row = {1, 2, 3, 0};
    const std::vector<std::pair<const char*, RawBmp>> refused = {
        {"top-down", {.height = -1, .rows = row}},
        {"width 0", {.width = 0, .rows = row}},
        {"height 0", {.height = 0, .rows = row}},
        {"width beyond 16 bits", {.width = 65536, .bitCount = 1, .rows = std::vector<uint8_t>(8192)}},
        {"RLE8", {.bitCount = 8, .compression = 1, .palette = {0}, .rows = row}},
        {"RLE4", {.bitCount = 4, .compression = 2, .palette = {0}, .rows = row}},
        {"JPEG", {.compression = 4, .rows = row}},
        {"2 bits", {.bitCount = 2, .palette = {0, 0, 0, 0}, .rows = row}},
        {"64 bits", {.bitCount = 64, .rows = std::vector<uint8_t>(8)}},
        {"zero mask", {.bitCount = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0}, .rows = row}},
        {"overlapping masks", {.bitCount = 16, .compression = 3, .masks = {0xF800, 0x0FE0, 0x1F}, .rows = row}},
        {"huge picture, tiny file", {.width = 65535, .height = 65535, .bitCount = 32, .rows = row}},
    };
    for (const auto& [what, raw] : refused) EXPECT_FALSE(read(build(raw))) << what;

    std::vector<uint8_t> good = build({.width = 3, .height = 2, .rows = std::vector<uint8_t>(24, 7)});
    ASSERT_TRUE(read(good));
    std::vector<uint8_t> longHeader = good;
    longHeader[15] = 0x10;  // 40 + 4096 bytes of header in a 78-byte file
    EXPECT_FALSE(read(longHeader)) << "header past the end";
    good.pop_back();
    EXPECT_FALSE(read(good)) << "one byte short";
    EXPECT_FALSE(read({})) << "empty";
    EXPECT_FALSE(bmpReadFile(dir.file("missing.bmp").c_str()));
    EXPECT_FALSE(bmpReadFile(dir.path().c_str())) << "a folder";
    std::mt19937 rng(7);
    std::vector<uint8_t> noise(3000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    EXPECT_FALSE(read(noise)) << "random bytes";
}

TEST_F(BmpReader, CorruptedHeadersNeverLeadOutsideTheRecord) {
    // Every header byte of a small 8-bit file set to a few extreme values: the
    // file is refused or each of its pixels is a colour (checked under the
    // address sanitizer in CI), and the record never outgrows the file.
    std::vector<uint32_t> px;
    for (uint32_t i = 0; i < 15; ++i) px.push_back(i * 0x111111);
    testsupport::writeBmp(dir.file("base.bmp"), 5, 3, px, 8);
    const std::vector<uint8_t> base = testsupport::readFile(dir.file("base.bmp"));
    for (size_t at = 0; at < 54; ++at) {
        for (uint8_t v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
            std::vector<uint8_t> bytes = base;
            bytes[at] = v;
            auto image = read(bytes);
            if (!image) continue;
            EXPECT_LE(static_cast<size_t>(image->paletBytes + image->pixelBytes), bytes.size()) << at;
            for (int32_t c : all(*image)) ASSERT_TRUE(c >= 0 && c <= 0xFFFFFF) << at << " " << int{v};
        }
    }
}

}  // namespace
