// The frame difference encoder and the patch emitter: the exact bytes of
// palette updates, page commands, DRAW and FIL1 choices and the best-fit packing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "encoder/video/v2encode.h"
#include "video_test_util.h"

using videotest::CapturedStream;
using videotest::ring;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr PaletUpdate END_OF_LIST{0, 0, 0, 0, 0};

struct Images {
    Bytes prev = Bytes(GRAM_PAGE_BYTES, 0);
    Bytes next = Bytes(GRAM_PAGE_BYTES, 0);
};

struct Encoded {
    int result;
    Bytes bytes;      // ring bytes from the frame's first write position
    std::string out;  // standard output of the call
};

Encoded encode(Images& img, const std::vector<PaletUpdate>& palets = {}) {
    std::vector<PaletUpdate> list = palets;
    list.push_back(END_OF_LIST);
    const int32_t from = fifo_buffer_address;
    testing::internal::CaptureStdout();
    const int result = V2compressEncodeFrame(img.prev.data(), img.next.data(), list.data());
    Encoded e{result, {}, testing::internal::GetCapturedStdout()};
    e.bytes = ring(from, fifo_buffer_address);
    return e;
}

TEST(V2Palette, EntryBytesFollowTheHeaderLayout) {
    uint8_t out[4];
    // Palette 0, only blue changed: all three levels, unchanged ones flagged.
    ASSERT_EQ(V2paletEntryBytes({0, 1, 0x10, 0x2F, 0x3A}, out), 4);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x01, 0x23, 0x22, 0x01}));
    // p = 45, red alone: header 0x9C, red byte carries p's low bits.
    ASSERT_EQ(V2paletEntryBytes({45, 2, 0xFF, 0xA0, 0xFF}, out), 2);
    EXPECT_EQ(Bytes(out, out + 2), (Bytes{0x9C, 0x4A}));
    // p = 0x3F, all three: green, red, blue.
    ASSERT_EQ(V2paletEntryBytes({0x3F, 7, 0x50, 0x60, 0x70}, out), 4);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xFE, 0xC7, 0xC6, 0xC5}));
}

TEST(V2Palette, PaletteZeroBlueOnlyFrameIsSixBytesAndFrameEnd) {
    CapturedStream stream;
    Images img;
    const Encoded e = encode(img, {{0, 1, 0xF0, 0x50, 0x90}});
    EXPECT_EQ(e.bytes, (Bytes{0x78, 0x01, 0x01, 0x29, 0x25, 0x0F, 0x7E}));
    EXPECT_EQ(e.result, 7);
}

TEST(V2Palette, PacketSplitsWhereTheRoomEnds) {
    const std::vector<PaletUpdate> list{{0, 7, 0, 0, 0}, {5, 1, 0x30, 0, 0}, {6, 2, 0, 0x40, 0}};
    {
        // Room for exactly 78 n + 4 + 2 bytes: the first two entries fit to the last byte.
        CapturedStream stream;
        CapturedStream::seekRing(8191 - 8);
        Images img;
        std::vector<PaletUpdate> two(list.begin(), list.begin() + 2);
        encode(img, two);
        EXPECT_EQ(ring(8183, 8192), (Bytes{0x78, 0x02, 0x01, 0x00, 0x00, 0x00, 0x06, 0x43, 0x7B}));
        EXPECT_EQ(ring(8192, 8193), Bytes{0x7E});
    }
    // One byte short for the third entry: a second packet opens the next page.
    CapturedStream stream;
    CapturedStream::seekRing(8191 - 9);
    Images img;
    const Encoded e = encode(img, list);
    EXPECT_EQ(ring(8182, 8192), (Bytes{0x78, 0x02, 0x01, 0x00, 0x00, 0x00, 0x06, 0x43, 0x00, 0x7B}));
    EXPECT_EQ(ring(8192, 8197), (Bytes{0x78, 0x01, 0x14, 0x84, 0x7E}));
    EXPECT_EQ(e.result, 8 + 2 + 5);
}

TEST(V2Palette, FirstEntryThatDoesNotFitClosesThePageAtOnce) {
    CapturedStream stream;
    CapturedStream::seekRing(8191 - 3);
    Images img;
    encode(img, {{0, 1, 0, 0, 0}});
    EXPECT_EQ(ring(8188, 8192), (Bytes{0x00, 0x00, 0x00, 0x7B}));
    EXPECT_EQ(ring(8192, 8199), (Bytes{0x78, 0x01, 0x01, 0x20, 0x20, 0x00, 0x7E}));
}

TEST(V2Frame, DescribedExampleStartsWithPaletteThenFourDraw4Commands) {
    CapturedStream stream;
    Images img;
    std::memset(img.next.data() + 0x5000, 0x33, 256);
    const Encoded e = encode(img, {{0, 1, 0x10, 0x20, 0x30}, {45, 2, 0, 0xA0, 0}});
    const Bytes head{0x78, 0x02, 0x01, 0x23, 0x22, 0x01, 0x9C, 0x4A, 0x7A, 0x50, 0x3F,
                     0x00, 0x33, 0x33, 0x33, 0x33, 0x04, 0x33, 0x33, 0x33, 0x33, 0x08};
    ASSERT_EQ(e.bytes.size(), 8u + 2 + 4 * 81 + 1);
    EXPECT_EQ(Bytes(e.bytes.begin(), e.bytes.begin() + head.size()), head);
    for (int c = 0; c < 4; ++c) {
        const size_t at = 10 + static_cast<size_t>(c) * 81;
        EXPECT_EQ(e.bytes[at], 0x3F);
        EXPECT_EQ(e.bytes[at + 1], c * 64);  // each command takes the next 64 bytes
        EXPECT_EQ(e.bytes[at + 76], c * 64 + 60);
    }
    EXPECT_EQ(e.bytes.back(), 0x7E);
    EXPECT_EQ(e.result, static_cast<int>(e.bytes.size()));
    EXPECT_NE(e.out.find("V2compressFrame :DrawLenDivided 3 , DrawLoopDivided 63\n"), std::string::npos) << e.out;
    EXPECT_EQ(img.prev, img.next);
}

TEST(V2Frame, IdenticalFrameIsOneFrameEndByteButLowBytesAreCopied) {
    CapturedStream stream;
    Images img;
    img.next[0x1234] = 0x99;  // below the pixel planes: never sent
    const Encoded e = encode(img);
    EXPECT_EQ(e.bytes, Bytes{0x7E});
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(img.prev[0x1234], 0x99);
    EXPECT_EQ(e.out, "V2compressFrame :DrawLenDivided 0 , DrawLoopDivided 0\n");
}

struct FrameCase {
    const char* name;
    std::vector<std::pair<int, uint8_t>> changes;  // address, new value
    Bytes expected;
};

TEST(V2Frame, ChangedBytesBecomeTheExpectedCommands) {
    const FrameCase cases[] = {
        {"9-byte run: DRAW4 x2 entries, DRAW1",
         {{0x8010, 0xA0}, {0x8011, 0xA1}, {0x8012, 0xA2}, {0x8013, 0xA3}, {0x8014, 0xA4}, {0x8015, 0xA5},
          {0x8016, 0xA6}, {0x8017, 0xA7}, {0x8018, 0xA8}},
         {0x7A, 0x80, 0x31, 0x10, 0xA0, 0xA1, 0xA2, 0xA3, 0x14, 0xA4, 0xA5, 0xA6, 0xA7, 0x40, 0x18, 0xA8, 0x7E}},
        {"three isolated equal bytes: one FIL1",
         {{0x4002, 0x5A}, {0x4010, 0x5A}, {0x40F0, 0x5A}},
         {0x7A, 0x40, 0x52, 0x5A, 0x02, 0x10, 0xF0, 0x7E}},
        {"frequent pair: FIL1, second byte first",
         {{0x4002, 0x5A}, {0x4030, 0x5A}, {0x4031, 0x5A}},
         {0x7A, 0x40, 0x52, 0x5A, 0x02, 0x31, 0x30, 0x7E}},
        // FIL1 of two and DRAW2 of one are both 4 bytes: the one registered first leaves first.
        {"pair with one rare value: DRAW2",
         {{0x4002, 0x5A}, {0x4010, 0x5A}, {0x4030, 0x5A}, {0x4031, 0x66}},
         {0x7A, 0x40, 0x51, 0x5A, 0x02, 0x10, 0x10, 0x30, 0x5A, 0x66, 0x7E}},
        {"page commands: +1 and +15 are one byte, +16 is absolute",
         {{0x4000, 1}, {0x4100, 2}, {0x5000, 3}, {0x6000, 4}},
         {0x7A, 0x40, 0x40, 0x00, 0x01, 0x01, 0x40, 0x00, 0x02, 0x0F, 0x40, 0x00, 0x03, 0x7A, 0x60, 0x40, 0x00,
          0x04, 0x7E}},
    };
    for (const FrameCase& c : cases) {
        CapturedStream stream;
        Images img;
        for (const auto& [address, value] : c.changes) img.next[address] = value;
        EXPECT_EQ(encode(img).bytes, c.expected) << c.name;
    }
}

TEST(V2Frame, SeventeenEntriesOfOneWidthOpenASecondCommand) {
    CapturedStream stream;
    Images img;
    for (int i = 0; i < 17; ++i) img.next[0x4000 + 2 * i] = static_cast<uint8_t>(i + 1);
    const Encoded e = encode(img);
    ASSERT_EQ(e.bytes.size(), 2u + 33 + 3 + 1);
    EXPECT_EQ(e.bytes[2], 0x4F);
    EXPECT_EQ(e.bytes[35], 0x40);
    EXPECT_EQ(e.bytes[36], 32);  // the 17th address
    EXPECT_NE(e.out.find("DrawLenDivided 1 ,"), std::string::npos);
}

// A work record holding one address page's commands, as sendPatchCmd gets it.
V2FrameWork* workWith(const Images& img, std::initializer_list<V2PatchCmd> cmds) {
    static V2FrameWork work;
    std::memset(&work, 0, sizeof work);
    work.next = img.next.data();
    work.page = 0x5000;
    work.lastPage = 0x5000;  // page command already sent
    for (const V2PatchCmd& c : cmds) work.cmds[work.cmdCount++] = c;
    return &work;
}

V2PatchCmd draw(int width, int count, int first, int step) {
    V2PatchCmd c{V2CMD_DRAW, width, count, {}};
    for (int i = 0; i < count; ++i) c.addresses[i] = static_cast<uint16_t>(0x5000 + first + i * step);
    return c;
}

TEST(V2Patch, Draw4OfSixteenFacingRoom30IsSplitFiveAndEleven) {
    CapturedStream stream;
    Images img;
    for (int i = 0; i < 256; ++i) img.next[0x5000 + i] = static_cast<uint8_t>(i);
    CapturedStream::seekRing(8191 - 30);
    sendPatchCmd(workWith(img, {draw(4, 16, 0, 4)}));
    EXPECT_EQ(memory_buf[8161], 0x34);  // 5 entries, 26 bytes
    EXPECT_EQ(ring(8162, 8167), (Bytes{0x00, 0x00, 0x01, 0x02, 0x03}));
    EXPECT_EQ(ring(8187, 8192), (Bytes{0x00, 0x00, 0x00, 0x00, 0x7B}));  // room 4: nothing fits
    EXPECT_EQ(memory_buf[8192], 0x3A);  // the other 11
    EXPECT_EQ(memory_buf[8193], 20);
    EXPECT_EQ(fifo_buffer_address, 8192 + 56);
}

TEST(V2Patch, LargestFirstAndLowerIndexOnEqualSizes) {
    CapturedStream stream;
    Images img;
    V2PatchCmd fill{V2CMD_FIL1, 1, 1, {0x5030}};
    img.next[0x5030] = 0xEE;
    V2FrameWork* work = workWith(img, {draw(1, 1, 0x10, 1), draw(4, 1, 0x20, 1), fill});
    sendPatchCmd(work);
    EXPECT_EQ(work->cmdCount, 0);
    EXPECT_EQ(ring(0, 12), (Bytes{0x30, 0x20, 0, 0, 0, 0, 0x40, 0x10, 0x00, 0x50, 0xEE, 0x30}));
}

TEST(V2Patch, RoomOfThreeClosesThePageAtOnce) {
    CapturedStream stream;
    Images img;
    CapturedStream::seekRing(8191 - 3);
    sendPatchCmd(workWith(img, {draw(1, 1, 0x10, 1)}));
    EXPECT_EQ(ring(8188, 8195), (Bytes{0, 0, 0, 0x7B, 0x40, 0x10, 0x00}));
}

TEST(V2Patch, InconsistentEntriesAreReportedAndDropped) {
    CapturedStream stream;
    Images img;
    V2PatchCmd odd{7, 1, 1, {0x5000}};
    V2FrameWork* work = workWith(img, {draw(5, 1, 0, 1), odd, draw(2, 1, 0x40, 1)});
    testing::internal::CaptureStdout();
    sendPatchCmd(work);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("error V2 DRAW.LEN[5]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("error V2 COMMAND[7]\n"), std::string::npos) << out;
    EXPECT_EQ(work->cmdCount, 0);
    EXPECT_EQ(ring(0, fifo_buffer_address), (Bytes{0x10, 0x40, 0x00, 0x00}));
}

}  // namespace
