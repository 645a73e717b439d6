// The parameter file reader, driven frame by frame as the frame loop drives it.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "encoder/driver/streaminfo.h"
#include "encoder/image/decode_bmp.h"
#include "encoder/stream/avindex.h"
#include "encoder/video/compress.h"
#include "support/test_support.h"

namespace {

using testsupport::lines;

class ParamFile : public ::testing::Test {
protected:
    void SetUp() override {
        decode_bmp_reset();
        avindexReset();
        compressReset();
        compressGramInit(nullptr, hdr);
    }
    void TearDown() override { streamInfoTerm(&info); }

    void open(const std::string& text) {
        const std::string path = dir.file("param.txt");
        testsupport::writeText(path, text);
        info.fp = std::fopen(path.c_str(), "rt");
        ASSERT_NE(info.fp, nullptr);
    }
    // One frame of the frame loop: set the frame number, apply what is due.
    std::vector<std::string> at(int frame) {
        info.frame = frame;
        testing::internal::CaptureStdout();
        result = streamInfoUpdate(&info);
        return lines(testing::internal::GetCapturedStdout());
    }

    testsupport::TempDir dir;
    StreamInfo info;
    int result = 0;
};

using Lines = std::vector<std::string>;

TEST_F(ParamFile, GroupsApplyAtTheirFrameAndAreReadLazily) {
    open("video_interval 6\nframe 100\nvideo_interval 3\n");
    EXPECT_EQ(at(0), (Lines{"parameter[    0]:video_interval = 6", "parameter[    0]:frame = 100"}));
    EXPECT_EQ(info.videoInterval, 6);
    EXPECT_EQ(info.nextFrame, 100);
    for (int n = 1; n < 100; ++n) ASSERT_TRUE(at(n).empty()) << n;
    EXPECT_EQ(info.videoInterval, 6);
    EXPECT_EQ(at(100), (Lines{"parameter[  100]:video_interval = 3"}));
    EXPECT_EQ(info.videoInterval, 3);
    EXPECT_EQ(info.nextFrame, INT_MAX);  // exhausted: nothing more is read
    EXPECT_TRUE(at(101).empty());
}

TEST_F(ParamFile, JumpedOverGroupAppliesAtNextFrameAndRulesTheStep) {
    open("frame 5\npalet_limit 16\nvideo_skip 3\n");
    info.videoSkip = 2;
    std::vector<int> visited;
    std::vector<int> limits;
    for (int n = 0; n <= 15; n += info.videoSkip) {
        at(n);
        visited.push_back(n);
        limits.push_back(info.paletLimit);
    }
    EXPECT_EQ(visited, (std::vector<int>{0, 2, 4, 6, 9, 12, 15}));
    EXPECT_EQ(limits, (std::vector<int>{64, 64, 64, 16, 16, 16, 16}));
}

TEST_F(ParamFile, FallingFrameNumbersApplyTogether) {
    open("frame 10\npalet_limit 8\nframe 5\nvideo_interval 2\nframe 20\nvideo_skip 3\n");
    at(0);
    EXPECT_TRUE(at(9).empty());
    EXPECT_EQ(at(10), (Lines{"parameter[   10]:palet_limit = 8", "parameter[   10]:frame = 5",
                             "parameter[    5]:video_interval = 2", "parameter[    5]:frame = 20"}));
    EXPECT_EQ(info.paletLimit, 8);
    EXPECT_EQ(info.videoInterval, 2);
    EXPECT_EQ(info.videoSkip, 1);
    EXPECT_EQ(info.nextFrame, 20);
}

TEST_F(ParamFile, NumbersConvertWithBaseDetection) {
    struct Case {
        const char* text;
        int value;
    };
    const Case cases[] = {{"010", 8}, {"0x10", 16}, {"0X1f", 31}, {"12abc", 12}, {"abc", 0},
                          {"-0x10", -16}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}};
    // One case per frame: "frame i" gates case i to the call at frame i.
    std::string text;
    for (size_t i = 0; i < std::size(cases); ++i) {
        text += "frame " + std::to_string(i) + "\npalet_limit " + cases[i].text + "\n";
    }
    open(text);
    for (size_t i = 0; i < std::size(cases); ++i) {
        at(static_cast<int>(i));
        EXPECT_EQ(result, 0) << cases[i].text;
        EXPECT_EQ(info.paletLimit, cases[i].value) << cases[i].text;
    }
}

TEST_F(ParamFile, OutOfRangeNumberIsReportedAndDelaysItsGroup) {
    open("frame 99999999999\npalet_limit 8\nvideo_interval 2147483648\nvideo_interval -2147483649\nsignal 1\n");
    EXPECT_EQ(at(0), (Lines{"parameter[    0]:frame = 99999999999", "error : parameter frame = 99999999999"}));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(info.nextFrame, 0);
    EXPECT_EQ(info.paletLimit, 64);  // the rest of the group waits for the next frame
    EXPECT_EQ(at(1), (Lines{"parameter[    0]:palet_limit = 8", "parameter[    0]:video_interval = 2147483648",
                            "error : parameter video_interval = 2147483648"}));
    EXPECT_EQ(info.paletLimit, 8);
    EXPECT_EQ(info.videoInterval, 4);
    EXPECT_EQ(at(2).back(), "error : parameter video_interval = -2147483649");
    EXPECT_EQ(at(3).front(), "parameter[    0]:signal = 1");
    EXPECT_EQ(result, 0);
}

TEST_F(ParamFile, NonPositiveStepIsRejected) {
    open("video_skip 3\nvideo_skip 0\nvideo_skip -2\n");
    EXPECT_EQ(at(0).back(), "error : parameter video_skip = 0 (the step must be 1 or more)");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(info.videoSkip, 3);
    EXPECT_EQ(at(1).back(), "error : parameter video_skip = -2 (the step must be 1 or more)");
    EXPECT_EQ(info.videoSkip, 3);
}

TEST_F(ParamFile, NegativeIntervalIsRejected) {
    open("video_interval 6\nvideo_interval -1\nvideo_interval 0\n");
    EXPECT_EQ(at(0).back(), "error : parameter video_interval = -1 (the interval must be 0 or more)");
    EXPECT_EQ(info.videoInterval, 6);
    at(1);
    EXPECT_EQ(info.videoInterval, 0);
}

TEST_F(ParamFile, LineSyntaxCommentsAndKeys) {
    open("video_skip\t2\n"          // tab is no delimiter: one token, skipped silently
         "video_skip\n"
         "\n"
         "# palet_limit 8\n"
         "   ; palet_limit 4\n"
         "  palet_limit = 16 # was 8\n"
         "video_interval=5;note\n"
         "palet_limit==2;x#y\n"
         "Video_Skip 7\n"           // keys match whole and case-sensitively
         "video_skipx 7\n"
         "signal 1 2 3\n");
    EXPECT_EQ(at(0), (Lines{"parameter[    0]:palet_limit = 16", "parameter[    0]:video_interval = 5",
                            "parameter[    0]:palet_limit = 2", "parameter[    0]:Video_Skip = 7",
                            "parameter[    0]:video_skipx = 7", "parameter[    0]:signal = 1",
                            "compressOption(00,01)"}));
    EXPECT_EQ(info.videoSkip, 1);
    EXPECT_EQ(info.paletLimit, 2);
    EXPECT_EQ(info.videoInterval, 5);
}

TEST_F(ParamFile, LongLineIsReadInPiecesOf1022) {
    // The first 1022 characters end in "palet_limit 4"; the "8" after them is
    // a piece of its own (a key without value).
    const std::string head = "palet_limit 4";
    open(std::string(1022 - head.size(), ' ') + head + "8\nvideo_interval 9\n");
    EXPECT_EQ(at(0), (Lines{"parameter[    0]:palet_limit = 4", "parameter[    0]:video_interval = 9"}));
    EXPECT_EQ(info.paletLimit, 4);
}

TEST_F(ParamFile, OptionKeysReachTheCompressor) {
    open("audio_fader 7\naudio_play 0x80\npalet_flash 0x23\nsignal 0x81\n");
    const Lines out = at(0);
    const Lines options{"compressOption(04,07)", "compressOption(03,80)", "compressOption(02,23)",
                        "compressOption(00,81)"};
    Lines seen;
    for (const auto& line : out) {
        if (line.rfind("compressOption", 0) == 0) seen.push_back(line);
    }
    EXPECT_EQ(seen, options);
}

TEST_F(ParamFile, PaletLockAndUnlock) {
    open("palet_lock 3,0x123456\npalet_lock 5,0xF00000,0xF0F0F0\nframe 1\npalet_lock 3,-1\n");
    at(0);
    for (int page = 0; page < 2; ++page) {
        const PaletEntry& e = indexPalet[page][3];
        EXPECT_EQ(e.flags & PALET_LOCKED, PALET_LOCKED) << page;
        EXPECT_EQ(e.blue, 0x56);
        EXPECT_EQ(e.red, 0x12);
        EXPECT_EQ(e.green, 0x34);
        EXPECT_EQ(e.blueMask & e.redMask & e.greenMask, 0xFF);
        EXPECT_EQ(indexPalet[page][5].redMask, 0xF0);
    }
    at(1);
    EXPECT_EQ(indexPalet[0][3].flags & PALET_LOCKED, 0);
    EXPECT_EQ(indexPalet[1][3].flags & PALET_LOCKED, 0);
    EXPECT_EQ(indexPalet[0][5].flags & PALET_LOCKED, PALET_LOCKED);
}

TEST_F(ParamFile, PaletLockErrorsShowWhatConverted) {
    const std::pair<const char*, const char*> cases[] = {
        {"3", "error : parameter palet_lock(p=03,c=00000000,m=00FFFFFF)"},
        {"3,", "error : parameter palet_lock(p=03,c=00000000,m=00FFFFFF)"},
        {"0x100000000,5", "error : parameter palet_lock(p=7FFFFFFF,c=00000000,m=00FFFFFF)"},
        {"3,-99999999999", "error : parameter palet_lock(p=03,c=80000000,m=00FFFFFF)"},
        {"3,5,99999999999", "error : parameter palet_lock(p=03,c=00000005,m=7FFFFFFF)"},
    };
    std::string text;
    for (const auto& c : cases) text += std::string("palet_lock ") + c.first + "\n";
    open(text);
    int frame = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(at(frame++).back(), c.second) << c.first;
        EXPECT_EQ(result, -1) << c.first;
    }
    EXPECT_EQ(indexPalet[0][3].flags, 0);  // nothing was locked
}

TEST_F(ParamFile, InitAppliesDueLinesAndTermCloses) {
    open("palet_limit 32\nframe 4\npalet_limit 8\n");
    info.frame = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(streamInfoInit(&info), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(info.paletLimit, 32);
    EXPECT_EQ(info.nextFrame, 4);
    EXPECT_EQ(streamInfoTerm(&info), 0);
    EXPECT_EQ(info.fp, nullptr);
    EXPECT_TRUE(at(10).empty());
    EXPECT_EQ(result, 0);
    EXPECT_EQ(info.paletLimit, 32);
}

}  // namespace
