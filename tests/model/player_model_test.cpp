// The player model on small layouts whose timing can be worked out by hand,
// and the layout walk on hand-made video blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "format/v2format.h"
#include "tools/model/player_model.h"

namespace {

using model::Layout;
using model::Unit;

// Frames of the given sizes in units, back to back, each ending in its last
// unit, shown `interval` display frames apart.
void addFrames(Layout& layout, const std::vector<int>& unitsPerFrame, int interval) {
    for (int units : unitsPerFrame) {
        const auto frame = static_cast<int32_t>(layout.frameEndUnit.size());
        for (int u = 0; u < units; ++u) layout.units.push_back(Unit{false, 0, 0, frame});
        layout.frameEndUnit.push_back(static_cast<int64_t>(layout.units.size()) - 1);
        layout.showTime.push_back(static_cast<int64_t>(frame) * interval);
    }
}

void addAudioBlock(Layout& layout, int block) {
    for (int j = 0; j < model::AUDIO_BLOCK_UNITS; ++j) layout.units.push_back(Unit{true, block, j, 0});
}

bool plays(const Layout& layout, double rate) { return model::simulate(layout, rate).plays(); }

// Frame 1 takes 200 units, more than the buffer's 160. The buffer fills with
// its first 160 units, which fixes S = 161 u (u = 256 / R: frame 0's unit is
// in and gone); they all leave at S (frame 0 is shown then), and frame 1's
// end is read 40 u later. It may be read until S + (4 + 2) / 60 s, so the
// stream plays from 40 u = 0.1 s, R = 102400 bytes per second, exactly.
TEST(PlayerModel, LaterFrameLargerThanTheBuffer) {
    Layout layout;
    addFrames(layout, {1, 200, 1, 1, 1}, 4);
    constexpr double threshold = 102400.0;

    const model::Result slow = model::simulate(layout, threshold * 0.9);
    ASSERT_EQ(slow.lateFrames.size(), 1u);
    EXPECT_EQ(slow.lateFrames[0].frame, 1);
    const double u = 256.0 / (threshold * 0.9);
    EXPECT_NEAR(slow.start, 161 * u, 1e-9);
    EXPECT_NEAR(slow.lateFrames[0].seconds, 40 * u - 0.1, 1e-9);
    EXPECT_DOUBLE_EQ(slow.worstFrame, slow.lateFrames[0].seconds);

    // The bisection: within 0.2 % above the threshold; it plays there and
    // not 1 % lower.
    const double needed = model::neededRate(layout);
    EXPECT_GE(needed, threshold);
    EXPECT_LE(needed, threshold * 1.002);
    EXPECT_TRUE(plays(layout, needed));
    EXPECT_FALSE(plays(layout, needed * 0.99));
}

// Frame 0's units leave as soon as they are read, so a first frame of any
// size only moves S: what follows plays exactly as behind a small one.
TEST(PlayerModel, FirstFrameLargerThanTheBuffer) {
    std::vector<int> sizes(41, 20);  // 20 units every 4 display frames: 76800 bytes per second
    Layout big;
    Layout small;
    sizes[0] = 300;
    addFrames(big, sizes, 4);
    sizes[0] = 1;
    addFrames(small, sizes, 4);
    const double rate = 60000.0;
    const model::Result r = model::simulate(big, rate);
    EXPECT_GE(r.start, 300 * 256 / rate);  // S waits for frame 0
    EXPECT_EQ(r.lateFrames.size(), model::simulate(small, rate).lateFrames.size());
    EXPECT_FALSE(r.lateFrames.empty());    // 60000 is below the 76800 the stream carries
    const double needed = model::neededRate(big);
    EXPECT_NEAR(needed, model::neededRate(small), needed * 1e-9);
    EXPECT_TRUE(plays(big, needed));
    EXPECT_FALSE(plays(big, needed * 0.99));
}

// Two blocks of lead, then per audio block one small frame that lasts as long
// as the block plays: the sound carries most of the data.
Layout soundHeavy(int blocks) {
    Layout layout;
    addAudioBlock(layout, 0);
    addAudioBlock(layout, 1);
    for (int f = 0; f + 2 < blocks; ++f) {
        layout.units.push_back(Unit{false, 0, 0, f});
        layout.frameEndUnit.push_back(static_cast<int64_t>(layout.units.size()) - 1);
        layout.showTime.push_back(static_cast<int64_t>(f) * 31);
        addAudioBlock(layout, f + 2);
    }
    return layout;
}

TEST(PlayerModel, SoundGapsOnlyWhenTheRateCannotCarryTheSound) {
    const Layout layout = soundHeavy(60);
    // The sound alone needs a block per block's play: 4096 bytes per 0.522 s.
    const double soundRate = AUDIO_BLOCK_BYTES / model::AUDIO_BLOCK_SECONDS;

    const model::Result slow = model::simulate(layout, soundRate * 0.5);
    ASSERT_FALSE(slow.soundGaps.empty());
    for (size_t i = 1; i < slow.soundGaps.size(); ++i) {
        EXPECT_GT(slow.soundGaps[i].frame, slow.soundGaps[i - 1].frame) << "one report per audio block";
    }
    EXPECT_GT(slow.worstSound, 0.0);
    EXPECT_TRUE(model::simulate(layout, soundRate * 1.2).plays());

    const double needed = model::neededRate(layout);
    EXPECT_GT(needed, soundRate * 0.8);  // the 10 blocks the buffer holds at S carry it a while, not for long
    EXPECT_LT(needed, soundRate * 1.2);
    EXPECT_TRUE(plays(layout, needed));
    EXPECT_FALSE(plays(layout, needed * 0.99));
}

// Steady frames of 50 units: twice the interval, half the rate.
TEST(PlayerModel, LongerIntervalsNeedLessRate) {
    Layout every4;
    Layout every8;
    addFrames(every4, std::vector<int>(120, 50), 4);
    addFrames(every8, std::vector<int>(120, 50), 8);
    const double fast = model::neededRate(every4);
    const double slow = model::neededRate(every8);
    EXPECT_NEAR(fast, 50 * 256 * 15.0, 50 * 256 * 15.0 * 0.05);
    EXPECT_NEAR(slow / fast, 0.5, 0.02);
}

TEST(PlayerModel, StreamsThatFitTheBufferPlayAtAnyRate) {
    Layout layout;
    addFrames(layout, {30, 30, 30}, 4);
    EXPECT_EQ(model::neededRate(layout), 0.0);
    EXPECT_EQ(model::neededRate(Layout{}), 0.0);
    // Sound behind more picture than the buffer holds never arrives in time.
    Layout stuck;
    addFrames(stuck, {1}, 4);
    for (int f = 0; f < 10; ++f) {  // 10 frames of 32 units, shown 10 s apart
        for (int u = 0; u < 32; ++u) stuck.units.push_back(Unit{false, 0, 0, f + 1});
        stuck.frameEndUnit.push_back(static_cast<int64_t>(stuck.units.size()) - 1);
        stuck.showTime.push_back(600LL * (f + 1));
    }
    addAudioBlock(stuck, 0);
    EXPECT_TRUE(std::isinf(model::neededRate(stuck)));
}

// ---- The layout of hand-made video blocks --------------------------------------

using Block = std::vector<uint8_t>;

Block emptyBlock() {
    Block b(FIFO_PAGE_BYTES, V2OP_NOP);
    b[FIFO_PAGE_LAST] = V2OP_BLOCK;
    return b;
}

void put(Block& b, size_t& at, std::initializer_list<uint8_t> bytes) {
    for (uint8_t v : bytes) b[at++] = v;
}

// Frame 0 holds options and a palette update of both entry forms; frame 1
// ends on the last byte of unit 1; frame 2 changes the interval; then the
// stream end and its fill.
Block commandBlock() {
    Block b = emptyBlock();
    size_t at = 0;
    put(b, at, {V2OP_OPTION, V2OPT_FLASH + 3, V2OP_OPTION, 2});           // flash, then interval 2
    put(b, at, {V2OP_PALET, 2, 0x01, 0x23, 0x22, 0x01, 0x9C, 0x4A});     // palette 0 and 45
    put(b, at, {V2OP_PAGE_SET, 0x50, V2OP_FIL1, 0x33, 0x00, V2OP_FRAME_END});
    put(b, at, {V2OP_PAGE_SET, 0x60});
    for (int c = 0; c < 6; ++c) {  // DRAW4 of 16 entries: 81 bytes
        b[at++] = V2OP_DRAW4 + 15;
        at += 16 * 5;
    }
    b[at++] = V2OP_FIL1 + 2;  // 3 addresses: 5 bytes, up to offset 510
    at += 4;
    EXPECT_EQ(at, 511u);
    put(b, at, {V2OP_FRAME_END, V2OP_OPTION, 10, V2OP_FRAME_END});
    while (at < FIFO_PAGE_LAST) b[at++] = V2OP_STREAM_END;
    return b;
}

bool layoutOf(const Block& video, Layout* layout, bool withAudio = true) {
    Block stream = video;
    uint8_t bitmap[AVINDEX_TABLE_BYTES] = {};
    int blocks = 1;
    if (withAudio) {
        stream.resize(stream.size() + AUDIO_BLOCK_BYTES);
        bitmap[0] = 0x40;  // block 1 is audio
        blocks = 2;
    }
    return model::layoutFromStream(stream.data(), static_cast<int64_t>(stream.size()), bitmap, blocks, 4, layout);
}

TEST(PlayerModelLayout, FrameEndsOwnersAndIntervals) {
    Layout layout;
    ASSERT_TRUE(layoutOf(commandBlock(), &layout));
    ASSERT_EQ(layout.units.size(), 32u + 16u);
    EXPECT_EQ(layout.frameEndUnit, (std::vector<int64_t>{0, 1, 2}));
    EXPECT_EQ(layout.showTime, (std::vector<int64_t>{0, 2, 4}));  // the flash option is no interval
    EXPECT_EQ(layout.units[0].owner, 1);   // its last byte belongs to frame 1
    EXPECT_EQ(layout.units[1].owner, 1);   // frame 1's end is its last byte
    EXPECT_EQ(layout.units[2].owner, 3);   // frame 2 ends inside it: the rest is the stream end's
    EXPECT_EQ(layout.units[31].owner, 3);
    EXPECT_TRUE(layout.units[32].audio);
    EXPECT_EQ(layout.units[47].j, 15);
}

TEST(PlayerModelLayout, MalformedBlocksAreRefusedWithoutReadingPastThem) {
    Layout layout;
    Block b = emptyBlock();
    b[100] = 0x65;  // no opcode
    EXPECT_FALSE(layoutOf(b, &layout));

    // A palette update whose entries run into the page-end marker.
    b = emptyBlock();
    size_t at = FIFO_PAGE_LAST - 4;
    put(b, at, {V2OP_PALET, 3, 0x32, 0x00});
    EXPECT_FALSE(layoutOf(b, &layout));
    b = emptyBlock();
    at = FIFO_PAGE_LAST - 1;
    put(b, at, {V2OP_PAGE_SET});  // its second byte would be the marker
    EXPECT_FALSE(layoutOf(b, &layout));

    // Fewer bytes than the index's blocks.
    const Block video = commandBlock();
    uint8_t bitmap[AVINDEX_TABLE_BYTES] = {};
    EXPECT_FALSE(model::layoutFromStream(video.data(), FIFO_PAGE_BYTES - 1, bitmap, 1, 4, &layout));
    EXPECT_FALSE(model::layoutFromStream(video.data(), FIFO_PAGE_BYTES, bitmap, 2, 4, &layout));
    EXPECT_TRUE(model::layoutFromStream(video.data(), FIFO_PAGE_BYTES, bitmap, 1, 4, &layout));
}

}  // namespace
