// End-to-end tests of vendrel's command line, frame loop and outputs: the
// built program runs on files made in a temporary folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/stream_check.h"
#include "support/test_support.h"

using testsupport::fileExists;
using testsupport::lines;
using testsupport::readFile;
using testsupport::run;
using testsupport::TempDir;

namespace {

constexpr uint32_t BLACK = 0x000000;
constexpr uint32_t WHITE = 0xF0F0F0;
const std::string BANNER = "X1turboZ 64COLOR VIDEO/AUDIO encoder";
const std::string STARS(55, '*');

// Left half black, right half white: on a fresh page black keeps palette
// number 0 and white takes number 1.
std::vector<uint32_t> halfWhite() {
    std::vector<uint32_t> px(320 * 200, BLACK);
    for (int y = 0; y < 200; ++y)
        for (int x = 160; x < 320; ++x) px[y * 320 + x] = WHITE;
    return px;
}

void writeFrames(const TempDir& dir, const std::vector<int>& numbers, int bitCount = 24) {
    for (int n : numbers) {
        char name[32];
        snprintf(name, sizeof name, "f%03d.bmp", n);
        testsupport::writeBmp(dir.file(name), 320, 200, halfWhite(), bitCount);
    }
}

bool contains(const std::vector<std::string>& all, const std::string& line) {
    return std::find(all.begin(), all.end(), line) != all.end();
}

int countOf(const std::vector<std::string>& all, const std::string& line) {
    return static_cast<int>(std::count(all.begin(), all.end(), line));
}

uint16_t u16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

}  // namespace

TEST(VendrelCommandLine, UsageTextForBadCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        {},                           // no arguments at all
        {"in%d.bmp"},                 // nothing names an output
        {"-x", "a", "b"},             // unknown option letter
        {"-", "a", "b"},              // a lone dash
        {"-s", "3", "a", "b"},        // the value belongs to the same argument
        {"-cfoo", "a", "b"},          // a number that does not convert
        {"-s99999999999", "a", "b"},  // a number out of the int range
        {"a", "b", "c"},              // a third positional argument
    };
    for (const auto& args : bad) {
        const auto r = run(VENDREL_BIN, args);
        const auto out = lines(r.output);
        EXPECT_EQ(r.status, 255) << args.size();
        ASSERT_EQ(out.size(), 11u) << r.output;
        EXPECT_EQ(out[0], "vendrel [options] [in_file] [out_file]");
        EXPECT_EQ(out[2], "   -s[number]   : start number of source file");
        EXPECT_EQ(out[6], "                  0 : separeted RAW GRAM");
        EXPECT_EQ(out[10], "   -a[filepath] : audio stream file");
    }
}

TEST(VendrelCommandLine, RefusesUnsafeSettingsBeforeWritingAnything) {
    TempDir dir;
    writeFrames(dir, {0});
    const std::vector<std::vector<std::string>> refused = {
        {"-k0", "-c1", dir.file("f%03d.bmp"), dir.file("out.bin")},
        {"-k-2", "-c1", dir.file("f%03d.bmp"), dir.file("out.bin")},
        {"-c1", dir.file("f%s.bmp"), dir.file("out.bin")},
        {"-c1", dir.file("f%03d.bmp"), dir.file("out%d%d.bin")},
    };
    for (const auto& args : refused) {
        const auto r = run(VENDREL_BIN, args);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(lines(r.output).size(), 1u) << r.output;
        EXPECT_NE(r.output.find("error"), std::string::npos) << r.output;
        EXPECT_FALSE(fileExists(dir.file("out.bin")));
    }
}

TEST(VendrelFrameLoop, StartRaisesLastAndStepSkipsNumbers) {
    TempDir dir;
    writeFrames(dir, {5, 6, 7, 8, 9, 10, 11});
    // -e5 -s10: the start number raises the last number, so frame 10 alone.
    auto r = run(VENDREL_BIN, {"-e5", "-s10", dir.file("f%03d.bmp"), dir.file("r%03d.gram")});
    EXPECT_EQ(r.status, 0);
    auto out = lines(r.output);
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[0], BANNER);
    EXPECT_EQ(out[1], "");
    EXPECT_TRUE(contains(out, dir.file("f010.bmp") + ":out " + dir.file("r010.gram"))) << r.output;
    EXPECT_EQ(out.back(), "total 1 frames , 49152(0.046875 MB) bytes");
    EXPECT_TRUE(fileExists(dir.file("r010.gram")));
    EXPECT_FALSE(fileExists(dir.file("r005.gram")));

    // -s10 -e5: no frame at all.
    r = run(VENDREL_BIN, {"-s10", "-e5", dir.file("f%03d.bmp"), dir.file("q%03d.gram")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.output).back(), "total 0 frames , 0(0.000000 MB) bytes");

    // -k2 from 0 to 9 over frames 0..9 (only 5..11 exist here, so start at 5):
    // 5, 7, 9 are processed and the count is of numbers spanned.
    r = run(VENDREL_BIN, {"-S5", "-e9", "-K2", dir.file("f%03d.bmp"), dir.file("k%03d.gram")});
    EXPECT_EQ(r.status, 0);
    out = lines(r.output);
    EXPECT_EQ(out.back(), "total 6 frames , 147456(0.140625 MB) bytes");
    EXPECT_TRUE(fileExists(dir.file("k005.gram")));
    EXPECT_FALSE(fileExists(dir.file("k006.gram")));
    EXPECT_TRUE(fileExists(dir.file("k009.gram")));
}

TEST(VendrelFrameLoop, RawGramFileHoldsThePlanes) {
    TempDir dir;
    for (int bits : {1, 4, 8, 24, 32}) {
        writeFrames(dir, {0}, bits);
        const auto r = run(VENDREL_BIN, {"-c0", dir.file("f%03d.bmp"), dir.file("raw%d.gram")});
        ASSERT_EQ(r.status, 0) << r.output;
        const auto raw = readFile(dir.file("raw0.gram"));
        ASSERT_EQ(raw.size(), 0xC000u);
        // White has palette number 1: bit 0 lives in layer B of the blue plane.
        for (size_t i = 0; i < raw.size(); ++i) {
            const size_t inBlock = i % 2048;
            const bool layerB = i < 0x4000 && inBlock >= 1024 && inBlock < 2024;
            const bool rightHalf = (inBlock % 1024) % 40 >= 20;
            const uint8_t expected = layerB && rightHalf ? 0xFF : 0x00;
            ASSERT_EQ(raw[i], expected) << "bits " << bits << " offset " << i;
        }
    }
}

TEST(VendrelFrameLoop, MissingFrameEndsTheLoopAndTheStreamIsCompleted) {
    TempDir dir;
    writeFrames(dir, {0, 1, 3});
    const auto r = run(VENDREL_BIN, {"-c1", "-e3", dir.file("f%03d.bmp"), dir.file("m%03d.bin")});
    EXPECT_EQ(r.status, 0);
    const auto out = lines(r.output);
    EXPECT_TRUE(contains(out, dir.file("f002.bmp") + ":bmp read error")) << r.output;
    EXPECT_EQ(countOf(out, STARS), 2);
    EXPECT_EQ(out.back().rfind("total 2 frames , ", 0), 0u) << out.back();
    const auto stream = readFile(dir.file("m99999.bin"));
    ASSERT_GE(stream.size(), 4096u + 8192u);
    EXPECT_EQ((stream.size() - 4096) % 8192, 0u);
    EXPECT_EQ(u16(stream, 0), 0x0000);   // video ring top
    EXPECT_EQ(u16(stream, 2), 0x8000);   // video ring end
    EXPECT_EQ(u16(stream, 4), 0x2000);   // video block size
    EXPECT_EQ(u16(stream, 6), (stream.size() - 4096) / 8192);
    EXPECT_EQ(stream[8], 4);             // the starting interval
    for (size_t i = 16; i < 4096; ++i) ASSERT_EQ(stream[i], 0) << i;  // no audio
    EXPECT_EQ(stream.back(), 0x7D);      // the last block is the ring's last page
}

// A pattern that finds no frame is a failure in both programs; the stream
// keeps the bytes written. A run that read frames ends at its first missing
// one with status 0, and its stream checks clean.
TEST(VendrelFrameLoop, NoFrameReadIsAFailureForTheEncoderAndTheViewer) {
    TempDir dir;
    writeFrames(dir, {0, 1});
    auto r = run(VENDREL_BIN, {"-c2", "-e44", dir.file("f%5d.bmp"), dir.file("typo.bin")});
    EXPECT_EQ(r.status, 1) << r.output;
    const auto out = lines(r.output);
    const auto at = std::find(out.begin(), out.end(), dir.file("f    0.bmp") + ":bmp read error");
    ASSERT_NE(at, out.end()) << r.output;
    ASSERT_NE(at + 1, out.end());
    EXPECT_EQ(at[1], "error: no frame was read (check the in_file pattern and -s/-e)");
    EXPECT_EQ(readFile(dir.file("typo.bin")).size(), 4096u);
    auto v = run(VENDREL_VIEW_BIN, {"-c2", "--check", dir.file("typo.bin")});
    EXPECT_EQ(v.status, 1) << v.output;
    EXPECT_NE(v.output.find("the stream holds no frame"), std::string::npos) << v.output;
    EXPECT_NE(v.output.find("the stream has no stream end"), std::string::npos) << v.output;

    r = run(VENDREL_BIN, {"-c2", "-e44", dir.file("f%03d.bmp"), dir.file("two.bin")});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("error:"), std::string::npos) << r.output;
    v = run(VENDREL_VIEW_BIN, {"-c2", "--check", dir.file("two.bin")});
    EXPECT_EQ(v.status, 0) << v.output;
}

TEST(VendrelFrameLoop, PagesAlternateOnlyWithDoubleBuffering) {
    TempDir dir;
    writeFrames(dir, {0, 1, 2, 3});
    auto r = run(VENDREL_BIN, {"-c2", "-e3", dir.file("f%03d.bmp"), dir.file("d.bin")});
    ASSERT_EQ(r.status, 0);
    std::vector<char> pages;
    for (const auto& line : lines(r.output))
        if (line.rfind("P", 0) == 0 && line.find("[enc ") != std::string::npos) pages.push_back(line[1]);
    EXPECT_EQ(pages, (std::vector<char>{'0', '1', '0', '1'}));
    EXPECT_EQ(testsupport::streamViolations(dir.file("d.bin"), 2), 0);

    r = run(VENDREL_BIN, {"-c1", "-e3", dir.file("f%03d.bmp"), dir.file("s.bin")});
    pages.clear();
    for (const auto& line : lines(r.output))
        if (line.rfind("P", 0) == 0 && line.find("[enc ") != std::string::npos) pages.push_back(line[1]);
    EXPECT_EQ(pages, (std::vector<char>{'0', '0', '0', '0'}));
    EXPECT_EQ(testsupport::streamViolations(dir.file("s.bin"), 1), 0);
}

TEST(VendrelStartUp, BootCodeGoesInFrontOfTheIndex) {
    TempDir dir;
    writeFrames(dir, {0});
    std::vector<uint8_t> boot(1000);
    for (size_t i = 0; i < boot.size(); ++i) boot[i] = static_cast<uint8_t>(i * 7 + 1);
    testsupport::writeFile(dir.file("boot.bin"), boot);
    auto r = run(VENDREL_BIN, {"-c1", "-b" + dir.file("boot.bin"), dir.file("f%03d.bmp"), dir.file("movie.bin")});
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(contains(lines(r.output), "bootfile :" + dir.file("boot.bin") + ":1000 bytes")) << r.output;
    auto stream = readFile(dir.file("movie.bin"));  // no conversion: the pattern is the name
    ASSERT_GE(stream.size(), 5096u + 8192u);
    EXPECT_TRUE(std::equal(boot.begin(), boot.end(), stream.begin()));
    EXPECT_EQ(u16(stream, 1000 + 2), 0x8000);
    EXPECT_EQ((stream.size() - 5096) % 8192, 0u);
    EXPECT_EQ(testsupport::streamViolations(dir.file("movie.bin"), 1), 0);

    // A boot file longer than 64 KiB is cut at 65536 bytes.
    std::vector<uint8_t> big(70000, 0xAB);
    testsupport::writeFile(dir.file("big.bin"), big);
    r = run(VENDREL_BIN, {"-c1", "-b" + dir.file("big.bin"), dir.file("f%03d.bmp"), dir.file("big%02d.out")});
    ASSERT_EQ(r.status, 0);
    stream = readFile(dir.file("big99999.out"));
    ASSERT_GT(stream.size(), 65536u + 4096u);
    EXPECT_EQ(stream[65535], 0xAB);
    EXPECT_EQ(u16(stream, 65536 + 2), 0x8000);
}

TEST(VendrelStartUp, RawTypeIgnoresBootAndAudio) {
    TempDir dir;
    writeFrames(dir, {0});
    testsupport::writeFile(dir.file("boot.bin"), {1, 2, 3});
    const auto r = run(VENDREL_BIN, {"-c0", "-b" + dir.file("boot.bin"), "-a" + dir.file("none.wav"),
                                     dir.file("f%03d.bmp"), dir.file("o%d.gram")});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(fileExists(dir.file("o99999.gram")));
    EXPECT_TRUE(fileExists(dir.file("o0.gram")));
    EXPECT_EQ(r.output.find("bootfile"), std::string::npos);
}

TEST(VendrelStartUp, FailuresEndWithANonZeroStatus) {
    TempDir dir;
    writeFrames(dir, {0});
    // The stream cannot be created.
    auto r = run(VENDREL_BIN, {"-c1", dir.file("f%03d.bmp"), dir.file("no/such/dir.bin")});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(lines(r.output), "出力ファイルが作成できません。")) << r.output;
    EXPECT_TRUE(contains(lines(r.output), "error: cannot create the stream file " + dir.file("no/such/dir.bin") +
                                              ": No such file or directory"))
        << r.output;

    // A compressed type without an out_file pattern cannot create its stream either.
    r = run(VENDREL_BIN, {"-c1", "-b" + dir.file("boot.bin"), dir.file("f%03d.bmp")});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(lines(r.output), "error: no out_file given: compress types 1 and 2 write a stream file"))
        << r.output;

    // The parameter file does not open: the stream holds nothing but the boot code.
    r = run(VENDREL_BIN, {"-c1", "-f" + dir.file("none.txt"), dir.file("f%03d.bmp"), dir.file("p.bin")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(lines(r.output), "config_file '" + dir.file("none.txt") + "':can't open")) << r.output;
    EXPECT_EQ(readFile(dir.file("p.bin")).size(), 0u);

    // The WAV file does not open: the stream holds the all-zero placeholder index.
    r = run(VENDREL_BIN, {"-c1", "-a" + dir.file("none.wav"), dir.file("f%03d.bmp"), dir.file("a.bin")});
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(contains(lines(r.output), "audio_file :" + dir.file("none.wav"))) << r.output;
    const auto stream = readFile(dir.file("a.bin"));
    EXPECT_EQ(stream, std::vector<uint8_t>(4096, 0));

    // A source name longer than the buffers hold.
    r = run(VENDREL_BIN, {"-c0", dir.file(std::string(300, 'x') + "%d.bmp"), dir.file("l%d.gram")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("longer than 255 characters"), std::string::npos) << r.output;
}

TEST(VendrelFrameLoop, NoInFilePatternEndsAsIfTheFirstImageWereMissing) {
    TempDir dir;
    const auto r = run(VENDREL_BIN, {"-c1", "-b" + dir.file("none")}, dir.path());
    EXPECT_EQ(r.status, 255);  // no out_file pattern: the stream cannot be created
    const auto r2 = run(VENDREL_BIN, {"-c0", "-b" + dir.file("none")}, dir.path());
    EXPECT_EQ(r2.status, 1);  // not a single frame was read
    const auto out = lines(r2.output);
    ASSERT_GE(out.size(), 3u) << r2.output;
    EXPECT_EQ(out[out.size() - 3], ":bmp read error");
    EXPECT_EQ(out[out.size() - 2], "error: no frame was read (check the in_file pattern and -s/-e)");
    EXPECT_EQ(out.back(), "total 0 frames , 0(0.000000 MB) bytes");
}

TEST(VendrelStartUp, SoundLeadsWithTwoBlocksEvenWithoutFrames) {
    TempDir dir;
    writeFrames(dir, {0, 1});
    // 16-bit mono at 7812 samples per second, 5000 samples of a ramp.
    std::vector<uint8_t> wav = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                16, 0, 0, 0, 1, 0, 1, 0, 0x84, 0x1E, 0, 0, 0x08, 0x3D, 0, 0,
                                2, 0, 16, 0, 'd', 'a', 't', 'a', 0x10, 0x27, 0, 0};
    for (int i = 0; i < 5000; ++i) {
        wav.push_back(static_cast<uint8_t>(i * 5));
        wav.push_back(static_cast<uint8_t>((i * 5) >> 8));
    }
    testsupport::writeFile(dir.file("a.wav"), wav);

    // No frame at all: the index and the two leading audio blocks.
    auto r = run(VENDREL_BIN, {"-c1", "-s5", "-e1", "-a" + dir.file("a.wav"), dir.file("f%03d.bmp"), dir.file("n.bin")});
    ASSERT_EQ(r.status, 0) << r.output;
    auto out = lines(r.output);
    EXPECT_TRUE(contains(out, "audio_file :" + dir.file("a.wav")));
    EXPECT_TRUE(contains(out, "sampleRate:7812"));
    EXPECT_TRUE(contains(out, "numBits:16"));
    EXPECT_TRUE(contains(out, "numData:5000"));
    auto stream = readFile(dir.file("n.bin"));
    ASSERT_EQ(stream.size(), 4096u + 2 * 4096u);
    EXPECT_EQ(u16(stream, 16), 0x8000);
    EXPECT_EQ(u16(stream, 18), 0xA000);
    EXPECT_EQ(u16(stream, 20), 0x1000);
    EXPECT_EQ(u16(stream, 22), 2);
    EXPECT_EQ(u16(stream, 24), 0x1020);
    EXPECT_EQ(stream[32], 0xC0);
    EXPECT_EQ(stream[4096], 0x81);          // first page marker of the block at 0x8000
    EXPECT_EQ(stream[4096 + 0xF00], 0x8F);  // the last page keeps its own address
    EXPECT_EQ(stream[8192], 0x91);          // the second block lies at 0x9000

    // Two frames: audio, audio, then the video blocks with the due audio after them.
    r = run(VENDREL_BIN, {"-c1", "-e1", "-a" + dir.file("a.wav"), dir.file("f%03d.bmp"), dir.file("s.bin")});
    ASSERT_EQ(r.status, 0) << r.output;
    out = lines(r.output);
    stream = readFile(dir.file("s.bin"));
    const int video = u16(stream, 6);
    const int audio = u16(stream, 22);
    EXPECT_EQ(video, 4);  // the stream end runs to the ring's last page
    EXPECT_EQ(stream.size(), 4096u + video * 8192u + audio * 4096u);
    EXPECT_EQ(stream[32] & 0xC0, 0xC0);
    EXPECT_EQ(stream[32] & 0x20, 0x00);  // the first video block follows the two audio blocks
    EXPECT_EQ(countOf(out, "FBLOCK[AUDIO,   0]"), 1);
    EXPECT_EQ(audio, 2);                 // 8 display frames: nothing more is due
    EXPECT_EQ(testsupport::streamViolations(dir.file("s.bin"), 1), 0);
}

// An output that is also an input destroyed that input before it was read:
// boot code, parameters, sound or frames. Refused, by whatever name, before
// anything is written.
TEST(VendrelStartUp, OutputThatIsAnInputIsRefused) {
    TempDir dir;
    writeFrames(dir, {0, 1, 2});
    const std::vector<uint8_t> bytes = {'k', 'e', 'e', 'p', '\n'};
    for (const char* name : {"boot.bin", "params.txt", "a.wav"}) testsupport::writeFile(dir.file(name), bytes);
    const std::string frames = dir.file("f%03d.bmp");
    const auto frame2 = readFile(dir.file("f002.bmp"));
    struct Case {
        std::vector<std::string> args;
        std::string input;   // the input named in the message; empty: the run goes on
        std::string output;  // the output named, as formatted
    };
    const std::vector<Case> cases = {
        {{"-c2", "-b" + dir.file("boot.bin"), frames, dir.file("boot.bin")}, "boot.bin", dir.file("boot.bin")},
        {{"-c1", "-f" + dir.file("params.txt"), frames, dir.path() + "/./params.txt"}, "params.txt",
         dir.path() + "/./params.txt"},
        {{"-c2", "-a" + dir.file("a.wav"), frames, dir.file("a.wav")}, "a.wav", dir.file("a.wav")},
        {{"-c0", "-e2", frames, frames}, "f000.bmp", dir.file("f000.bmp")},
        // written at frame 0, read at frame 2
        {{"-c0", "-e2", frames, dir.file("f002.bmp")}, "f002.bmp", dir.file("f002.bmp")},
        {{"-c1", "-f" + dir.file("params.txt"), frames, dir.file("out.bin")}, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        const auto r = run(VENDREL_BIN, c.args);
        if (c.input.empty()) {
            EXPECT_EQ(r.status, 0) << r.output;
            continue;
        }
        EXPECT_EQ(r.status, 255) << r.output;
        EXPECT_EQ(lines(r.output), std::vector<std::string>{"error: the output file '" + c.output +
                                                            "' is the input file '" + dir.file(c.input) +
                                                            "'; give the output another name"});
        if (c.input.find(".bmp") == std::string::npos) {
            EXPECT_EQ(readFile(dir.file(c.input)), bytes);
        }
    }
    EXPECT_EQ(readFile(dir.file("f002.bmp")), frame2);
}

// A boot code file that cannot be read, and a parameter file that is not a
// file, end the run with status 1 and say so. The boot code is checked before
// the stream is created, so an earlier stream of that name stays as it was.
TEST(VendrelStartUp, BootAndParameterFilesMustBeFiles) {
    TempDir dir;
    writeFrames(dir, {0});
    const std::vector<uint8_t> earlier(5000, 0x5A);
    for (const std::string& boot : {dir.file("missing.bin"), dir.path()}) {
        testsupport::writeFile(dir.file("s.bin"), earlier);
        const auto r = run(VENDREL_BIN, {"-c2", "-b" + boot, dir.file("f%03d.bmp"), dir.file("s.bin")});
        EXPECT_EQ(r.status, 1) << boot;
        EXPECT_TRUE(contains(lines(r.output), "bootfile :" + boot + ":can't open")) << r.output;
        EXPECT_EQ(readFile(dir.file("s.bin")), earlier) << boot;
    }
    // A folder read as an empty file; /dev/zero never ended.
    for (const std::string& params : {dir.path(), std::string("/dev/null")}) {
        const auto r = run(VENDREL_BIN, {"-c1", "-f" + params, dir.file("f%03d.bmp"), dir.file("p.bin")});
        EXPECT_EQ(r.status, 1) << params;
        EXPECT_TRUE(contains(lines(r.output), "config_file '" + params + "':can't open (not a file)")) << r.output;
    }
}
