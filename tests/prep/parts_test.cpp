// vendrel-prep --part-blocks: a generated film cut into parts. Every part
// must encode with its printed command, check clean in the viewer and hold
// at most N blocks, and the parts together must hold every frame. Skipped
// where ffmpeg is not installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using testsupport::fileExists;
using testsupport::lines;
using testsupport::run;
using testsupport::RunResult;
using testsupport::TempDir;

const std::string PREP = VENDREL_PREP_BIN;
const std::string VENDREL_BESIDE = PREP.substr(0, PREP.rfind('/') + 1) + "vendrel";

std::string ffmpegPath() { return testsupport::programPath("ffmpeg"); }

// 3 s of a test card, then 3 s of a fractal zoom (a scene cut), with sound.
std::string makeFilm(const TempDir& dir) {
    const std::string film = dir.file("film.mkv");
    const RunResult r = run(ffmpegPath(), {"-v", "error", "-y", "-f", "lavfi", "-i",
                                           "testsrc2=size=320x240:rate=15:duration=3", "-f", "lavfi", "-i",
                                           "mandelbrot=size=320x240:rate=15,trim=duration=3", "-f", "lavfi", "-i",
                                           "sine=frequency=440:sample_rate=22050:duration=6", "-filter_complex",
                                           "[0][1]concat=n=2:v=1:a=0[v]", "-map", "[v]", "-map", "2:a", "-c:v",
                                           "ffv1", "-c:a", "pcm_s16le", film});
    EXPECT_EQ(r.status, 0) << r.errors;
    return film;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

// "blocks: V video, A audio (index: ...": V + A, and whether all are indexed.
int blocksOf(const std::string& summary, bool* allIndexed) {
    const size_t at = summary.find("blocks: ");
    if (at == std::string::npos) return -1;
    *allIndexed = summary.find("beyond the index") == std::string::npos;
    const char* p = summary.c_str() + at + 8;
    char* end = nullptr;
    const long video = std::strtol(p, &end, 10);
    const long audio = std::strtol(strstr(end, ", ") + 2, nullptr, 10);
    return static_cast<int>(video + audio);
}

TEST(PrepParts, EveryPartEncodesChecksCleanAndFits) {
    if (ffmpegPath().empty()) GTEST_SKIP() << "ffmpeg is not installed: end-to-end run skipped";
    TempDir dir;
    const std::string film = makeFilm(dir);
    const std::string out = dir.file("out");
    constexpr int LIMIT = 40;
    const RunResult prep = run(PREP, {"--part-blocks", std::to_string(LIMIT), film, out});
    ASSERT_EQ(prep.status, 0) << prep.output;
    EXPECT_FALSE(fileExists(out + "/frame00000.bmp"));  // all moved into the parts
    EXPECT_FALSE(fileExists(out + "/audio.wav"));

    int frames = 0;
    int parts = 0;
    for (const std::string& line : lines(prep.output)) {
        if (line.rfind(VENDREL_BESIDE + " ", 0) != 0) continue;  // the commands, vendrel named by its path
        ++parts;
        std::vector<std::string> args = words(line);
        args.erase(args.begin());
        char name[32];
        snprintf(name, sizeof name, "/part%03d", parts);
        const std::string folder = out + name;
        EXPECT_EQ(args.back(), folder + "/movie.bin");
        const RunResult vendrel = run(VENDREL_BIN, args);
        ASSERT_EQ(vendrel.status, 0) << line;
        EXPECT_EQ(vendrel.output.find("bmp read error"), std::string::npos) << line;

        const RunResult view = run(VENDREL_VIEW_BIN, {"-c2", "--check", folder + "/movie.bin"});
        EXPECT_EQ(view.status, 0) << view.output;
        bool allIndexed = false;
        EXPECT_LE(blocksOf(view.output, &allIndexed), LIMIT) << view.output;
        EXPECT_TRUE(allIndexed);
        const size_t at = view.output.find("frames: ");
        ASSERT_NE(at, std::string::npos);
        const int partFrames = std::atoi(view.output.c_str() + at + 8);
        EXPECT_EQ("-e" + std::to_string(partFrames - 1), args[1]);  // the command takes every frame
        EXPECT_TRUE(fileExists(folder + "/audio.wav"));
        frames += partFrames;
    }
    EXPECT_GE(parts, 3) << prep.output;
    EXPECT_EQ(frames, 90);  // 6 s at 15 fps
}

TEST(PrepParts, AFrameLargerThanAPartIsNamed) {
    if (ffmpegPath().empty()) GTEST_SKIP() << "ffmpeg is not installed: end-to-end run skipped";
    TempDir dir;
    const std::string film = makeFilm(dir);
    const RunResult prep = run(PREP, {"--part-blocks", "3", film, dir.file("out")});
    EXPECT_EQ(prep.status, 1);
    EXPECT_NE(prep.output.find("vendrel-prep: frame 0 alone makes a stream of more than 3 blocks"), std::string::npos)
        << prep.output;
}

}  // namespace
