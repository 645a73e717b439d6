#include "encoder/audio/pcmtl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoder/audio/wavlib.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {

constexpr size_t kBlock = 4096;

// Sets up the encoder on a 16-bit mono file of the given samples, writing its
// blocks to a temporary stream; returns what pcmtl_Init printed.
struct Encoder {
    TempDir dir;
    FILE* out = tmpfile();
    AvIndexEntry* header = avindexInit();
    std::string printed;
    int status = 0;

    explicit Encoder(std::vector<int32_t> samples, int64_t rate = 7812) {
        Mono_Native m{rate, 16, static_cast<int32_t>(samples.size()), samples.data()};
        wavwrite_Mono_Native(&m, dir.file("a.wav").c_str());
        testing::internal::CaptureStdout();
        status = pcmtl_Init(out, dir.file("a.wav").c_str(), &header[1]);
        printed = testing::internal::GetCapturedStdout();
    }
    ~Encoder() {
        pcmtl_Reset();
        avindexReset();
        fclose(out);
    }
    std::vector<uint8_t> blocks() {
        fflush(out);
        std::vector<uint8_t> bytes(static_cast<size_t>(ftell(out)));
        rewind(out);
        EXPECT_EQ(fread(bytes.data(), 1, bytes.size(), out), bytes.size());
        return bytes;
    }
};

uint8_t code(int s) { return pcmtlCodeTable()[static_cast<uint16_t>(s)]; }

TEST(Pcmtl, CodeTableRows) {
    Encoder enc({});
    const std::pair<int, int> rows[] = {{1, 120},    {2, 112},   {3, 108},   {4, 104},   {6, 100},
                                        {10, 94},    {100, 67},  {1000, 40}, {10000, 14}, {16384, 8},
                                        {28704, 1},  {31292, 1}, {31293, 0}, {32767, 0}};
    for (auto [m, c] : rows) EXPECT_EQ(code(m), c) << "m=" << m;
    EXPECT_EQ(code(28703), 2);
    EXPECT_EQ(code(0), 0x7F);
    EXPECT_EQ(code(1), 0x78);
    EXPECT_EQ(code(-1), 0xF8);
    EXPECT_EQ(code(-32767), 0x80);
    EXPECT_EQ(code(-32768), 0x80);
    EXPECT_EQ(code(-16384), 0x88);
}

TEST(Pcmtl, InitPrintsFormatAndFillsIndexEntry) {
    Encoder enc(std::vector<int32_t>(1000, 5), 8000);
    EXPECT_EQ(enc.status, 0);
    EXPECT_EQ(enc.printed, "sampleRate:8000\nnumBits:16\nnumData:1000\nWarning: '" + enc.dir.file("a.wav") +
                               "' is 8000 Hz, 16-bit, 1 channel, but is encoded as 16-bit mono at 7812 Hz: convert it "
                               "with vendrel-prep, or with ffmpeg -i '" + enc.dir.file("a.wav") +
                               "' -ac 1 -ar 7812 -c:a pcm_s16le OUT.wav\n");
    const std::vector<uint8_t> want = {0x00, 0x80, 0x00, 0xA0, 0x00, 0x10, 0, 0, 0x20, 0x10, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(enc.header[1].bytes, enc.header[1].bytes + 16), want);
}

// A file in another format is encoded as if it were 16-bit mono at the
// player's rate (stereo plays at half speed): one line says so, and how to
// convert it; the player's own format passes without a word.
TEST(Pcmtl, FileInAnotherFormatIsNamedInAWarning) {
    TempDir dir;
    const std::string path = dir.file("b.wav");
    std::vector<int32_t> left(100, 3), right(100, -3);
    Stereo_Native stereo{48000, 16, 100, left.data(), right.data()};
    Mono_Native eightBit{7812, 8, 100, left.data()};
    Mono_Native player{7813, 16, 100, left.data()};
    const std::pair<std::string, std::string> expected[] = {{"stereo", "48000 Hz, 16-bit, 2 channels"},
                                                            {"8-bit", "7812 Hz, 8-bit, 1 channel"},
                                                            {"player", ""}};
    for (const auto& [what, format] : expected) {
        if (what == "stereo") wavwrite_Stereo_Native(&stereo, path.c_str());
        if (what == "8-bit") wavwrite_Mono_Native(&eightBit, path.c_str());
        if (what == "player") wavwrite_Mono_Native(&player, path.c_str());
        FILE* out = tmpfile();
        AvIndexEntry* header = avindexInit();
        testing::internal::CaptureStdout();
        EXPECT_EQ(pcmtl_Init(out, path.c_str(), &header[1]), 0);
        const std::string printed = testing::internal::GetCapturedStdout();
        pcmtl_Reset();
        avindexReset();
        fclose(out);
        const size_t at = printed.find("Warning: ");
        if (format.empty()) {
            EXPECT_EQ(at, std::string::npos) << printed;
            continue;
        }
        ASSERT_NE(at, std::string::npos) << what;
        EXPECT_NE(printed.find("' is " + format + ", but is encoded as 16-bit mono at 7812 Hz", at), std::string::npos)
            << printed;
        EXPECT_EQ(printed.find('\n', at), printed.size() - 1) << "one line, the last";
    }
}

// Every byte of each block but the page markers must be a sample code, and
// every code after the last sample silence.
void expectSilentFrom(const std::vector<uint8_t>& out, size_t from) {
    for (size_t i = from; i < out.size(); ++i) {
        if (i % 256 != 0) {
            ASSERT_EQ(out[i], 0x7F) << "byte " << i;
        }
    }
}

TEST(Pcmtl, BlocksCarryMarkersSamplesAndSilence) {
    std::vector<int32_t> samples(4081, 1);
    samples[0] = -1;
    samples[4080] = 32767;
    Encoder enc(samples);
    for (int i = 0; i < 3; ++i) pcmtl_Encode();
    const std::vector<uint8_t> out = enc.blocks();
    ASSERT_EQ(out.size(), 3 * kBlock);
    EXPECT_EQ(avEntryGetU16(&enc.header[1], AVENTRY_BLOCK_COUNT), 3);
    EXPECT_EQ(avindex_table[0], 0xE0);
    const int ringHigh[] = {0x80, 0x90, 0x80};
    for (int b = 0; b < 3; ++b) {
        for (int page = 0; page < 16; ++page) {
            EXPECT_EQ(out[b * kBlock + page * 256], ringHigh[b] + (page < 15 ? page + 1 : 15)) << b << "/" << page;
        }
    }
    EXPECT_EQ(out[1], 0xF8);
    EXPECT_EQ(out[2], 0x78);
    EXPECT_EQ(out[kBlock - 1], 0x78);  // sample 4079, the last of block 0
    EXPECT_EQ(out[kBlock + 1], 0x00);  // sample 4080
    expectSilentFrom(out, kBlock + 2);

    Encoder empty({});
    EXPECT_EQ(empty.printed, "sampleRate:7812\nnumBits:16\nnumData:0\n");
    pcmtl_Encode();
    ASSERT_EQ(empty.blocks().size(), kBlock);
    expectSilentFrom(empty.blocks(), 0);
}

TEST(Pcmtl, UnopenableFileIsRefused) {
    AvIndexEntry* header = avindexInit();
    for (const char* path : {"", "/nonexistent/a.wav"}) {
        testing::internal::CaptureStdout();
        EXPECT_LT(pcmtl_Init(nullptr, path, &header[1]), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("Error!: Can't open the audio file '") + path + "'.\n");
    }
}

TEST(Pcmtl, FailedWriteIsReportedAndStillCounted) {
    Encoder enc({1, 2, 3});
    FILE* full = fopen("/dev/full", "wb");
    if (!full) GTEST_SKIP() << "no /dev/full";
    setvbuf(full, nullptr, _IONBF, 0);
    avindexReset();
    testing::internal::CaptureStdout();
    pcmtl_Init(full, enc.dir.file("a.wav").c_str(), &enc.header[1]);
    pcmtl_Encode();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(streamWriteFailed);
    EXPECT_EQ(avEntryGetU16(&enc.header[1], AVENTRY_BLOCK_COUNT), 1);
    fclose(full);
}

}  // namespace
