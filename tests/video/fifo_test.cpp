// The packetizer: where a write closes a FIFO page, what the closed page holds,
// and how the ring wraps.
#include <gtest/gtest.h>

#include <string>

#include "video_test_util.h"

using videotest::CapturedStream;
using videotest::ring;

namespace {

TEST(PacketFifo, OneByteAtTheLastOffsetClosesThePageWithMarkerOnly) {
    CapturedStream stream;
    CapturedStream::seekRing(8191);
    EXPECT_EQ(packetFIFOWriteByte(0xAB), 2);
    EXPECT_EQ(memory_buf[8191], 0x7B);
    EXPECT_EQ(memory_buf[8192], 0xAB);
    EXPECT_EQ(fifo_buffer_address, 8193);
    EXPECT_EQ(fifo_writed_address, 0x2000);
    EXPECT_EQ(totalBytes, 2);
    EXPECT_EQ(stream.blocks().size(), 8192u);
}

TEST(PacketFifo, TwoBytesAtOffset8190CloseThePageWithOneNop) {
    CapturedStream stream;
    CapturedStream::seekRing(8190);
    const uint8_t cmd[2] = {0x7A, 0x40};
    EXPECT_EQ(packetFIFOWrite(cmd, 2), 4);
    EXPECT_EQ(ring(8190, 8194), (std::vector<uint8_t>{0x00, 0x7B, 0x7A, 0x40}));
}

TEST(PacketFifo, NineBytesAt8182FitButTenCloseThePageWithNineNops) {
    const std::vector<uint8_t> data(10, 0x11);
    {
        CapturedStream stream;
        CapturedStream::seekRing(8182);
        EXPECT_EQ(packetFIFOWrite(data.data(), 9), 9);
        EXPECT_EQ(fifo_buffer_address, 8191);
        EXPECT_TRUE(stream.blocks().empty());
    }
    CapturedStream stream;
    CapturedStream::seekRing(8182);
    EXPECT_EQ(packetFIFOWrite(data.data(), 10), 20);
    EXPECT_EQ(totalBytes, 20);  // the nine NOPs and the marker count too
    EXPECT_EQ(ring(8182, 8192), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7B}));
    EXPECT_EQ(ring(8192, 8202), data);
    const auto blocks = stream.blocks();
    ASSERT_EQ(blocks.size(), 8192u);
    EXPECT_EQ(blocks[8181], 0x00);  // untouched below the write position (cleared at start)
    EXPECT_EQ(blocks[8191], 0x7B);
}

TEST(PacketFifo, LastRingPageEndsInLoopAndWritingWrapsToTheTop) {
    CapturedStream stream;
    CapturedStream::seekRing(0x6000 + 8191);
    testing::internal::CaptureStdout();
    EXPECT_EQ(packetFIFOWriteByte(0x7E), 2);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(memory_buf[0x7FFF], 0x7D);
    EXPECT_EQ(memory_buf[0x0000], 0x7E);
    EXPECT_EQ(fifo_buffer_address, 1);
    EXPECT_EQ(fifo_writed_address, 0);
    EXPECT_NE(out.find("FBLOCK[VIDEO,addr=6000,"), std::string::npos) << out;
    const auto blocks = stream.blocks();
    ASSERT_EQ(blocks.size(), 8192u);
    EXPECT_EQ(blocks, ring(0x6000, 0x8000));
}

TEST(PacketFifo, RejectsSizesNoPageCanHold) {
    CapturedStream stream;
    static uint8_t big[FIFO_PAGE_BYTES];
    EXPECT_EQ(packetFIFOWrite(big, 8192), 0);
    EXPECT_EQ(packetFIFOWrite(big, 0), 0);
    EXPECT_EQ(fifo_buffer_address, 0);
    EXPECT_EQ(packetFIFOWrite(big, 8191), 8191);  // a whole empty page is fine
}

}  // namespace
