// The README's by-hand ffmpeg recipe, run line by line as a user would type
// it: every frame must be taken by vendrel and the preview must show them.
#include <gtest/gtest.h>

#include <fstream>
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

constexpr const char* RECIPE_MARK = "<!-- by-hand recipe";

// The lines of the first ```sh block after the recipe's mark.
std::vector<std::string> recipeLines() {
    std::ifstream readme(std::string(VENDREL_SOURCE_DIR) + "/README.md");
    std::stringstream text;
    text << readme.rdbuf();
    std::vector<std::string> recipe;
    bool marked = false, inBlock = false;
    for (const std::string& line : lines(text.str())) {
        if (line.rfind(RECIPE_MARK, 0) == 0) marked = true;
        if (!marked) continue;
        if (line.rfind("```", 0) == 0) {
            if (inBlock) break;
            inBlock = true;
            continue;
        }
        if (inBlock) recipe.push_back(line);
    }
    return recipe;
}

TEST(ReadmeRecipe, ByHandWithFfmpegEveryFrameIsTakenAndThePreviewShowsThem) {
    if (testsupport::programPath("ffmpeg").empty())
        GTEST_SKIP() << "ffmpeg is not installed: the README's ffmpeg recipe is not run";
    const std::vector<std::string> recipe = recipeLines();
    ASSERT_GE(recipe.size(), 3u) << "no recipe found in the README";

    TempDir dir;
    const RunResult made = run("/bin/sh", {"-c",
        "ffmpeg -v error -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=300 -t 2 "
        "-c:v mpeg4 -q:v 3 -c:a aac movie.mp4"}, dir.path());
    ASSERT_EQ(made.status, 0) << made.errors;

    const std::string bin = std::string(VENDREL_BIN).substr(0, std::string(VENDREL_BIN).rfind('/'));
    std::string encoderOutput;
    for (const std::string& line : recipe) {
        const RunResult r = run("/bin/sh", {"-c", "PATH=" + bin + ":$PATH; " + line}, dir.path());
        ASSERT_EQ(r.status, 0) << line << "\n" << r.output << r.errors;
        if (line.rfind("vendrel ", 0) == 0) encoderOutput = r.output;
    }
    EXPECT_EQ(encoderOutput.find("overflow"), std::string::npos) << "a frame was refused:\n" << encoderOutput;
    EXPECT_NE(encoderOutput.find("total 30 frames"), std::string::npos) << encoderOutput;  // 2 s at 15 fps
    EXPECT_TRUE(fileExists(dir.file("frames/preview/00029.png")));

    // The pictures the preview was made from: far from black.
    const RunResult view = run(VENDREL_VIEW_BIN, {"--rgb", dir.file("p%02d.rgb"), dir.file("frames/movie.bin")});
    ASSERT_EQ(view.status, 0) << view.output;
    for (const char* name : {"p00.rgb", "p29.rgb"}) {
        const std::vector<uint8_t> rgb = testsupport::readFile(dir.file(name));
        ASSERT_EQ(rgb.size(), 320u * 200 * 3);
        long bright = 0;
        for (uint8_t v : rgb) bright += v > 0x40;
        EXPECT_GT(bright, static_cast<long>(rgb.size() / 4)) << name;
    }
}

}  // namespace
