// Colour reduction: the rules that decide palette numbers, the GRAM layout,
// the palette update list and the limit / lock / flash controls.
#include "encoder/image/decode_bmp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace {

constexpr uint32_t BLACK = 0x000000;
constexpr uint32_t WHITE = 0xF0F0F0;
constexpr uint32_t RED = 0xF00000;
constexpr uint32_t GREEN = 0x00F000;
constexpr uint32_t BLUE = 0x0000F0;

// An in-memory 24-bit bottom-up image as the reader would return it.
struct Image {
    BmpImage bmp{};
    std::vector<uint8_t> bytes;

    Image(int width, int height, uint32_t fill) {
        bmp.width = width;
        bmp.height = height;
        bmp.bitCount = 24;
        bmp.stride = ((24 * width + 31) >> 5) << 2;
        bmp.pixelBytes = height * bmp.stride;
        bytes.assign(bmp.pixelBytes, 0);
        bmp.data = bytes.data();
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) set(x, y, fill);
    }
    void set(int x, int y, uint32_t rgb) {
        uint8_t* px = bytes.data() + bmp.pixelBytes - (y + 1) * bmp.stride + 3 * x;
        px[0] = rgb & 0xFF;
        px[1] = (rgb >> 8) & 0xFF;
        px[2] = (rgb >> 16) & 0xFF;
    }
    const BmpImage* get() const { return &bmp; }
};

// Everything a frame may change, to show that a failing frame changes none of it.
struct Snapshot {
    std::vector<uint8_t> gram2, map0;
    std::vector<PaletEntry> palet0, display;
    std::vector<PaletUpdate> list;
};

Snapshot snapshot() {
    Snapshot s;
    s.gram2.assign(gram_buf[2], gram_buf[2] + GRAM_PAGE_BYTES);
    s.map0.assign(indexBmp[0], indexBmp[0] + SCREEN_PIXELS);
    s.palet0.assign(indexPalet[0], indexPalet[0] + 128);
    s.display.assign(&displayPalet[0][0], &displayPalet[0][0] + 128);
    s.list.assign(paletUpdateList, paletUpdateList + PALET_UPDATE_RECORDS);
    return s;
}

bool sameBytes(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n) == 0; }

bool operator==(const Snapshot& a, const Snapshot& b) {
    return a.gram2 == b.gram2 && a.map0 == b.map0 &&
           sameBytes(a.palet0.data(), b.palet0.data(), a.palet0.size() * sizeof(PaletEntry)) &&
           sameBytes(a.display.data(), b.display.data(), a.display.size() * sizeof(PaletEntry)) &&
           sameBytes(a.list.data(), b.list.data(), a.list.size() * sizeof(PaletUpdate));
}

int listLength() {
    int n = 0;
    while (n < PALET_UPDATE_RECORDS && paletUpdateList[n].changes != 0) ++n;
    return n;
}

int gramNumber(const uint8_t* page, int x, int y) {
    const int offset = gramLayerOffset(x, y);
    int p = 0;
    for (int bit = 0; bit < GRAM_PALET_BITS; ++bit)
        if (page[GRAM_LAYER_OF_BIT[bit] + offset] & (0x80 >> (x & 7))) p |= 1 << bit;
    return p;
}

void setColour(PaletEntry& e, uint32_t rgb, int32_t flags, int32_t count) {
    e.blue = rgb & 0xFF;
    e.green = (rgb >> 8) & 0xFF;
    e.red = (rgb >> 16) & 0xFF;
    e.flags = flags;
    e.count = count;
}

class ColourReduction : public ::testing::Test {
protected:
    void SetUp() override {
        decode_bmp_reset();
    }
    // What the frame loop does for raw output: page 2 becomes the page's picture.
    void showPage2(int page) { std::memcpy(gram_buf[page], gram_buf[2], GRAM_PAGE_BYTES); }
    int gram(int page, const Image& image) {
        testing::internal::CaptureStdout();
        const int result = decode_bmp_gram(page, image.get());
        printed = testing::internal::GetCapturedStdout();
        return result;
    }
    std::string printed;
};

// ---- colour search -------------------------------------------------------

TEST_F(ColourReduction, SearchIgnoresLowBitsAndMakesNewColoursFrom64) {
    PaletEntry* work = indexPalet[2];
    const uint8_t a[3] = {0x1F, 0x2E, 0x3D};
    const uint8_t b[3] = {0x10, 0x20, 0x30};
    EXPECT_EQ(search_palet(work, a), 64);
    EXPECT_EQ(work[64].blue, 0x10);
    EXPECT_EQ(work[64].red, 0x20);
    EXPECT_EQ(work[64].green, 0x30);
    EXPECT_EQ(work[64].flags, PALET_USED);
    EXPECT_EQ(search_palet(work, b), 64);
    // A free entry that happens to hold the colour is not matched.
    setColour(work[5], 0x505050, 0, 0);
    const uint8_t grey[3] = {0x50, 0x50, 0x50};
    EXPECT_EQ(search_palet(work, grey), 65);
    const uint8_t black[3] = {0x0F, 0x0F, 0x0F};
    EXPECT_EQ(search_palet(work, black), 0);
    for (int i = 66; i < 128; ++i) work[i].flags = PALET_USED, work[i].red = 0x80;
    const uint8_t other[3] = {0x70, 0x70, 0x70};
    EXPECT_EQ(search_palet(work, other), -1);
}

TEST_F(ColourReduction, SearchTriesLocksFirstFromTheTopOfTheLimit) {
    PaletEntry* p = indexPalet[0];
    setColour(p[2], RED, PALET_USED, 1);
    ASSERT_EQ(0, decode_bmp_palet_lock(9, 0xF00000, 0xF00000, 2));  // any pixel with full red
    ASSERT_EQ(0, decode_bmp_palet_lock(7, 0xF00000, 0xF0F0F0, 2));
    const uint8_t red[3] = {0x00, 0xF3, 0x00};
    EXPECT_EQ(search_palet(p, red), 9);
    const uint8_t redGreen[3] = {0x00, 0xF0, 0xF0};
    EXPECT_EQ(search_palet(p, redGreen), 9);
    // Locks come first only below the limit: with limit 4 the known colour
    // at 2 comes before them, and the lock at 9 is matched as a known colour.
    limitColor = 4;
    EXPECT_EQ(search_palet(p, red), 2);
    EXPECT_EQ(search_palet(p, redGreen), 9);
}

TEST_F(ColourReduction, LockWithFullMaskTakesExactlyItsColour) {
    ASSERT_EQ(0, decode_bmp_palet_lock(4, 0x123456, 0xFFFFFF, 2));
    const PaletEntry& e = indexPalet[1][4];
    EXPECT_EQ(e.blue, 0x56);
    EXPECT_EQ(e.red, 0x12);
    EXPECT_EQ(e.green, 0x34);
    EXPECT_EQ(e.blueMask, 0xFF);
    EXPECT_EQ(e.redMask, 0xFF);
    EXPECT_EQ(e.greenMask, 0xFF);
    const uint8_t exact[3] = {0x56, 0x12, 0x34};
    const uint8_t near[3] = {0x57, 0x12, 0x34};
    EXPECT_EQ(search_palet(indexPalet[0], exact), 4);
    EXPECT_EQ(search_palet(indexPalet[0], near), 64);
}

// ---- cost of an order ------------------------------------------------------

struct CostCase : ColourReduction {
    std::vector<uint8_t> oldMap = std::vector<uint8_t>(SCREEN_PIXELS, 0);
    std::vector<uint8_t> newMap = std::vector<uint8_t>(SCREEN_PIXELS, 0);
    uint8_t order[128];
    int cost(int32_t threshold = INT32_MAX) {
        DiffRecord r{};
        r.oldMap = oldMap.data();
        r.newMap = newMap.data();
        r.threshold = threshold;
        analyzeTotalDiff_pre(&r, indexPalet[0], order);
        return analyzeTotalDiff(&r);
    }
    void SetUp() override {
        ColourReduction::SetUp();
        std::iota(order, order + 128, 0);
        for (int i = 0; i < 64; ++i) indexPalet[2][i].flags = indexPalet[0][i].flags = PALET_USED;
    }
};

TEST_F(CostCase, PixelTermCountsChangedPlaneBytesPerGroup) {
    EXPECT_EQ(cost(), 17);
    newMap[3] = 3;  // one pixel 0 -> 3: two plane layers
    EXPECT_EQ(cost(), 17 + 2);
    for (int x = 0; x < 8; ++x)
        if (x != 3) newMap[x] = 1;
    EXPECT_EQ(cost(), 17 + 2);
    newMap[SCREEN_WIDTH * 199 + 319] = 63;  // last group of the last row: six layers
    EXPECT_EQ(cost(), 17 + 2 + 6);
    paletShadowCount = 4;
    EXPECT_EQ(cost(), 17 * 4 + 8);
}

TEST_F(CostCase, PaletteTermAndRemapFollowTheOrder) {
    setColour(indexPalet[2][5], 0xF000F0, PALET_USED, 0);  // differs from page entry 5 in red and blue
    EXPECT_EQ(cost(), 17 * (2 + 1));
    limitColor = 4;  // positions at or above the limit do not count
    EXPECT_EQ(cost(), 17);
    limitColor = 64;
    // Work entry 9 shown as palette number 0 leaves a picture of zeros unchanged.
    std::fill(newMap.begin(), newMap.end(), 9);
    std::swap(order[0], order[9]);
    EXPECT_EQ(cost(), 17 * (2 + 1));
    std::swap(order[0], order[9]);
    EXPECT_EQ(cost(), 17 * 3 + 8000 * 2);  // 9 = 0b1001
}

TEST_F(CostCase, EvaluationIsAbandonedWhenItReachesTheThreshold) {
    for (int y = 0; y < SCREEN_HEIGHT; ++y) newMap[y * SCREEN_WIDTH] = 1;
    const int full = 17 + 200;
    EXPECT_EQ(cost(full + 1), full);
    EXPECT_EQ(cost(full), -1);
    EXPECT_EQ(cost(10), -1);
}

// ---- exchange search -------------------------------------------------------

// Page 0 shows black everywhere but one group whose palette number is 6
// (green, a colour that leaves); a new red colour was placed at position 1.
struct TieCase : ColourReduction {
    uint8_t order[128];
    void SetUp() override {
        ColourReduction::SetUp();
        setColour(indexPalet[0][0], BLACK, PALET_USED, 64000 - 8);
        setColour(indexPalet[0][6], GREEN, PALET_USED, 8);
        std::memset(indexBmp[0], 6, 8);
        std::memcpy(indexPalet[2], indexPalet[0], sizeof indexPalet[2]);
        setColour(indexPalet[2][6], GREEN, 0, 0);
        setColour(indexPalet[2][64], RED, PALET_USED, 8);
        std::memset(indexBmp[2], 0, SCREEN_PIXELS);
        std::memset(indexBmp[2], 64, 8);
        std::iota(order, order + 128, 0);
        std::swap(order[1], order[64]);
    }
};

TEST_F(TieCase, AmongEquallyCheapExchangesTheHighestPositionWins) {
    // Positions 2, 4, 7, 14, 22 and 38 all change one plane layer against 6.
    EXPECT_EQ(improveOrderPlain(0, order), 1);
    EXPECT_EQ(order[38], 64);
    EXPECT_EQ(order[1], 38);
}

TEST_F(TieCase, LockedPositionsNeverTakePartInAnExchange) {
    indexPalet[0][38].flags = indexPalet[2][38].flags = PALET_LOCKED;
    EXPECT_EQ(improveOrderPlain(0, order), 1);
    EXPECT_EQ(order[22], 64);
    EXPECT_EQ(order[38], 38);
}

// Limit 4: positions 1-3 hold a leaving colour (entry 1) and two new ones.
// By hand: (2<->1) 292 -> 224, restart, (1<->3) -> 190, restart, (3<->2) -> 189.
// Continuing at the next m instead of restarting ends in another order.
TEST_F(ColourReduction, SearchRestartsAtZeroAfterEachExchange) {
    decode_bmp_setColorLimit(4);
    PaletEntry* page = indexPalet[0];
    setColour(page[0], BLACK, PALET_USED, 64000);
    setColour(page[1], BLUE, 0, 0);
    setColour(page[2], RED, 0, 0);
    setColour(page[3], RED | GREEN, 0, 0);
    PaletEntry* work = indexPalet[2];
    std::memcpy(work, page, sizeof indexPalet[2]);
    work[0].count = 64000 - 16;
    setColour(work[1], RED | GREEN, 0, 0);
    setColour(work[2], BLUE | GREEN, PALET_USED, 8);
    setColour(work[3], BLUE, PALET_USED, 8);
    std::memset(indexBmp[2], 0, SCREEN_PIXELS);
    std::memset(indexBmp[2], 2, 8);
    std::memset(indexBmp[2] + 8, 3, 8);
    uint8_t order[128];
    std::iota(order, order + 128, 0);
    EXPECT_EQ(improveOrderPlain(0, order), 3);
    EXPECT_EQ(order[0], 0);
    EXPECT_EQ(order[1], 3);
    EXPECT_EQ(order[2], 2);
    EXPECT_EQ(order[3], 1);
}

// ---- whole frames ----------------------------------------------------------

TEST_F(ColourReduction, WhiteFirstFrameTakesTheFreedPositionZero) {
    // 0x2D: page 0 shows B 08 R 0C G 04, page 1 B 02 R 03 G 01 until announced.
    EXPECT_EQ(displayPalet[0][0x2D].blue * 0x10000 + displayPalet[0][0x2D].red * 0x100 + displayPalet[0][0x2D].green,
              0x080C04);
    EXPECT_EQ(displayPalet[1][0x2D].blue * 0x10000 + displayPalet[1][0x2D].red * 0x100 + displayPalet[1][0x2D].green,
              0x020301);
    Image white(320, 200, 0xFFFFFF);
    ASSERT_EQ(gram(0, white), 0);
    EXPECT_EQ(indexPalet[0][0].flags, PALET_USED);
    EXPECT_EQ(indexPalet[0][0].count, 64000);
    EXPECT_EQ(indexPalet[0][0].red, 0xF0);
    for (int i = 0x4000; i < GRAM_PAGE_BYTES; ++i) ASSERT_EQ(gram_buf[2][i], 0) << i;
    ASSERT_EQ(listLength(), 1);
    const PaletUpdate& r = paletUpdateList[0];
    EXPECT_EQ(r.number, 0);
    EXPECT_EQ(r.changes, 7);
    EXPECT_EQ(r.blue, 0xF0);
    EXPECT_EQ(r.red, 0xF0);
    EXPECT_EQ(r.green, 0xF0);
    // Entry 0 of the other page's display palette follows; entry 1 does not.
    EXPECT_EQ(displayPalet[1][0].red, 0xF0);
    EXPECT_EQ(displayPalet[1][0].changes, 0);
    EXPECT_EQ(displayPalet[1][1].changes, 7);
}

TEST_F(ColourReduction, SameFrameAgainChangesNothing) {
    Image image(320, 200, BLACK);
    const uint32_t colours[] = {RED, GREEN, BLUE, WHITE, 0x808080, 0x4080C0};
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 320; ++x) image.set(x, y, colours[(x / 7 + y / 5) % 6]);
    ASSERT_EQ(gram(0, image), 0);
    EXPECT_GT(listLength(), 0);
    showPage2(0);
    const std::vector<uint8_t> map(indexBmp[0], indexBmp[0] + SCREEN_PIXELS);
    ASSERT_EQ(gram(0, image), 0);
    EXPECT_TRUE(sameBytes(gram_buf[2], gram_buf[0], GRAM_PAGE_BYTES));
    EXPECT_TRUE(sameBytes(map.data(), indexBmp[0], SCREEN_PIXELS));
    EXPECT_EQ(listLength(), 0);
    int total = 0;
    for (int p = 0; p < 64; ++p) total += indexPalet[0][p].count;
    EXPECT_EQ(total, 64000);
}

TEST_F(ColourReduction, LeavingColourFreesItsPositionForANewOne) {
    Image red(320, 200, RED);
    ASSERT_EQ(gram(0, red), 0);
    Image stripe(320, 200, RED);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 8; ++x) stripe.set(x, y, GREEN);
    ASSERT_EQ(gram(0, stripe), 0);
    EXPECT_EQ(indexBmp[0][0], 1);  // green placed at the lowest free position
    EXPECT_EQ(indexBmp[0][8], 0);
    Image blue(320, 200, BLUE);
    ASSERT_EQ(gram(0, blue), 0);
    EXPECT_EQ(indexPalet[0][0].blue, 0xF0);
    EXPECT_EQ(indexPalet[0][0].count, 64000);
    EXPECT_EQ(indexPalet[0][1].flags, 0);
    EXPECT_EQ(indexPalet[0][1].green, 0xF0);  // a freed position keeps its old colour
}

TEST_F(ColourReduction, GramLayoutOfLockedPaletteNumbers) {
    for (int i = 0; i < 0x4000; ++i) gram_buf[0][i] = static_cast<uint8_t>(i * 7);
    for (int i = 0; i < 24; ++i) gram_buf[0][0x4000 + 3 * 2048 + 1000 + i] = 0xA5;
    ASSERT_EQ(0, decode_bmp_palet_lock(63, 0x102030, 0xFFFFFF, 2));
    ASSERT_EQ(0, decode_bmp_palet_lock(21, 0x405060, 0xFFFFFF, 2));
    Image image(320, 200, BLACK);
    image.set(0, 8, 0x102030);
    image.set(319, 199, 0x405060);
    ASSERT_EQ(gram(0, image), 0);
    const uint8_t* g = gram_buf[2];
    for (int layer : GRAM_LAYER_OF_BIT) EXPECT_EQ(g[layer + 40], 0x80) << layer;  // (0, 8): 63 everywhere
    const int last = 7 * 2048 + 24 * 40 + 39;
    EXPECT_EQ(g[0x4400 + last], 0x01);  // 21 = bits 0, 2, 4: layer B of each plane
    EXPECT_EQ(g[0x8400 + last], 0x01);
    EXPECT_EQ(g[0xC400 + last], 0x01);
    EXPECT_EQ(g[0x4000 + last] | g[0x8000 + last] | g[0xC000 + last], 0);
    EXPECT_EQ(indexBmp[0][8 * 320], 63);
    EXPECT_EQ(indexBmp[0][64000 - 1], 21);
    EXPECT_TRUE(sameBytes(g, gram_buf[0], 0x4000));
    EXPECT_EQ(g[0x4000 + 3 * 2048 + 1000], 0xA5);
    EXPECT_EQ(g[0x4000 + 3 * 2048 + 1023], 0xA5);
    // Locked positions are not announced; only black at 0 is.
    ASSERT_EQ(listLength(), 1);
    EXPECT_EQ(paletUpdateList[0].number, 0);
}

TEST_F(ColourReduction, GramNumbersMatchThePageMap) {
    Image image(320, 200, BLACK);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 320; ++x) image.set(x, y, ((x * 13 + y * 7) % 40) * 0x061014);
    ASSERT_EQ(gram(0, image), 0);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 320; ++x) ASSERT_EQ(gramNumber(gram_buf[2], x, y), indexBmp[0][y * 320 + x]);
}

TEST_F(ColourReduction, SmallerImageKeepsTheRestAndLargerIsClipped) {
    Image big(330, 210, WHITE);
    for (int y = 0; y < 210; ++y)
        for (int x = 0; x < 330; ++x)
            if (x >= 320 || y >= 200) big.set(x, y, RED);
    ASSERT_EQ(gram(0, big), 0);
    ASSERT_EQ(listLength(), 1);
    EXPECT_EQ(paletUpdateList[0].red, 0xF0);
    EXPECT_EQ(paletUpdateList[0].green, 0xF0);
    Image small(16, 8, RED);
    ASSERT_EQ(gram(0, small), 0);
    EXPECT_EQ(indexPalet[0][0].count, 64000 - 128);
    EXPECT_EQ(indexBmp[0][16], 0);
    EXPECT_EQ(indexBmp[0][8 * 320], 0);
    EXPECT_NE(indexBmp[0][0], 0);
    EXPECT_EQ(indexPalet[0][indexBmp[0][0]].count, 128);
}

TEST_F(ColourReduction, UnreadablePixelsAreWhite) {
    Image image(320, 200, BLACK);
    image.bmp.bitCount = 7;  // no such pixel format
    ASSERT_EQ(gram(0, image), 0);
    EXPECT_EQ(indexPalet[0][0].blue, 0xF0);
    EXPECT_EQ(indexPalet[0][0].count, 64000);
}

TEST_F(ColourReduction, ExactlySixtyFourNewColoursFitOneMoreDoesNot) {
    // 64 distinct colours, none of them black: black leaves, all 64 positions fill.
    Image image(320, 200, 0);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 320; ++x) image.set(x, y, 0x100000 * (1 + x % 8) + 0x001000 * ((x / 8) % 8));
    ASSERT_EQ(gram(0, image), 0);
    for (int p = 0; p < 64; ++p) EXPECT_EQ(indexPalet[0][p].flags, PALET_USED) << p;
    const Snapshot before = snapshot();
    // 64 other colours plus white: 65 that the page palette does not hold.
    Image other(320, 200, 0);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 320; ++x) other.set(x, y, 0x10 * (1 + x % 8) + 0x001000 * ((x / 8) % 8));
    other.set(0, 1, WHITE);
    EXPECT_EQ(gram(0, other), -1);
    EXPECT_EQ(printed, "palet work overflow\n");
    EXPECT_TRUE(snapshot() == before);
}

TEST_F(ColourReduction, ColourPaletOverflowLeavesEverythingForTheNextFrame) {
    Image first(320, 200, BLACK);
    for (int x = 0; x < 320; ++x) first.set(x, 0, RED);
    ASSERT_EQ(gram(0, first), 0);
    decode_bmp_setColorLimit(16);
    Image many(320, 200, WHITE);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 320; ++x) many.set(x, y, 0x10 * (1 + x % 17 % 8) + 0x1000 * (1 + x % 17 / 8));
    const Snapshot before = snapshot();
    EXPECT_EQ(gram(0, many), -1);
    EXPECT_EQ(printed, "error:color palet overflow\n");
    EXPECT_TRUE(snapshot() == before);
    // The next frame comes out as if the failing one had never been tried.
    Image next(320, 200, GREEN);
    ASSERT_EQ(gram(0, next), 0);
    const Snapshot afterFailure = snapshot();
    SetUp();
    ASSERT_EQ(gram(0, first), 0);
    decode_bmp_setColorLimit(16);
    ASSERT_EQ(gram(0, next), 0);
    EXPECT_TRUE(snapshot() == afterFailure);
}

// ---- palette update list -------------------------------------------------

struct ListCase : ColourReduction {
    void SetUp() override {
        ColourReduction::SetUp();
        for (auto& page : displayPalet)
            for (PaletEntry& e : page) e.blue = e.red = e.green = 0, e.changes = 0;
    }
};

TEST_F(ListCase, ColourBelowTheLimitIsCopiedToEveryShadow) {
    decode_bmp_setColorLimit(16);
    setColour(indexPalet[0][3], 0x30A0F0, PALET_USED, 10);
    setColour(displayPalet[0][19], 0x30A0F0, 0, 0);
    displayPalet[0][51].red = 0x30;
    paletUpdateListBuild(0);
    ASSERT_EQ(listLength(), 3);
    EXPECT_EQ(paletUpdateList[0].number, 3);
    EXPECT_EQ(paletUpdateList[0].changes, 7);
    EXPECT_EQ(paletUpdateList[1].number, 35);
    EXPECT_EQ(paletUpdateList[2].number, 51);
    EXPECT_EQ(paletUpdateList[2].changes, 1 | 4);
    EXPECT_EQ(paletUpdateList[2].green, 0xA0);
    EXPECT_EQ(displayPalet[0][51].changes, 0);
}

TEST_F(ListCase, OnlyPlainUsedPositionsAreAnnounced) {
    setColour(indexPalet[0][1], RED, PALET_USED | PALET_LOCKED, 1);
    setColour(indexPalet[0][2], RED, PALET_USED | PALET_FLASH, 1);
    setColour(indexPalet[0][3], RED, 0, 0);
    setColour(indexPalet[0][4], RED, PALET_USED, 1);
    paletUpdateListBuild(0);
    ASSERT_EQ(listLength(), 1);
    EXPECT_EQ(paletUpdateList[0].number, 4);
    EXPECT_EQ(paletUpdateList[0].changes, 2);
}

TEST_F(ListCase, ListStopsAtSixtyFourRecordsAndKeepsTheRestPending) {
    for (int t = 0; t < 64; ++t) setColour(indexPalet[0][t], 0x10 * (t % 16) + 0x1000 * (t / 16), PALET_USED, 1000);
    decode_bmp_setColorLimit(16);
    paletUpdateListBuild(0);
    ASSERT_EQ(listLength(), 64);
    EXPECT_EQ(paletUpdateList[64].changes, 0);
    int pending = 0;
    for (const PaletEntry& e : displayPalet[0]) pending += e.changes != 0;
    EXPECT_GT(pending, 0);
    paletUpdateListBuild(0);
    EXPECT_GT(listLength(), 0);
}

// ---- limit, lock and flash -----------------------------------------------

TEST_F(ColourReduction, ColorLimitTable) {
    EXPECT_EQ(decode_bmp_setColorLimit(64), 64);
    EXPECT_EQ(paletShadowCount, 1);
    EXPECT_EQ(decode_bmp_setColorLimit(40), 32);
    EXPECT_EQ(paletShadowCount, 1);
    EXPECT_EQ(decode_bmp_setColorLimit(20), 16);
    EXPECT_EQ(paletShadowCount, 2);
    EXPECT_EQ(decode_bmp_setColorLimit(15), 8);
    EXPECT_EQ(paletShadowCount, 4);
    EXPECT_EQ(decode_bmp_setColorLimit(4), 4);
    EXPECT_EQ(paletShadowCount, 8);
    EXPECT_EQ(decode_bmp_setColorLimit(0), 2);
    EXPECT_EQ(paletShadowCount, 16);
    EXPECT_EQ(decode_bmp_setColorLimit(-5), 2);
    paletShadowCount = 99;  // an unchanged limit leaves the shadow count alone
    EXPECT_EQ(decode_bmp_setColorLimit(2), 2);
    EXPECT_EQ(paletShadowCount, 99);
    EXPECT_EQ(decode_bmp_setColorLimit(1000), 64);
    EXPECT_EQ(paletShadowCount, 1);
}

TEST_F(ColourReduction, LockAndUnlockMessagesAndRefusals) {
    decode_bmp_setColorLimit(32);
    testing::internal::CaptureStdout();
    EXPECT_EQ(decode_bmp_palet_lock(64, 0x123456, 0xFFFFFF, 2), -1);
    EXPECT_EQ(decode_bmp_palet_lock(0, 0x123456, 0xFFFFFF, 2), -1);  // black is in use
    EXPECT_EQ(decode_bmp_palet_unlock(-1, 2), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(decode_bmp_palet_lock(5, 0xF00000, 0xF0F0F0, 0xFF), 0);
    EXPECT_EQ(decode_bmp_palet_unlock(5, 2), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "palet lock 05=RGB(F00000,F0F0F0),l=06,u=00\n"
              "palet lock 05=RGB(000000,000000),l=00,u=02\n");
    for (int page = 0; page < 2; ++page) {
        EXPECT_EQ(indexPalet[page][5].flags, PALET_FLASH);
        EXPECT_EQ(indexPalet[page][5].red, 0xF0);  // the lock's colour stays
        EXPECT_EQ(indexPalet[page][5].greenMask, 0xF0);
    }
}

TEST_F(ColourReduction, MovingTheFlashEntry) {
    testing::internal::CaptureStdout();
    decode_bmp_palet_lock(5, 0, 0, 4);
    indexPalet[1][9].flags = PALET_USED;
    decode_bmp_palet_unlock(5, 4);
    EXPECT_EQ(decode_bmp_palet_lock(9, 0, 0, 4), -1);
    indexPalet[1][9].flags = 0;
    EXPECT_EQ(decode_bmp_palet_lock(9, 0, 0, 4), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(indexPalet[0][5].flags | indexPalet[1][5].flags, 0);
    EXPECT_EQ(indexPalet[0][9].flags, PALET_FLASH);
    EXPECT_EQ(indexPalet[1][9].flags, PALET_FLASH);
    EXPECT_EQ(indexPalet[0][9].blueMask, 0xF0);  // mode 4 alone stores no colour
}

}  // namespace
