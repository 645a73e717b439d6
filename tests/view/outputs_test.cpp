// What the viewer's outputs may touch: never the stream, never a device or a
// pipe it did not make, never a file that was there before a failed run, and
// never a mix of two previews in one folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "view/clips.h"

namespace {

using namespace viewtest;
using testsupport::fileExists;
using testsupport::readFile;
using testsupport::RunResult;
using testsupport::TempDir;

// The sample clip as a double-buffered stream of the given frames.
std::string makeStream(const TempDir& dir, const std::string& name, int frames) {
    return sampleStream(dir, name, name + ".bin", frames);
}

int filesIn(const std::string& folder) {
    int n = 0;
    for (const std::string& line : testsupport::lines(testsupport::run("/bin/ls", {"-A", folder}).output)) n += !line.empty();
    return n;
}

TEST(ViewKeeps, AFailedRunLeavesWhatWasThereBefore) {
    TempDir dir;
    testsupport::writeFile(dir.file("noise.bin"), Bytes(70000, 0x5A));  // no index: the run fails
    testsupport::writeText(dir.file("keep.wav"), "an earlier sound\n");
    RunResult r = view({"--wav", dir.file("keep.wav"), "--y4m", dir.file("new.y4m"), dir.file("noise.bin")});
    EXPECT_EQ(r.status, 2) << r.output;
    const Bytes kept = readFile(dir.file("keep.wav"));
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "an earlier sound\n");
    EXPECT_FALSE(fileExists(dir.file("new.y4m")));
    EXPECT_EQ(filesIn(dir.path()), 2) << "no temporary file is left";

    // A named pipe (as a device would be) is written to, never removed.
    const std::string fifo = dir.file("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    r = view({"--wav", fifo, dir.file("noise.bin")});
    close(reader);
    EXPECT_EQ(r.status, 2) << r.output;
    struct stat info;
    ASSERT_EQ(stat(fifo.c_str(), &info), 0) << "the pipe was removed";
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST(ViewKeeps, AnOutputThatIsTheStreamIsRefused) {
    TempDir dir;
    const std::string stream = makeStream(dir, "s", 4);
    const Bytes before = readFile(stream);
    ASSERT_EQ(link(stream.c_str(), dir.file("other-name.bin").c_str()), 0);
    for (const char* option : {"--wav", "--y4m", "--rate-table"}) {
        for (const std::string& name : {stream, dir.file("other-name.bin")}) {
            const RunResult r = view({option, name, stream});
            EXPECT_EQ(r.status, 2) << option << " " << r.output;
            EXPECT_EQ(r.output, std::string(option) + ": " + name + " is the stream itself: choose another name\n");
        }
    }
    ASSERT_EQ(link(stream.c_str(), dir.file("f7.bin").c_str()), 0);
    const RunResult r = view({"--overwrite", "--png", dir.file("f%d.bin"), dir.file("f7.bin")});
    EXPECT_EQ(r.output, "--png: " + dir.file("f%d.bin") + " names the stream itself: choose another pattern\n");
    EXPECT_EQ(readFile(stream), before);
}

TEST(ViewKeeps, APreviewFolderHoldsOnePreview) {
    TempDir dir;
    const std::string longer = makeStream(dir, "long", 12);
    const std::string shorter = makeStream(dir, "short", 5);
    const std::string pattern = dir.file("p/%03d.png");
    ASSERT_EQ(view({"--png", pattern, longer}).status, 0);
    ASSERT_EQ(filesIn(dir.file("p")), 12);
    testsupport::writeText(dir.file("p/notes.txt"), "mine\n");

    RunResult r = view({"--png", pattern, shorter});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("--png: 7 frames of an earlier preview (" + dir.file("p/005.png") +
                            ") would stay beside the new ones: give --overwrite"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(filesIn(dir.file("p")), 13) << "a refused run changes nothing";

    // As long a preview again replaces the earlier one, as it always did.
    ASSERT_EQ(view({"--png", pattern, longer}).status, 0);
    EXPECT_EQ(filesIn(dir.file("p")), 13);

    r = view({"--overwrite", "--png", pattern, shorter});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("removed 7 frames of an earlier preview\n"), std::string::npos) << r.output;
    EXPECT_EQ(filesIn(dir.file("p")), 6) << "five frames and the notes";
    EXPECT_TRUE(fileExists(dir.file("p/004.png")));
    EXPECT_FALSE(fileExists(dir.file("p/005.png")));
}

// Pictures are written under hidden names until the run succeeds: a run
// stopped by a signal takes them away, with the folders it made.
TEST(ViewKeeps, ASignalLeavesNothingOfTheRun) {
    TempDir dir;
    const std::string stream = makeStream(dir, "s", 300);
    const int pid = testsupport::startProgram(VENDREL_VIEW_BIN, {"--png", dir.file("p/%05d.png"), stream},
                                              dir.file("printed"));
    for (int i = 0; i < 3000 && !fileExists(dir.file("p")); ++i) usleep(1000);
    kill(pid, SIGTERM);
    const int status = testsupport::waitProgram(pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) GTEST_SKIP() << "the run ended before the signal";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    const Bytes printed = readFile(dir.file("printed"));
    EXPECT_EQ(std::string(printed.begin(), printed.end()),
              "vendrel-view: stopped by SIGTERM: the files of this run are removed\n");
    EXPECT_FALSE(fileExists(dir.file("p")));
}

TEST(ViewKeeps, APipeAsTheStreamIsRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir.file("p");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Without a writer, reading the pipe would wait for ever.
    const RunResult r = testsupport::run("/usr/bin/timeout", {"20", VENDREL_VIEW_BIN, "--check", fifo});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, fifo + " is a pipe or a device: give the stream as a file\n");
}

}  // namespace
