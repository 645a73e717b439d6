// The AV index and the writing of video blocks with the audio catch-up.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "encoder/audio/pcmtl.h"
#include "encoder/stream/avindex.h"
#include "support/test_support.h"

namespace {

std::vector<uint8_t> contents(FILE* f) {
    fflush(f);
    std::vector<uint8_t> bytes;
    rewind(f);
    int c;
    while ((c = fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    return bytes;
}

class StreamIndex : public ::testing::Test {
protected:
    void SetUp() override {
        avindexReset();
        fpDst = tmpfile();
        ASSERT_NE(fpDst, nullptr);
    }
    void TearDown() override {
        if (fpDst) fclose(fpDst);
        avindexReset();
        pcmtl_Reset();
    }
};

}  // namespace

TEST_F(StreamIndex, BitmapMarksAudioBlocksMostSignificantBitFirst) {
    avindexAdd(AVINDEX_KIND_AUDIO, 2);
    avindexAdd(AVINDEX_KIND_VIDEO, 1);
    avindexAdd(AVINDEX_KIND_AUDIO, 1);
    avindexAdd(AVINDEX_KIND_VIDEO, 0);
    EXPECT_EQ(avindex_pos, 4);
    EXPECT_EQ(avindex_table[0], 0xD0);  // 1101 0000
    EXPECT_EQ(avEntryGetU16(&hdr[0], AVENTRY_BLOCK_COUNT), 1);
    EXPECT_EQ(avEntryGetU16(&hdr[1], AVENTRY_BLOCK_COUNT), 3);

    ASSERT_EQ(avindexOut(fpDst), 4);
    const auto bytes = contents(fpDst);
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(bytes[6], 1);   // video block count, little-endian
    EXPECT_EQ(bytes[22], 3);  // audio block count
    EXPECT_EQ(bytes[32], 0xD0);
}

TEST_F(StreamIndex, IndexStopsAtItsCapacityAndWarnsOnce) {
    testing::internal::CaptureStdout();
    avindexAdd(AVINDEX_KIND_VIDEO, AVINDEX_MAX_BLOCKS - 1);
    avindexAdd(AVINDEX_KIND_AUDIO, 5);
    avindexAdd(AVINDEX_KIND_VIDEO, 5);
    const auto out = testsupport::lines(testing::internal::GetCapturedStdout());
    EXPECT_EQ(avindex_pos, AVINDEX_MAX_BLOCKS);
    EXPECT_EQ(avEntryGetU16(&hdr[0], AVENTRY_BLOCK_COUNT) + avEntryGetU16(&hdr[1], AVENTRY_BLOCK_COUNT),
              AVINDEX_MAX_BLOCKS);
    EXPECT_EQ(avindex_table[AVINDEX_TABLE_BYTES - 1], 0x01);  // only the last block is audio
    ASSERT_EQ(out.size(), 1u);
    EXPECT_NE(out[0].find("warning"), std::string::npos);
}

TEST(AudioSchedule, DueBlocksAreTheExactFloorPlusTwo) {
    EXPECT_EQ(audioBlocksDue(0), 2);
    EXPECT_EQ(audioBlocksDue(28), 2);
    EXPECT_EQ(audioBlocksDue(32), 3);
    EXPECT_EQ(audioBlocksDue(19584), 626);  // a double product would round up to 627
    // The stored double times T, formed with a 64-bit significand and cut.
    const long double rate = 0.03191380718954248L;
    for (long long t = 0; t < 2000000; t += 97) {
        EXPECT_EQ(audioBlocksDue(static_cast<int>(t)), static_cast<long long>(rate * t) + 2) << t;
    }
    EXPECT_EQ(audioBlocksDue(19584 * 1000), 625 * 1000 + 1);
}

TEST_F(StreamIndex, VideoBlockIsWrittenEnteredAndFollowedByDueAudio) {
    std::vector<uint8_t> ring(0x10000);
    for (size_t i = 0; i < ring.size(); ++i) ring[i] = static_cast<uint8_t>(i >> 8);
    curFrame = 7;
    testing::internal::CaptureStdout();
    videoUpdateCB(ring.data(), 0x2000, 0x2000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "FBLOCK[VIDEO,addr=2000,frame[   0-   7]\n");
    EXPECT_EQ(fileFrame, 7);
    EXPECT_EQ(avindex_pos, 1);
    const auto bytes = contents(fpDst);
    ASSERT_EQ(bytes.size(), 0x2000u);
    EXPECT_EQ(bytes.front(), 0x20);
    EXPECT_EQ(bytes.back(), 0x3F);

    // With sound set up, the blocks due at the frame time follow the video block.
    testsupport::TempDir dir;
    std::vector<uint8_t> wav = {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                16, 0, 0, 0, 1, 0, 1, 0, 0x84, 0x1E, 0, 0, 0x08, 0x3D, 0, 0,
                                2, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    testsupport::writeFile(dir.file("a.wav"), wav);
    testing::internal::CaptureStdout();
    ASSERT_EQ(pcmtl_Init(fpDst, dir.file("a.wav").c_str(), &hdr[1]), 0);
    audioSamplesVframe = AUDIO_BLOCKS_PER_DISPLAY_FRAME;
    videoUpdateCB(nullptr, 0, 0);  // start-up: the two leading blocks
    frameTime = 32;
    videoUpdateCB(ring.data(), 0x4000, 0x2000);
    const auto out = testsupport::lines(testing::internal::GetCapturedStdout());
    pcmtl_End();
    EXPECT_EQ(out[out.size() - 4], "FBLOCK[AUDIO,   0]");
    EXPECT_EQ(out[out.size() - 3], "FBLOCK[AUDIO,   1]");
    EXPECT_EQ(out[out.size() - 2], "FBLOCK[VIDEO,addr=4000,frame[   7-   7]");
    EXPECT_EQ(out[out.size() - 1], "FBLOCK[AUDIO,   2]");
    EXPECT_EQ(avindex_pos, 5);
    EXPECT_EQ(avindex_table[0], 0x68);  // video, audio, audio, video, audio
    EXPECT_EQ(contents(fpDst).size(), 0x2000u * 2 + 0x1000u * 3);
}

TEST_F(StreamIndex, UnwrittenBlockIsNotEnteredAndAFailureIsReported) {
    std::vector<uint8_t> ring(0x10000, 0xAA);
    fclose(fpDst);
    fpDst = fopen("/dev/full", "wb");
    if (!fpDst) GTEST_SKIP() << "no /dev/full";
    setvbuf(fpDst, nullptr, _IONBF, 0);
    testing::internal::CaptureStdout();
    videoUpdateCB(ring.data(), 0, 0x2000);
    videoUpdateCB(ring.data(), 0x2000, 0x2000);
    const auto out = testsupport::lines(testing::internal::GetCapturedStdout());
    EXPECT_EQ(avindex_pos, 0);
    EXPECT_TRUE(streamWriteFailed);
    ASSERT_EQ(out.size(), 3u);  // two block lines and one error line
    EXPECT_NE(out[1].find("error: could not write"), std::string::npos);
}
