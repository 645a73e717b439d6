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
using testsupport::words;
using testsupport::RunResult;
using testsupport::TempDir;

const std::string PREP = VENDREL_PREP_BIN;
const std::string VENDREL_BESIDE = testsupport::vendrelBesidePrep();

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

// The number after `key` in text, or -1.
long numberAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + key.size(), nullptr, 10);
}

// Cuts the film with these options; returns the frames of all parts.
int checkParts(const TempDir& dir, const std::string& film, const std::vector<std::string>& options) {
    const std::string out = dir.file("out");
    constexpr int LIMIT = 40;
    std::vector<std::string> args = options;
    args.insert(args.end(), {"--overwrite", "--part-blocks", std::to_string(LIMIT), film, out});
    const RunResult prep = run(PREP, args);
    EXPECT_EQ(prep.status, 0) << prep.output;
    EXPECT_FALSE(fileExists(out + "/frame00000.bmp"));  // all moved into the parts
    std::string rate;
    for (size_t i = 0; i + 1 < options.size(); ++i)
        if (options[i] == "--rate") rate = options[i + 1];
    EXPECT_FALSE(fileExists(out + "/audio.wav"));

    int frames = 0;
    int parts = 0;
    long elapsed = 0;  // display frames of the parts before
    std::vector<std::string> commands;
    for (const std::string& line : lines(prep.output))
        if (line.rfind(VENDREL_BESIDE + " ", 0) == 0) commands.push_back(line);  // vendrel named by its path
    for (const std::string& line : commands) {
        ++parts;
        std::vector<std::string> args = words(line);
        args.erase(args.begin());
        char name[32];
        snprintf(name, sizeof name, "/part%03d", parts);
        const std::string folder = out + name;
        EXPECT_EQ(args.back(), folder + "/movie.bin");
        const RunResult vendrel = run(VENDREL_BIN, args);
        EXPECT_EQ(vendrel.status, 0) << line;
        EXPECT_EQ(vendrel.output.find("bmp read error"), std::string::npos) << line;

        const RunResult view = run(VENDREL_VIEW_BIN, {args[0], "--check", folder + "/movie.bin"});
        EXPECT_EQ(view.status, 0) << view.output;
        if (!rate.empty()) {
            // Every part plays at the rate from its own start, in the viewer's model too.
            const RunResult atRate = run(VENDREL_VIEW_BIN, {args[0], "--check", "--rate", rate, folder + "/movie.bin"});
            EXPECT_NE(atRate.output.find("KiB/s: 0 frames late, 0 sound gaps"), std::string::npos) << atRate.output;
        }
        bool allIndexed = false;
        EXPECT_LE(blocksOf(view.output, &allIndexed), LIMIT) << view.output;
        EXPECT_TRUE(allIndexed);
        const int partFrames = static_cast<int>(numberAfter(view.output, "frames: "));
        EXPECT_EQ("-e" + std::to_string(partFrames - 1), args[1]);  // the command takes every frame
        EXPECT_TRUE(fileExists(folder + "/audio.wav"));
        // The sound is cut where the next part's first frame begins (7812.5
        // samples a second, 60 display frames), whatever the frame rates.
        const long shown = numberAfter(view.output, "display time ");
        const auto sample = [](long time) { return (time * 15625 + 60) / 120; };
        if (parts < static_cast<int>(commands.size())) {
            EXPECT_EQ(numberAfter(vendrel.output, "numData:"), sample(elapsed + shown) - sample(elapsed)) << line;
        }
        elapsed += shown;
        frames += partFrames;
    }
    EXPECT_GE(parts, 2) << prep.output;
    return frames;
}

TEST(PrepParts, EveryPartEncodesChecksCleanAndFits) {
    if (testsupport::programPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed: end-to-end run skipped";
    TempDir dir;
    const std::string film = testsupport::makeCutFilm(dir);
    EXPECT_EQ(checkParts(dir, film, {}), 90);  // 6 s at 15 fps
    // With rate control the frame rate changes on the way (and a frame ends at the cut).
    EXPECT_GT(checkParts(dir, film, {"--rate", "60"}), 0);

    // A run not cut into parts takes the place of the parts; the one scene
    // cut counts alike with and without --rate (the start is none).
    for (const std::vector<std::string>& rate : {std::vector<std::string>{}, {"--rate", "60"}}) {
        std::vector<std::string> args = rate;
        args.insert(args.end(), {"--overwrite", film, dir.file("out")});
        const RunResult prep = run(PREP, args);
        EXPECT_EQ(prep.status, 0) << prep.output;
        EXPECT_NE(prep.output.find(", 1 scene cut\n"), std::string::npos) << prep.output;
        // The encoded movie.bin stays, as any file not of a run.
        EXPECT_FALSE(fileExists(dir.file("out/part001/frame00000.bmp"))) << prep.output;
        EXPECT_TRUE(fileExists(dir.file("out/part001/movie.bin")));
    }
}

TEST(PrepParts, AFrameLargerThanAPartIsNamed) {
    if (testsupport::programPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed: end-to-end run skipped";
    TempDir dir;
    const std::string film = testsupport::makeCutFilm(dir);
    const RunResult prep = run(PREP, {"--part-blocks", "3", film, dir.file("out")});
    EXPECT_EQ(prep.status, 1);
    EXPECT_NE(prep.output.find("vendrel-prep: frame 0 alone makes a stream of more than 3 blocks"), std::string::npos)
        << prep.output;
}

}  // namespace
