// --check on a stream the encoder wrote, untouched and deliberately damaged,
// and the viewer's answers to bad command lines and bad files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "view/clips.h"

namespace {

using namespace viewtest;
using testsupport::TempDir;

// Busy frames, so that the stream spans several video blocks.
uint32_t busy(int x, int y, int t) {
    return colour((x / 5 + t) % 16, (y / 3 + 2 * t) % 4, ((x + y) / 7 + t) % 4);
}

class ViewCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        writeClip(*dir_, makeClip(5, busy));
        std::vector<int16_t> sound(3000);
        for (size_t i = 0; i < sound.size(); ++i) sound[i] = static_cast<int16_t>((i % 50) * 600 - 15000);
        writeWav(dir_->file("s.wav"), sound);
        const auto r = testsupport::run(VENDREL_BIN, {"-c2", "-e4", "-a" + dir_->file("s.wav"), framePattern(*dir_),
                                                      dir_->file("movie.bin")});
        ASSERT_EQ(r.status, 0) << r.output;
        stream_ = new Bytes(testsupport::readFile(dir_->file("movie.bin")));
    }
    static void TearDownTestSuite() {
        delete stream_;
        delete dir_;
    }

    // Checks a damaged copy of the stream; returns the run's result.
    testsupport::RunResult check(const Bytes& damaged, std::vector<std::string> extra = {}) {
        TempDir scratch;
        testsupport::writeFile(scratch.file("d.bin"), damaged);
        extra.insert(extra.begin(), "-c2");
        extra.push_back("--check");
        extra.push_back(scratch.file("d.bin"));
        return view(extra);
    }

    std::vector<size_t> videoBlocks() const {
        std::vector<size_t> v;
        for (const BlockAt& b : blocksOf(*stream_)) {
            if (!b.audio) v.push_back(b.offset);
        }
        return v;
    }

    static TempDir* dir_;
    static Bytes* stream_;
};

TempDir* ViewCheck::dir_ = nullptr;
Bytes* ViewCheck::stream_ = nullptr;

void expectViolation(const testsupport::RunResult& r, const std::string& text) {
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("violation: "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(text), std::string::npos) << "expected \"" << text << "\" in:\n" << r.output;
}

TEST_F(ViewCheck, TheEncodersStreamPasses) {
    ASSERT_GE(videoBlocks().size(), 4u);
    const auto r = check(*stream_);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("violations: 0,"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("frames: 5,"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("index at offset 0 (found by scanning)"), std::string::npos) << r.output;
}

TEST_F(ViewCheck, FlippedPageEndMarker) {
    Bytes d = *stream_;
    d[videoBlocks()[0] + 0x1FFF] = 0x7D;  // ring slot 0 must end with 0x7B
    expectViolation(check(d), "page-end marker 0x7D at ring slot 0, expected 0x7B");
}

TEST_F(ViewCheck, CommandCutAtTheBlockEnd) {
    // In the block where the stream ends, the last frame end is followed by
    // 0x7F alone. From there on, NOPs and then a DRAW4 of 16 entries (81
    // bytes) that cannot end before the block's marker.
    Bytes d = *stream_;
    bool placed = false;
    for (size_t block : videoBlocks()) {
        size_t run = 0x1FFF;
        while (run > 0 && d[block + run - 1] == 0x7F) --run;
        if (run == 0x1FFF || run == 0 || d[block + run - 1] != 0x7E) continue;
        const size_t draw = std::max<size_t>(run, 0x1FFF - 78);
        for (size_t i = run; i < draw; ++i) d[block + i] = 0x00;
        d[block + draw] = 0x3F;
        placed = true;
        break;
    }
    ASSERT_TRUE(placed) << "no block holds the last frame end and the stream end";
    expectViolation(check(d), "crosses the end of the block");
}

TEST_F(ViewCheck, BadOpcode) {
    Bytes d = *stream_;
    d[videoBlocks()[0]] = 0x65;  // the first byte of the stream is a command
    expectViolation(check(d), "0x65 is not a command");
}

TEST_F(ViewCheck, WrongBlockCounts) {
    Bytes d = *stream_;
    ++d[6];  // one video block more than the file holds
    expectViolation(check(d), "the index lists");
    d = *stream_;
    ++d[22];  // one audio block more than the bitmap marks
    expectViolation(check(d), "bitmap marks");
}

TEST_F(ViewCheck, AudioPageMarker) {
    Bytes d = *stream_;
    const auto blocks = blocksOf(d);
    ASSERT_TRUE(blocks[1].audio);
    d[blocks[1].offset + 256] ^= 0x10;  // second audio block: 0x92 must stay 0x92
    expectViolation(check(d), "audio page marker 0x82, expected 0x92");
}

TEST_F(ViewCheck, DamagedStreamEndAndTruncation) {
    Bytes d = *stream_;
    d[videoBlocks().back() + 100] = 0x00;
    expectViolation(check(d), "after the stream end");
    d.assign(stream_->begin(), stream_->end() - 1000);
    expectViolation(check(d), "the file ends inside block");
}

TEST_F(ViewCheck, IndexBehindBootCode) {
    Bytes d = *stream_;
    d.insert(d.begin(), 1000, 0xC3);
    auto r = check(d);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("index at offset 1000 (found by scanning)"), std::string::npos) << r.output;
    r = check(d, {"--boot", "1000"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("index at offset 1000 (given by --boot)"), std::string::npos) << r.output;
    expectViolation(check(d, {"--boot", "0"}), "video fifoTop");
}

// The rate line of the summary, and what --rate lists at a rate too low and
// at the rate the summary gives, on the sample clip (the fixture's stream
// fits the player's buffer and plays at any rate).
TEST_F(ViewCheck, RateListsLateFramesAndGivesTheNeededRate) {
    auto r = check(*stream_);
    EXPECT_NE(r.output.find("playback: plays without stalls at any rate"), std::string::npos) << r.output;

    TempDir scratch;
    ASSERT_EQ(testsupport::run(MAKE_SAMPLE_BIN, {scratch.file("s"), "12"}).status, 0);
    const std::string stream = scratch.file("s.bin");
    ASSERT_EQ(testsupport::run(VENDREL_BIN, {"-c2", "-e11", "-a" + scratch.file("s/audio.wav"),
                                             scratch.file("s/frame%05d.bmp"), stream})
                  .status,
              0);
    r = view({"-c2", "--check", "--rate", "20", stream});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("late: frame "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("late at 20.0 KiB/s"), std::string::npos) << r.output;
    const std::string from = "playback: plays without stalls from ";
    const size_t at = r.output.find(from);
    ASSERT_NE(at, std::string::npos) << r.output;
    const double needed = std::stod(r.output.substr(at + from.size()));
    EXPECT_GT(needed, 20.0);

    r = view({"-c2", "--check", "--rate", std::to_string(needed), stream});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("late: "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("0 frames late, 0 sound gaps"), std::string::npos) << r.output;
}

TEST_F(ViewCheck, UnreadableFilesEndWithOneLine) {
    TempDir scratch;
    auto r = view({"--check", scratch.file("missing.bin")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(testsupport::lines(r.output).size(), 1u) << r.output;

    testsupport::writeFile(scratch.file("noise.bin"), Bytes(70000, 0x5A));
    r = view({"--check", scratch.file("noise.bin")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("no index found"), std::string::npos) << r.output;

    // What the file is instead: a folder, a video, a picture.
    r = view({"--check", scratch.path()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, scratch.path() + " is a folder, not a stream\n");
    Bytes mp4(70000, 0);
    memcpy(mp4.data() + 4, "ftypisom", 8);
    testsupport::writeFile(scratch.file("film.mp4"), mp4);
    r = view({"--check", scratch.file("film.mp4")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("film.mp4 is not a stream: it is a video file"), std::string::npos) << r.output;
    testsupport::writeFile(scratch.file("f.bmp"), Bytes{'B', 'M', 0x36, 0, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0});
    r = view({"--check", scratch.file("f.bmp")});
    EXPECT_NE(r.output.find("f.bmp is not a stream: it is a BMP picture"), std::string::npos) << r.output;

    testsupport::writeFile(scratch.file("cut.bin"), Bytes(stream_->begin(), stream_->begin() + 3000));
    r = view({"--check", scratch.file("cut.bin")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("the file ends inside the index"), std::string::npos) << r.output;
}

TEST(ViewCommandLine, BadCommandLinesPrintTheUsage) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"-c3", "s.bin"},
        {"--png", "out.png", "s.bin"},
        {"--png", "%d_%d.png", "s.bin"},
        {"--rgb", "%s.rgb", "s.bin"},
        {"--boot", "12x", "s.bin"},
        {"--boot", "70000", "s.bin"},
        {"--rate", "0", "s.bin"},
        {"--rate", "fast", "s.bin"},
        {"--y4m", "-", "--rate", "100", "s.bin"},
        {"a.bin", "b.bin"},
        {"--check", "--wav", "x.wav", "s.bin"},
        {"--y4m"},
        {"-c1"},
    };
    for (const auto& args : bad) {
        const auto r = view(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_NE(r.output.find("vendrel-view [options] STREAM"), std::string::npos) << r.output;
    }
    auto r = view({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("--check"), std::string::npos);
    r = view({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("vendrel-view"), std::string::npos);
}

}  // namespace
