// What a user meets first: streams read without -c, a mode given wrongly,
// previews written into folders that do not exist yet.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "view/clips.h"

namespace {

using namespace viewtest;
using testsupport::fileExists;
using testsupport::TempDir;

// 48 colours of moving diagonal bands and a shaded disc moving over them
// (63 colours in all): enough colour and motion that a frame read onto the
// wrong page shows.
uint32_t discOverBands(int x, int y, int t) {
    const int dx = x - (60 + 40 * t), dy = y - 100;
    if (dx * dx + dy * dy < 30 * 30) return colour(15, (dx * dx + dy * dy) / 60, 15);
    return colour(y / 50 * 4, x / 80 * 4, (x + y + 5 * t) / 40 % 3 * 5);
}

// Two colours, white bars moving over black: every frame uses the same two
// palette numbers, so no reading leaves a number unannounced.
uint32_t barsOfTwoColours(int x, int, int t) { return (x + 9 * t) / 20 % 2 ? colour(15, 15, 15) : colour(0, 0, 0); }

class ViewMode : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        encode(makeClip(6, discOverBands), "");
        encode(makeClip(6, barsOfTwoColours), "-bars");
    }
    static void encode(const std::vector<Picture>& clip, const std::string& name) {
        writeClip(*dir_, clip);
        for (const char* mode : {"-c1", "-c2"}) {
            const auto r = testsupport::run(VENDREL_BIN, {mode, "-e5", framePattern(*dir_), stream(mode + name)});
            ASSERT_EQ(r.status, 0) << r.output;
            ASSERT_EQ(r.output.find("overflow"), std::string::npos) << "a frame was refused: " << r.output;
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string stream(const std::string& mode) { return dir_->file("movie" + mode + ".bin"); }
    static TempDir* dir_;
};

TempDir* ViewMode::dir_ = nullptr;

TEST_F(ViewMode, WithoutAModeTheStreamsOwnIsFound) {
    auto r = view({"--check", stream("-c1")});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("buffering: single (-c1), found (read double"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("never announced: page 0: none\n"), std::string::npos) << r.output;

    r = view({"--check", stream("-c2")});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("buffering: double (-c2), found (read single"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("never announced: page 0: none; page 1: none\n"), std::string::npos) << r.output;

    // Read single, the second page's first palette repeats the first page's.
    r = view({"--check", stream("-c2-bars")});
    EXPECT_NE(r.output.find("buffering: double (-c2), found (read single, "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("palette entries change nothing on their page)"), std::string::npos) << r.output;
    r = view({"--check", stream("-c1-bars")});
    EXPECT_NE(r.output.find("buffering: single (-c1), found"), std::string::npos) << r.output;
}

TEST_F(ViewMode, AWrongModeGivenIsAWarningNamingTheRightOne) {
    auto r = view({"-c1", "--check", stream("-c2")});
    EXPECT_NE(r.output.find("buffering: single (-c1), as given"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("the stream was likely encoded with -c2\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("warnings: 1\n"), std::string::npos) << r.output;

    r = view({"-c2", "--check", stream("-c1")});
    EXPECT_NE(r.output.find("the stream was likely encoded with -c1\n"), std::string::npos) << r.output;

    r = view({"-c2", "--check", stream("-c2")});
    EXPECT_EQ(r.output.find("likely encoded"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("warnings: 0\n"), std::string::npos) << r.output;
}

TEST_F(ViewMode, PreviewFoldersAreMadeAndAFailureLeavesNothing) {
    TempDir out;
    auto r = view({"--png", out.file("a/b/%05d.png"), "--wav", out.file("c/preview.wav"), stream("-c2")});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fileExists(out.file("a/b/00005.png")));
    EXPECT_TRUE(fileExists(out.file("c/preview.wav")));

    // A file where a folder should be: named with its reason, and the WAV
    // begun before it is taken away again, with the folder made for it.
    testsupport::writeText(out.file("blocked"), "a file, not a folder\n");
    r = view({"--wav", out.file("d/preview.wav"), "--png", out.file("blocked/%05d.png"), stream("-c2")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("cannot make the folder " + out.file("blocked")), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Not a directory"), std::string::npos) << r.output;
    EXPECT_FALSE(fileExists(out.file("d/preview.wav")));
    EXPECT_FALSE(fileExists(out.file("d")));
}

}  // namespace
