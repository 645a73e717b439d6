// The rate control's steps on hand-made planners: the picture a frame holds,
// how the colours on screen take the new palette, which tiles a budget buys,
// and how the setting follows the rate.
#include "tools/prep/rate.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using namespace prep;

std::unique_ptr<Planner> blankPlanner() {
    auto p = std::make_unique<Planner>();  // value-initialised: every field zero
    p->settings = {120.0, 4, MAX_COLOURS, 1, false};
    p->sceneInterval = p->nextInterval = 4;
    p->rowBytes = ROW_LAYER_BYTES;
    p->layers = 6;
    return p;
}

// Holds `count` display frames: the 2 x 2 block at the top left is grain (its
// pixels trade values from frame to frame, the block's mean stays), the block
// at x = 100 jumps from black to white halfway, and a cut comes before frame
// `cutAt`.
void holdFrames(Planner* p, int count, int cutAt) {
    const uint8_t grain[4] = {70, 130, 100, 104};
    const int blockAt[4] = {0, 1, SCREEN_WIDTH, SCREEN_WIDTH + 1};
    for (int d = 0; d < count; ++d) {
        auto& frame = p->ring[d];
        frame.fill(0);
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 3; ++k) {
                frame[3 * blockAt[j] + k] = grain[(j + d) % 4];
                frame[3 * (blockAt[j] + 100) + k] = d < count / 2 ? 0 : 255;
            }
        p->cutBefore[d] = d == cutAt;
    }
    p->head = 0;
    p->held = count;
}

TEST(RateHold, StillPixelsShowTheMeanMovingOnesARealPicture) {
    auto p = blankPlanner();
    holdFrames(p.get(), 4, -1);
    holdPicture(p.get());
    EXPECT_EQ(p->nextInterval, 4);
    EXPECT_EQ(p->picture[0], 101);    // (70 + 130 + 100 + 104) / 4: the grain averaged away
    EXPECT_EQ(p->picture[300], 255);  // the middle display frame, never a grey ghost of both
    // A cut inside the hold ends the frame there: the new scene gets its own.
    holdFrames(p.get(), 6, 2);
    p->sceneInterval = 6;
    holdPicture(p.get());
    EXPECT_EQ(p->nextInterval, 2);
    EXPECT_EQ(p->picture[0], 100);  // (70 + 130) / 2
}

TEST(RateHold, AFlashEndsTheFrameThoughItIsNoNewScene) {
    auto p = blankPlanner();
    const std::vector<uint8_t> black(FRAME_RGB_BYTES, 0);
    const std::vector<uint8_t> white(FRAME_RGB_BYTES, 255);
    for (int d = 0; d < 6; ++d) rateAddDisplayFrame(p.get(), d < 3 ? black.data() : white.data());
    p->sceneInterval = 6;
    holdPicture(p.get());
    EXPECT_FALSE(p->cutBefore[3]);  // black to white has no structure to change
    EXPECT_EQ(p->nextInterval, 3);  // but the frame before the flash ends at it
    EXPECT_EQ(p->picture[0], 0);
}

TEST(RateRemap, ColoursOnScreenTakeTheNearestNewEntryAndLeftoversGiveUpTheirNumber) {
    auto p = blankPlanner();
    // On screen: red (most pixels), dark red (a few), blue (the rest).
    p->shown.palette[0] = colour12(15, 0, 0);
    p->shown.palette[1] = colour12(12, 0, 0);
    p->shown.palette[2] = colour12(0, 0, 15);
    p->shown.paletteSize = 3;
    for (int i = 0; i < FRAME_PIXELS; ++i) p->shown.index[i] = i < 100 ? 1 : i < 40000 ? 0 : 2;
    // The new palette has two colours, listed the other way round.
    p->fresh.palette[0] = colour12(0, 0, 14);
    p->fresh.palette[1] = colour12(14, 0, 0);
    p->fresh.paletteSize = 2;
    buildRemap(p.get());
    EXPECT_EQ(p->remap[0], 1);
    EXPECT_EQ(p->remap[1], 1);
    EXPECT_EQ(p->remap[2], 0);
    EXPECT_FALSE(p->merged[0]);  // the most used red keeps the number
    EXPECT_TRUE(p->merged[1]);   // the dark red shares it and is redrawn
    EXPECT_FALSE(p->merged[2]);
}

TEST(RateTiles, TheBudgetBuysTheNeediestTilesAndPassesOverOnesThatDoNotFit) {
    auto p = blankPlanner();
    for (Tile& t : p->tiles) t = {0, 0, 0, 0, 0.0};
    const double perRow = p->rowBytes * p->layers;
    p->tiles[10] = {1000, 0, 4, 0, 250.0};  // the neediest: 4 rows
    p->tiles[20] = {900, 0, 4, 0, 200.0};   // 4 rows more than the budget leaves
    p->tiles[30] = {100, 0, 1, 0, 100.0};   // a single row still fits
    EXPECT_FALSE(chooseTiles(p.get(), 5.5 * perRow, true));
    EXPECT_TRUE(p->chosen[10]);
    EXPECT_FALSE(p->chosen[20]);
    EXPECT_TRUE(p->chosen[30]);
    EXPECT_NEAR(p->gainSent, 1100.0 / 2000.0, 1e-9);
    EXPECT_TRUE(chooseTiles(p.get(), 9.5 * perRow, true));
    EXPECT_TRUE(p->chosen[20]);
}

TEST(RateTiles, AMovingObjectGoesWholeOrWaitsAndThenGoesFirst) {
    auto p = blankPlanner();
    for (Tile& t : p->tiles) t = {0, 0, 0, 0, 0.0};
    const double perRow = p->rowBytes * p->layers;
    const int64_t much = int64_t{1} << 24;  // far more than noise mends
    p->tiles[0] = {much, 0, 4, 0, 300.0};   // an object two tiles wide
    p->tiles[1] = {much, 0, 4, 0, 300.0};
    p->tiles[100] = {1000, 0, 2, 0, 1000.0};  // a small change elsewhere, needier
    // Room for the small change and one of the object's tiles: tile by tile
    // the object would show torn; together it waits.
    chooseTiles(p.get(), 8.5 * perRow, false);
    EXPECT_NE(p->chosen[0], p->chosen[1]);
    EXPECT_FALSE(chooseTiles(p.get(), 8.5 * perRow, true));
    EXPECT_FALSE(p->chosen[0] || p->chosen[1]);
    EXPECT_TRUE(p->chosen[100]);
    // Once it has waited it goes first, whole.
    p->deferred[0] = p->deferred[1] = 100;
    chooseTiles(p.get(), 8.5 * perRow, true);
    EXPECT_TRUE(p->chosen[0] && p->chosen[1]);
    EXPECT_FALSE(p->chosen[100]);
}

TEST(RateTiles, AStaleEdgeOnASmoothAreaComesBeforeDetail) {
    // Two tiles show black where the picture has grey: the first a flat grey,
    // the second stripes of two greys (which would gain a little more).
    auto p = blankPlanner();
    p->fresh.palette[0] = colour12(0, 0, 0);
    p->fresh.palette[1] = colour12(8, 8, 8);
    p->fresh.palette[2] = colour12(6, 6, 6);
    p->fresh.palette[3] = colour12(9, 9, 9);
    p->fresh.paletteSize = 4;
    std::vector<uint8_t> rgb(FRAME_RGB_BYTES, 0);
    for (int y = 0; y < TILE_HEIGHT; ++y)
        for (int x = 0; x < 2 * TILE_WIDTH; ++x) {
            const int at = y * SCREEN_WIDTH + x;
            const bool flat = x < TILE_WIDTH;
            const uint8_t v = flat ? 128 : x % 2 ? 160 : 96;
            std::fill_n(&rgb[3 * at], 3, v);
            p->fresh.index[at] = flat ? 1 : x % 2 ? 3 : 2;
        }
    measureTiles(p.get(), rgb.data());
    const Tile& flat = p->tiles[0];
    const Tile& striped = p->tiles[1];
    EXPECT_GT(striped.staleError - striped.freshError, flat.staleError - flat.freshError);
    EXPECT_GT(flat.need, 2.0 * striped.need);
}

TEST(RateTiles, AtACutTilesNotSentShowAFlatColourUnlessTheirOldPictureIsRight) {
    // On screen black; the new shot is black in the first tile (a letterbox
    // bar) and grey in the second. Neither is sent.
    auto p = blankPlanner();
    p->fresh.palette[1] = colour12(8, 8, 8);
    p->fresh.palette[2] = colour12(5, 9, 5);  // the new picture's mean
    p->fresh.paletteSize = 3;
    p->fill = 2;
    std::vector<uint8_t> rgb(FRAME_RGB_BYTES, 0);
    for (int y = 0; y < TILE_HEIGHT; ++y)
        for (int x = TILE_WIDTH; x < 2 * TILE_WIDTH; ++x) {
            std::fill_n(&rgb[3 * (y * SCREEN_WIDTH + x)], 3, 136);
            p->fresh.index[y * SCREEN_WIDTH + x] = 1;
        }
    measureTiles(p.get(), rgb.data());
    ReducedFrame out;
    compose(*p, true, &out);
    EXPECT_EQ(out.index[0], 0);
    EXPECT_EQ(out.index[TILE_WIDTH], 2);
}

TEST(RateRemap, AFadeMovesThePaletteAndRedrawsNoTile) {
    // On screen: light grey above, mid grey below. The source fades to half:
    // the new palette's mid grey is now the upper half's colour, which the
    // pairing by nearest colour would give to the lower half.
    auto p = blankPlanner();
    p->plannedLimit = MAX_COLOURS;
    p->shown.palette[0] = colour12(10, 10, 10);
    p->shown.palette[1] = colour12(5, 5, 5);
    p->shown.paletteSize = 2;
    p->fresh.palette[0] = colour12(5, 5, 5);
    p->fresh.palette[1] = colour12(2, 2, 2);
    p->fresh.paletteSize = 2;
    std::vector<uint8_t> rgb(FRAME_RGB_BYTES);
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const bool upper = i < FRAME_PIXELS / 2;
        p->shown.index[i] = upper ? 0 : 1;
        p->fresh.index[i] = upper ? 0 : 1;
        std::fill_n(&rgb[3 * i], 3, upper ? 5 * 17 : 2 * 17);
    }
    buildRemap(p.get());
    ASSERT_EQ(p->remap[1], 0);  // the lower half would take the upper half's new colour
    EXPECT_TRUE(refitPalette(p.get(), rgb.data()));
    measureTiles(p.get(), rgb.data());
    for (const Tile& tile : p->tiles) {
        ASSERT_EQ(tile.staleError, 0);
        ASSERT_EQ(tile.changedRows, 0);
    }
    EXPECT_EQ(p->fresh.palette[p->remap[0]], colour12(5, 5, 5));
    EXPECT_EQ(p->fresh.palette[p->remap[1]], colour12(2, 2, 2));
    // A picture that brings colours of its own keeps them: the upper half
    // turns red on the left and blue on the right.
    p->fresh.palette[0] = colour12(15, 0, 0);
    p->fresh.palette[1] = colour12(2, 2, 2);
    p->fresh.palette[2] = colour12(0, 0, 15);
    p->fresh.paletteSize = 3;
    for (int i = 0; i < FRAME_PIXELS / 2; ++i) {
        const bool left = i % SCREEN_WIDTH < SCREEN_WIDTH / 2;
        p->fresh.index[i] = left ? 0 : 2;
        rgb[3 * i] = left ? 255 : 0;
        rgb[3 * i + 1] = 0;
        rgb[3 * i + 2] = left ? 0 : 255;
    }
    for (int i = FRAME_PIXELS / 2; i < FRAME_PIXELS; ++i) p->fresh.index[i] = 1;
    buildRemap(p.get());
    refitPalette(p.get(), rgb.data());
    EXPECT_EQ(p->fresh.palette[p->fresh.index[0]], colour12(15, 0, 0));
    EXPECT_EQ(p->fresh.palette[p->fresh.index[SCREEN_WIDTH - 1]], colour12(0, 0, 15));
    EXPECT_EQ(p->fresh.palette[p->fresh.index[FRAME_PIXELS - 1]], colour12(2, 2, 2));
}

TEST(RateSetting, ASecondOfSpareRateBuysColoursAndASecondOfShortfallSlowsTheFrames) {
    auto p = blankPlanner();
    p->plannedLimit = 16;
    p->framesFirst = false;
    const int second = DISPLAY_FRAMES_PER_SECOND / p->sceneInterval;
    for (int f = 0; f < second - 1; ++f) adaptSetting(p.get(), true, 1.0);
    EXPECT_EQ(p->plannedLimit, 16);  // not yet a second
    adaptSetting(p.get(), true, 1.0);
    EXPECT_EQ(p->plannedLimit, 32);
    EXPECT_EQ(p->layers, 5);
    // Frames that send too little of what they should, for a second: fewer frames.
    for (int f = 0; f < second; ++f) adaptSetting(p.get(), false, 0.2);
    EXPECT_GT(p->sceneInterval, 4);
    EXPECT_EQ(p->plannedLimit, 32);
}

TEST(RateSetting, SpareRateBringsMoreFramesThanTheDefaultOnlyWhileThePictureMoves) {
    // The colours are at their most; without --fps rate to spare may go past
    // 15 frames per second, on a 30 fps source.
    auto p = blankPlanner();
    p->settings.spareInterval = SPARE_INTERVAL;
    p->plannedLimit = MAX_COLOURS;
    p->held = SURVEY_FRAMES;
    const auto spareSecond = [&] {
        for (int f = 0; f < DISPLAY_FRAMES_PER_SECOND / p->sceneInterval; ++f) adaptSetting(p.get(), true, 1.0);
    };
    spareSecond();  // a still: nothing new comes
    EXPECT_EQ(p->sceneInterval, 4);
    for (int d = 0; d < SURVEY_FRAMES; ++d) p->newPicture[d] = d % 2 == 0;
    spareSecond();
    EXPECT_LT(p->sceneInterval, 4);
    EXPECT_GE(p->sceneInterval, SPARE_INTERVAL);
}

}  // namespace
