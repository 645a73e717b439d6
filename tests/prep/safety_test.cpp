// What vendrel-prep must never lose: the good output of an earlier run, its
// own input, a folder another run is writing into; and what it must say
// when it stops. Skipped where ffmpeg is not installed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_support.h"

using testsupport::fileExists;
using testsupport::readFile;
using testsupport::run;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

const std::string PREP = VENDREL_PREP_BIN;

// A clip of the test pattern with a tone, `seconds` long.
void makeClip(const std::string& ffmpeg, const std::string& path, const std::string& seconds) {
    ASSERT_EQ(testsupport::makeLavfiClip(ffmpeg, path, "testsrc2=size=320x240:rate=15", "sine", "mpeg4", seconds), "");
}

int framesIn(const std::string& dir) {
    int n = 0;
    char name[32];
    for (;; ++n) {
        snprintf(name, sizeof name, "/frame%05d.bmp", n);
        if (!fileExists(dir + name)) return n;
    }
}

std::string textOf(const std::string& path) {
    const std::vector<uint8_t> bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Waits (at most about 60 s) until the file exists.
bool appears(const std::string& path) {
    for (int i = 0; i < 6000 && !fileExists(path); ++i) usleep(10000);
    return fileExists(path);
}

TEST(PrepKeeps, AnInputThatCannotBeDecodedLeavesTheEarlierOutput) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(ffmpeg, dir.file("clip.mkv"), "1");
    const std::string out = dir.file("out");
    ASSERT_EQ(run(PREP, {dir.file("clip.mkv"), out}).status, 0);
    ASSERT_EQ(framesIn(out), 15);
    testsupport::writeText(dir.file("notes.mp4"), "not a video\n");
    testsupport::writeText(dir.file("empty.mp4"), "");
    const std::vector<std::vector<std::string>> bad = {{dir.file("notes.mp4")},
                                                       {dir.file("empty.mp4")},
                                                       {"--start", "30", dir.file("clip.mkv")}};
    for (std::vector<std::string> args : bad) {
        args.insert(args.begin(), "--overwrite");
        args.push_back(out);
        const RunResult r = run(PREP, args);
        EXPECT_EQ(r.status, 1) << r.output;
        // What failed is said, and nothing about a sound the input has.
        EXPECT_TRUE(has(r.output, "vendrel-prep: ffmpeg failed on ") || has(r.output, "vendrel-prep: no picture frames in ") ||
                    has(r.output, " is past the end of "))
            << r.output;
        EXPECT_FALSE(has(r.output, "no sound")) << r.output;
        EXPECT_EQ(framesIn(out), 15) << r.output;
        EXPECT_TRUE(fileExists(out + "/audio.wav"));
    }
    // Its own input is never removed.
    const RunResult r = run(PREP, {"--overwrite", out + "/frame00010.bmp", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "vendrel-prep: " + out + "/frame00010.bmp is one of the files --overwrite would remove from " +
                            out + ": move it out first\n");
    EXPECT_EQ(framesIn(out), 15);
}

TEST(PrepKeeps, ASignalEndsTheRunAsAFailure) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(ffmpeg, dir.file("long.mkv"), "60");
    const std::string out = dir.file("out");
    const int pid = testsupport::startProgram(PREP, {dir.file("long.mkv"), out}, dir.file("printed"));
    const bool begun = appears(out + "/frame00010.bmp");
    kill(pid, SIGTERM);
    const int status = testsupport::waitProgram(pid);
    ASSERT_TRUE(begun);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    const std::string printed = textOf(dir.file("printed"));
    // What was printed before is there too: the buffer was flushed.
    EXPECT_TRUE(has(printed, "vendrel-prep: sound: ")) << printed;
    EXPECT_TRUE(has(printed, "vendrel-prep: stopped by SIGTERM: the files of this run are removed\n")) << printed;
    EXPECT_FALSE(fileExists(out));
}

TEST(PrepKeeps, OneRunAtATimeWritesIntoAFolder) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(ffmpeg, dir.file("first.mkv"), "20");
    makeClip(ffmpeg, dir.file("second.mkv"), "1");
    const std::string out = dir.file("out");
    const int pid = testsupport::startProgram(PREP, {dir.file("first.mkv"), out}, dir.file("printed"));
    const bool begun = appears(out + "/frame00001.bmp");
    const RunResult second = run(PREP, {dir.file("second.mkv"), out});
    const int status = testsupport::waitProgram(pid);
    ASSERT_TRUE(begun);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.output, "vendrel-prep: " + out +
                                 " is in use by another vendrel-prep run: wait for it, or choose another folder\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << textOf(dir.file("printed"));
    EXPECT_EQ(framesIn(out), 300);
}

TEST(PrepKeeps, APipeAsInputIsRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir.file("p");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const RunResult r = run("/usr/bin/timeout", {"20", PREP, fifo, dir.file("out")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "vendrel-prep: " + fifo + " is a pipe or a device: give the input as a file\n");
    EXPECT_FALSE(fileExists(dir.file("out")));
}

TEST(PrepKeeps, NamesWithAColonAreFiles) {
    REQUIRE_FFMPEG();
    TempDir dir;
    for (const char* name : {"clip:1.mkv", "pipe:0"}) {
        makeClip(ffmpeg, dir.file("clip.mkv"), "0.5");
        ASSERT_EQ(rename(dir.file("clip.mkv").c_str(), dir.file(name).c_str()), 0);
        // Named as a user in that folder would: "clip:1.mkv" reads like a protocol.
        const std::string out = std::string("out-") + name[0];
        const RunResult r = run(PREP, {name, out}, dir.path());
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(framesIn(dir.file(out)), 8) << r.output;
        EXPECT_TRUE(fileExists(dir.file(out) + "/audio.wav"));
    }
}

}  // namespace
