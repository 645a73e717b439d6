// The shell blocks of the README and docs/ that a user would paste, run line
// by line as a user would type them: the README's by-hand ffmpeg recipe,
// whose every frame vendrel must take and the preview show, and the parts
// recipe of docs/parts.md, with and without --rate. Every other shell block
// must be marked as an example that needs the user's own file.
#include <gtest/gtest.h>

#include <filesystem>
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
constexpr const char* PARTS_MARK = "<!-- parts recipe";
constexpr const char* EXAMPLE_MARK = "<!-- example";

std::vector<std::string> documentLines(const std::string& name) {
    std::ifstream file(std::string(VENDREL_SOURCE_DIR) + "/" + name);
    std::stringstream text;
    text << file.rdbuf();
    return lines(text.str());
}

// The lines of the first ```sh block after the mark.
std::vector<std::string> recipeLines(const std::string& document = "README.md", const char* mark = RECIPE_MARK) {
    std::vector<std::string> recipe;
    bool marked = false, inBlock = false;
    for (const std::string& line : documentLines(document)) {
        if (line.rfind(mark, 0) == 0) marked = true;
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

// Runs each line with the built programs first on the PATH; false at the first failure.
bool runLines(const std::vector<std::string>& recipe, const std::string& folder, std::string* failure) {
    const std::string bin = std::string(VENDREL_BIN).substr(0, std::string(VENDREL_BIN).rfind('/'));
    for (const std::string& line : recipe) {
        const RunResult r = run("/bin/sh", {"-c", "PATH=" + bin + ":$PATH; " + line}, folder);
        if (r.status != 0) {
            *failure = line + "\n" + r.output + r.errors;
            return false;
        }
    }
    return true;
}

TEST(ReadmeRecipe, EveryShellBlockRunsInATestOrIsAnExample) {
    std::vector<std::string> documents = {"README.md"};
    for (const auto& entry : std::filesystem::directory_iterator(std::string(VENDREL_SOURCE_DIR) + "/docs"))
        if (entry.path().extension() == ".md") documents.push_back("docs/" + entry.path().filename().string());
    ASSERT_GE(documents.size(), 4u) << "the README and its pages in docs/";
    for (const std::string& document : documents) {
        std::string before;  // the last line that was not empty
        for (const std::string& line : documentLines(document)) {
            if (line.find_first_not_of(' ') != std::string::npos && line.substr(line.find_first_not_of(' ')) == "```sh") {
                const bool marked = before.rfind(RECIPE_MARK, 0) == 0 || before.rfind(PARTS_MARK, 0) == 0 ||
                                    before.rfind(EXAMPLE_MARK, 0) == 0;
                EXPECT_TRUE(marked) << document << ": a shell block after \"" << before << "\" is neither run nor marked";
            }
            if (line.find_first_not_of(' ') != std::string::npos) before = line.substr(line.find_first_not_of(' '));
        }
    }
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

// The parts recipe encodes every part, with the -c2 commands of a plain run
// and the -c1 commands of --rate alike.
TEST(ReadmeRecipe, PartsRecipeEncodesEveryPartWithAndWithoutRate) {
    if (testsupport::programPath("ffmpeg").empty())
        GTEST_SKIP() << "ffmpeg is not installed: the parts recipe is not run";
    const std::vector<std::string> recipe = recipeLines("docs/parts.md", PARTS_MARK);
    ASSERT_GE(recipe.size(), 2u) << "no parts recipe found in docs/parts.md";
    ASSERT_NE(recipe[0].find(" --parts "), std::string::npos) << recipe[0];

    for (const char* options : {"--parts", "--part-blocks 16 --rate 60"}) {
        TempDir dir;
        const RunResult made = run("/bin/sh", {"-c",
            "ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=15 -f lavfi -i sine=frequency=300 -t 3 "
            "-c:v mpeg4 -q:v 3 -c:a pcm_s16le film.mkv"}, dir.path());
        ASSERT_EQ(made.status, 0) << made.errors;
        std::vector<std::string> edited = recipe;
        edited[0].replace(edited[0].find("--parts"), 7, options);
        std::string failure;
        ASSERT_TRUE(runLines(edited, dir.path(), &failure)) << options << ": " << failure;

        int parts = 0;
        for (;; ++parts) {
            char folder[32];
            snprintf(folder, sizeof folder, "out/part%03d", parts + 1);
            if (!fileExists(dir.file(folder))) break;
            const RunResult view = run(VENDREL_VIEW_BIN, {"--check", dir.file(std::string(folder) + "/movie.bin")});
            EXPECT_EQ(view.status, 0) << options << " " << folder << ":\n" << view.output;
        }
        EXPECT_GE(parts, std::string(options) == "--parts" ? 1 : 2) << options;
    }
}

}  // namespace
