// vendrel-prep from end to end: clips made by ffmpeg's own test sources go
// through vendrel-prep and then through vendrel, which must take every frame.
// Skipped where ffmpeg is not installed; the failure messages are checked
// everywhere.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "encoder/image/bmp.h"
#include "support/test_support.h"

using testsupport::fileExists;
using testsupport::lines;
using testsupport::readFile;
using testsupport::run;
using testsupport::words;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

const std::string PREP = VENDREL_PREP_BIN;
// Not installed in the tests, so the printed command names the vendrel
// built beside vendrel-prep.
const std::string VENDREL_BESIDE = testsupport::vendrelBesidePrep();

// A clip from lavfi sources (2 seconds unless told), which must be made.
void makeClip(const std::string& ffmpeg, const std::string& path, const std::string& picture,
              const std::string& sound, const std::string& codec, const std::string& seconds = "2") {
    ASSERT_EQ(testsupport::makeLavfiClip(ffmpeg, path, picture, sound, codec, seconds), "");
}

// The frames written: each must read through the encoder's reader as
// 320 x 200 with at most `limit` colours, all with the low 4 bits clear.
int checkFrames(const std::string& dir, int limit) {
    int count = 0;
    for (;; ++count) {
        char name[32];
        snprintf(name, sizeof name, "/frame%05d.bmp", count);
        BmpImage* image = bmpReadFile((dir + name).c_str());
        if (!image) break;
        EXPECT_EQ(image->width, 320);
        EXPECT_EQ(image->height, 200);
        std::set<int32_t> colours;
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 320; ++x) colours.insert(bmpGetPixelRGB888(image, x, y));
        bmpFree(image);
        EXPECT_LE(static_cast<int>(colours.size()), limit) << name;
        for (int32_t c : colours) EXPECT_EQ(c & 0x0F0F0F, 0) << name;
    }
    return count;
}

// Runs the vendrel command line that vendrel-prep printed last.
RunResult runPrintedCommand(const RunResult& prep) {
    const std::vector<std::string> out = lines(prep.output);
    EXPECT_FALSE(out.empty());
    if (out.empty()) return {};
    std::vector<std::string> args = words(out.back());
    EXPECT_FALSE(args.empty());
    if (args.empty() || args[0] != VENDREL_BESIDE) return {};
    args.erase(args.begin());
    return run(VENDREL_BIN, args);
}

void expectEveryFrameTaken(const RunResult& vendrel, int frames) {
    EXPECT_EQ(vendrel.status, 0);
    EXPECT_EQ(vendrel.output.find("palet work overflow"), std::string::npos) << vendrel.output;
    EXPECT_EQ(vendrel.output.find("error:color palet overflow"), std::string::npos) << vendrel.output;
    EXPECT_EQ(vendrel.output.find("bmp read error"), std::string::npos);
    EXPECT_NE(vendrel.output.find("total " + std::to_string(frames) + " frames"), std::string::npos)
        << vendrel.output;
}

TEST(PrepEndToEnd, TestPatternWithSoundAtTheDefaults) {
    REQUIRE_FFMPEG();
    TempDir dir;
    const std::string clip = dir.file("clip.mkv");
    makeClip(ffmpeg, clip, "testsrc2=size=320x240:rate=15", "sine=frequency=440:sample_rate=44100", "mpeg4");
    const std::string out = dir.file("out");
    const RunResult prep = run(PREP, {clip, out});
    ASSERT_EQ(prep.status, 0) << prep.output;
    EXPECT_EQ(prep.errors, "");

    EXPECT_EQ(checkFrames(out, 64), 30);  // 2 s at 15 fps
    EXPECT_FALSE(fileExists(out + "/params.txt"));
    const std::vector<uint8_t> wav = readFile(out + "/audio.wav");
    ASSERT_GT(wav.size(), 44u);
    const size_t samples = (wav.size() - 44) / 2;
    EXPECT_NEAR(static_cast<double>(samples), 2 * 7812.5, 80.0);
    int peak = 0;
    for (size_t i = 44; i + 1 < wav.size(); i += 2)
        peak = std::max(peak, std::abs(static_cast<int>(static_cast<int16_t>(wav[i] | wav[i + 1] << 8))));
    EXPECT_EQ(peak, 32767);

    EXPECT_EQ(lines(prep.output).back(), VENDREL_BESIDE + " -c2 -e29 -a" + out + "/audio.wav " + out +
                                             "/frame%05d.bmp " + out + "/movie.bin");
    expectEveryFrameTaken(runPrintedCommand(prep), 30);
    EXPECT_TRUE(fileExists(out + "/movie.bin"));
    EXPECT_NE(prep.output.find("the stream plays without stalls from "), std::string::npos) << prep.output;
}

// The rate vendrel-prep reports the stream needs, in KiB/s (-1 when missing).
double neededRate(const std::string& output) {
    const std::string key = "plays without stalls from ";
    const size_t at = output.find(key);
    return at == std::string::npos ? -1.0 : std::stod(output.substr(at + key.size()));
}

// vendrel-prep --rate on a clip: its own verdict under the model, the rate it
// reports, vendrel taking every frame of the printed -c1 command, and the
// viewer finding nothing late in vendrel's stream at that rate.
void expectPlaysAt(const std::string& clip, const std::string& out, double rate, int frames,
                   const std::vector<std::string>& more) {
    std::vector<std::string> args = {"--rate", std::to_string(rate)};
    args.insert(args.end(), more.begin(), more.end());
    args.insert(args.end(), {clip, out});
    const RunResult prep = run(PREP, args);
    ASSERT_EQ(prep.status, 0) << prep.output;
    EXPECT_NE(prep.output.find(": no late frame, no sound gap\n"), std::string::npos) << prep.output;
    const double needed = neededRate(prep.output);
    EXPECT_GT(needed, 0.0) << prep.output;
    EXPECT_LE(needed, rate) << prep.output;
    EXPECT_EQ(checkFrames(out, 64), frames);
    EXPECT_EQ(words(lines(prep.output).back()).at(1), "-c1");
    expectEveryFrameTaken(runPrintedCommand(prep), frames);
    // The viewer reads the stream vendrel wrote and runs the model on it.
    char atRate[64];
    snprintf(atRate, sizeof atRate, "at %.1f KiB/s: 0 frames late, 0 sound gaps\n", rate);
    const RunResult view = run(VENDREL_VIEW_BIN, {"-c1", "--check", "--rate", std::to_string(rate), out + "/movie.bin"});
    EXPECT_EQ(view.status, 0) << view.output;
    EXPECT_NE(view.output.find(atRate), std::string::npos) << view.output;
}

TEST(PrepRate, MovingPatternWithSoundPlaysAtTheRateAsked) {
    REQUIRE_FFMPEG();
    TempDir dir;
    const std::string clip = dir.file("clip.mkv");
    makeClip(ffmpeg, clip, "testsrc2=size=320x240:rate=30", "sine=frequency=440:sample_rate=44100", "mpeg4");
    // Far below what the clip needs at 20 fps with 64 colours. 20 fps would
    // show two of every three source frames, unevenly: the frames come at 15
    // fps, every other one of the source's 30.
    expectPlaysAt(clip, dir.file("out"), 40, 30, {"--fps", "20"});
}

TEST(PrepRate, StillPictureKeepsTheSoundGoing) {
    REQUIRE_FFMPEG();
    TempDir dir;
    const std::string clip = dir.file("still.mkv");
    makeClip(ffmpeg, clip, "smptebars=size=320x240:rate=15", "sine=frequency=300:sample_rate=44100", "ffv1", "10");
    // Nearly nothing but sound after the first frame, for longer than the
    // player's buffer holds; 10 s at 15 fps, the highest frame rate, which a
    // still picture costs nothing.
    expectPlaysAt(clip, dir.file("out"), 16, 150, {});
}

TEST(PrepRate, AMovingObjectIsNeverADoubleExposure) {
    REQUIRE_FFMPEG();
    TempDir dir;
    const std::string clip = dir.file("square.mkv");
    // A white square crossing black at 24 frames per second, 10 pixels a frame.
    makeClip(ffmpeg, clip,
             "color=black:s=320x200:r=24[b];color=white:s=40x40:r=24[w];[b][w]overlay=x='t*240':y=80,format=rgb24[out0]",
             "", "ffv1");
    const std::string out = dir.file("out");
    const RunResult prep = run(PREP, {"--rate", "250", "--fit", "stretch", clip, out});
    ASSERT_EQ(prep.status, 0) << prep.output;
    const int frames = checkFrames(out, 64);
    ASSERT_GT(frames, 10);
    // A frame that blended the source's pictures would show the square grey
    // where it was in some of them only.
    for (int f = 0; f < frames; ++f) {
        char name[32];
        snprintf(name, sizeof name, "/frame%05d.bmp", f);
        BmpImage* image = bmpReadFile((out + name).c_str());
        ASSERT_NE(image, nullptr);
        int grey = 0;
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 320; ++x) {
                const int level = (bmpGetPixelRGB888(image, x, y) >> 20) & 0xF;
                grey += level > 2 && level < 13;
            }
        bmpFree(image);
        EXPECT_LT(grey, 40) << name;  // a few pixels of the source's own edges, not a square's worth
    }
}

TEST(PrepRate, AFrameEndsAtASceneCut) {
    REQUIRE_FFMPEG();
    TempDir dir;
    const std::string clip = dir.file("cut.mkv");
    // The cut at 2.9 s is display frame 174, which few frame intervals divide.
    makeClip(ffmpeg, clip,
             "testsrc2=size=320x240:rate=30:duration=2.9[a];mandelbrot=size=320x240:rate=30,trim=duration=2,"
             "setpts=PTS-STARTPTS[b];[a][b]concat=n=2:v=1:a=0[out0]",
             "", "ffv1", "4.9");
    const std::string out = dir.file("out");
    const RunResult prep = run(PREP, {"--rate", "60", clip, out});
    ASSERT_EQ(prep.status, 0) << prep.output;
    const int frames = checkFrames(out, 64);
    // Each frame's start on the display timeline, as params.txt sets the intervals.
    const std::vector<uint8_t> bytes = readFile(out + "/params.txt");
    const std::string params(bytes.begin(), bytes.end());
    std::vector<int> intervals(static_cast<size_t>(frames), 0);
    int from = 0;
    for (const std::string& line : lines(params)) {
        const std::vector<std::string> w = words(line);
        if (w.size() == 2 && w[0] == "frame") from = std::stoi(w[1]);
        if (w.size() == 2 && w[0] == "video_interval" && from < frames) intervals[static_cast<size_t>(from)] = std::stoi(w[1]);
    }
    int interval = 4;
    int time = 0;
    bool startsAtCut = false;
    for (int f = 0; f < frames; ++f) {
        if (intervals[static_cast<size_t>(f)] > 0) interval = intervals[static_cast<size_t>(f)];
        startsAtCut |= time == 174;
        time += interval;
    }
    EXPECT_TRUE(startsAtCut) << params;
    EXPECT_NE(prep.output.find(", 1 scene cut\n"), std::string::npos) << prep.output;
}

TEST(PrepEndToEnd, MandelbrotAt20FpsWith16ColoursAndDither) {
    REQUIRE_FFMPEG();
    TempDir dir;
    const std::string clip = dir.file("clip.mkv");
    makeClip(ffmpeg, clip, "mandelbrot=size=320x240:rate=25", "", "mpeg4");
    const std::string out = dir.file("out");
    const RunResult prep = run(PREP, {"--fps", "20", "--colors", "16", "--dither", "ordered", clip, out});
    ASSERT_EQ(prep.status, 0) << prep.output;

    EXPECT_EQ(checkFrames(out, 16), 40);  // 2 s at 60/3 fps
    EXPECT_FALSE(fileExists(out + "/audio.wav"));
    EXPECT_NE(prep.output.find("no sound"), std::string::npos) << prep.output;
    EXPECT_EQ(prep.output.find("ffmpeg:"), std::string::npos) << "ffmpeg's own words: " << prep.output;
    const std::vector<uint8_t> bytes = readFile(out + "/params.txt");
    const std::string params(bytes.begin(), bytes.end());
    EXPECT_NE(params.find("\nvideo_interval 3\n"), std::string::npos) << params;
    EXPECT_NE(params.find("\npalet_limit 16\n"), std::string::npos) << params;

    const RunResult vendrel = runPrintedCommand(prep);
    expectEveryFrameTaken(vendrel, 40);
    EXPECT_NE(vendrel.output.find("video_interval = 3"), std::string::npos);
}

TEST(PrepEndToEnd, NoiseStretchedToTheScreen) {
    REQUIRE_FFMPEG();
    TempDir dir;
    const std::string clip = dir.file("clip.mkv");
    makeClip(ffmpeg, clip, "nullsrc=size=320x240:rate=15,geq=random(1)*255:128:128", "", "ffv1");
    const std::string out = dir.file("out");
    const RunResult prep = run(PREP, {"--fit=stretch", "--no-audio", clip, out});
    ASSERT_EQ(prep.status, 0) << prep.output;
    EXPECT_EQ(checkFrames(out, 64), 30);
    expectEveryFrameTaken(runPrintedCommand(prep), 30);
}

TEST(PrepEndToEnd, WideFilmGetsBlackBordersOnTheFourByThreeScreen) {
    REQUIRE_FFMPEG();
    TempDir dir;
    const std::string clip = dir.file("clip.mkv");
    makeClip(ffmpeg, clip, "color=c=white:size=320x180:rate=15", "", "ffv1");  // 16:9
    const std::string out = dir.file("out");
    ASSERT_EQ(run(PREP, {"--duration", "0.2", clip, out}).status, 0);
    BmpImage* image = bmpReadFile((out + "/frame00000.bmp").c_str());
    ASSERT_NE(image, nullptr);
    // 16:9 on a 4:3 screen fills 3/4 of its height: 150 of the 200 lines.
    int whiteLines = 0;
    for (int y = 0; y < 200; ++y) whiteLines += bmpGetPixelRGB888(image, 160, y) == 0xF0F0F0;
    EXPECT_EQ(bmpGetPixelRGB888(image, 160, 0), 0);
    EXPECT_EQ(bmpGetPixelRGB888(image, 160, 199), 0);
    EXPECT_NEAR(whiteLines, 150, 2);
    bmpFree(image);
}

TEST(PrepEndToEnd, InputFfmpegCannotReadIsReportedWithItsWords) {
    REQUIRE_FFMPEG();
    TempDir dir;
    testsupport::writeText(dir.file("notes.mp4"), "not a video at all\n");
    const RunResult prep = run(PREP, {dir.file("notes.mp4"), dir.file("out")});
    EXPECT_EQ(prep.status, 1);
    EXPECT_NE(prep.output.find("vendrel-prep: ffmpeg failed on"), std::string::npos) << prep.output;
    EXPECT_NE(prep.output.find("  ffmpeg: "), std::string::npos) << prep.output;
    EXPECT_EQ(prep.errors, "");
}

TEST(PrepFailures, MissingFfmpegIsNamed) {
    TempDir dir;
    testsupport::writeText(dir.file("in.mp4"), "x");
    const RunResult prep =
        run("/usr/bin/env", {"PATH=" + dir.path(), PREP, dir.file("in.mp4"), dir.file("out")});
    EXPECT_EQ(prep.status, 1);
    EXPECT_EQ(prep.output, "vendrel-prep: ffmpeg is not installed (apt-get install ffmpeg)\n");
    EXPECT_FALSE(fileExists(dir.file("out")));
}

TEST(PrepFailures, BadCommandLinesEndWithAReason) {
    TempDir dir;
    RunResult r = run(PREP, {"--colors", "48", "in", "out"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, "vendrel-prep: --colors must be 64, 32, 16, 8, 4 or 2\n");
    r = run(PREP, {dir.file("missing.mp4"), dir.file("out")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "vendrel-prep: cannot read " + dir.file("missing.mp4") + ": No such file or directory\n");
    r = run(PREP, {dir.path(), dir.file("out")});
    EXPECT_EQ(r.output, "vendrel-prep: cannot read " + dir.path() + ": Is a directory\n");
    r = run(PREP, {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.output).at(0), "vendrel-prep [options] INPUT OUTDIR");
    EXPECT_NE(r.output.find("--fps N          frames per second at most, 0.95 to 60"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("(16 to 100000)"), std::string::npos) << r.output;
}

// ---- What a new user trips over ---------------------------------------------

int framesIn(const std::string& dir) { return checkFrames(dir, 64); }

TEST(PrepNewcomer, AShorterRunNeverPicksUpTheFramesOfALongerOne) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(ffmpeg, dir.file("long.mkv"), "testsrc2=size=320x240:rate=15", "sine", "mpeg4");
    makeClip(ffmpeg, dir.file("short.mkv"), "mandelbrot=size=320x240:rate=15", "", "mpeg4");
    const std::string out = dir.file("out");
    ASSERT_EQ(run(PREP, {dir.file("long.mkv"), out}).status, 0);
    testsupport::writeText(out + "/notes.txt", "mine\n");

    RunResult prep = run(PREP, {"--duration", "1", dir.file("short.mkv"), out});
    EXPECT_EQ(prep.status, 1);
    EXPECT_NE(prep.output.find("is not empty"), std::string::npos) << prep.output;
    EXPECT_NE(prep.output.find("--overwrite"), std::string::npos) << prep.output;
    EXPECT_EQ(framesIn(out), 30) << "a refused run must leave the folder as it was";

    prep = run(PREP, {"--overwrite", "--duration", "1", dir.file("short.mkv"), out});
    ASSERT_EQ(prep.status, 0) << prep.output;
    EXPECT_NE(prep.output.find("removed 31 files of an earlier run"), std::string::npos) << prep.output;
    EXPECT_EQ(framesIn(out), 15);
    EXPECT_FALSE(fileExists(out + "/audio.wav"));
    EXPECT_TRUE(fileExists(out + "/notes.txt"));
    // The README's advice: a large -e encodes until the frames run out.
    std::vector<std::string> args = words(lines(prep.output).back());
    ASSERT_EQ(args.size(), 5u) << "vendrel -c2 -eN frames stream, no sound";
    args[2] = "-e99999";
    const RunResult vendrel = run(args[0], std::vector<std::string>(args.begin() + 1, args.end()));
    EXPECT_NE(vendrel.output.find("total 15 frames"), std::string::npos) << vendrel.output;
}

TEST(PrepNewcomer, ADamagedInputIsOneWarningNamingIt) {
    REQUIRE_FFMPEG();
    TempDir dir;
    const std::string whole = dir.file("whole.mp4");
    const RunResult made = run(ffmpeg, {"-v", "error", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=15", "-t", "3",
                                        "-c:v", "mpeg4", "-movflags", "+faststart", whole});
    ASSERT_EQ(made.status, 0) << made.errors;
    const std::vector<uint8_t> bytes = readFile(whole);
    const std::string half = dir.file("half.mp4");
    testsupport::writeFile(half, std::vector<uint8_t>(bytes.begin(), bytes.begin() + bytes.size() / 2));

    const RunResult prep = run(PREP, {half, dir.file("out")});
    EXPECT_EQ(prep.status, 0) << prep.output;
    int warnings = 0;
    for (const std::string& line : lines(prep.output)) {
        if (line.find("warning") == std::string::npos) continue;
        ++warnings;
        EXPECT_NE(line.find(half), std::string::npos) << line;
        EXPECT_NE(line.find("some pictures of"), std::string::npos) << line;
        EXPECT_NE(line.find("(ffmpeg: "), std::string::npos) << line;
    }
    EXPECT_EQ(warnings, 1) << prep.output;
    EXPECT_LT(framesIn(dir.file("out")), 45);
}

// A start past the end is said with the input's length; a still picture
// is said to be one, and shown for --duration when given; --fps is the
// highest rate, and the one taken is said.
TEST(PrepNewcomer, StartsStillsAndRatesAreSaid) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(ffmpeg, dir.file("clip.mkv"), "testsrc2=size=320x240:rate=25", "", "mpeg4");
    RunResult prep = run(PREP, {"--start", "5", dir.file("clip.mkv"), dir.file("a")});
    EXPECT_EQ(prep.status, 1);
    EXPECT_EQ(prep.output, "vendrel-prep: --start 5 is past the end of " + dir.file("clip.mkv") + ", which lasts 2.000 s\n");
    EXPECT_FALSE(fileExists(dir.file("a")));

    prep = run(PREP, {"--fps", "25", "--duration", "1", dir.file("clip.mkv"), dir.file("b")});
    ASSERT_EQ(prep.status, 0) << prep.output;
    EXPECT_NE(prep.output.find("25 fps is no whole number of 1/60 s display frames: taking 20 fps"), std::string::npos)
        << prep.output;
    EXPECT_EQ(framesIn(dir.file("b")), 20);

    const std::string still = dir.file("still.png");
    ASSERT_EQ(run(ffmpeg, {"-v", "error", "-f", "lavfi", "-i", "smptebars=size=320x240", "-frames:v", "1", still}).status, 0);
    prep = run(PREP, {still, dir.file("c")});
    ASSERT_EQ(prep.status, 0) << prep.output;
    EXPECT_NE(prep.output.find(still + " is a still picture: it makes one frame (give --duration S"), std::string::npos)
        << prep.output;
    EXPECT_NE(prep.output.find(": 1 frame at 15 fps"), std::string::npos) << prep.output;
    prep = run(PREP, {"--duration", "2", still, dir.file("d")});
    ASSERT_EQ(prep.status, 0) << prep.output;
    EXPECT_NE(prep.output.find(still + " is a still picture: shown for 2 s"), std::string::npos) << prep.output;
    EXPECT_EQ(framesIn(dir.file("d")), 30);
}

TEST(PrepNewcomer, MissingStreamsAreToldInOurWords) {
    REQUIRE_FFMPEG();
    TempDir dir;
    const std::string sound = dir.file("sound.wav");
    ASSERT_EQ(run(ffmpeg, {"-v", "error", "-f", "lavfi", "-i", "sine", "-t", "1", sound}).status, 0);
    const RunResult prep = run(PREP, {sound, dir.file("out")});
    EXPECT_EQ(prep.status, 1);
    EXPECT_EQ(prep.output, "vendrel-prep: " + sound + " has no video stream\n");
    EXPECT_FALSE(fileExists(dir.file("out")));
}

TEST(PrepNewcomer, FoldersAreMadeWithTheirParentsAndAFailedRunLeavesNone) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(ffmpeg, dir.file("clip.mkv"), "testsrc2=size=320x240:rate=15", "sine", "mpeg4");
    const RunResult prep = run(PREP, {"--duration", "0.5", dir.file("clip.mkv"), dir.file("a/b/c/")});
    ASSERT_EQ(prep.status, 0) << prep.output;
    EXPECT_EQ(framesIn(dir.file("a/b/c")), 8);
    const std::string command = lines(prep.output).back();
    EXPECT_EQ(command.find("//"), std::string::npos) << command;
    EXPECT_NE(command.find(" -a" + dir.file("a/b/c/audio.wav ")), std::string::npos) << command;
    expectEveryFrameTaken(runPrintedCommand(prep), 8);

    // Installed (as the README says) and on the PATH, the tools name vendrel
    // plainly, and the printed command runs as printed.
    const std::string build = VENDREL_BESIDE.substr(0, VENDREL_BESIDE.rfind('/'));
    const RunResult installed = run(CMAKE_COMMAND_BIN, {"--install", build, "--prefix", dir.file("prefix")});
    ASSERT_EQ(installed.status, 0) << installed.output << installed.errors;
    const std::string path = "PATH=" + dir.file("prefix/bin") + ":/usr/bin:/bin";
    const RunResult onPath =
        run("/usr/bin/env", {path, "vendrel-prep", "--duration", "0.5", dir.file("clip.mkv"), dir.file("d")});
    ASSERT_EQ(onPath.status, 0) << onPath.output;
    const std::vector<std::string> printed = words(lines(onPath.output).back());
    ASSERT_FALSE(printed.empty());
    EXPECT_EQ(printed[0], "vendrel") << onPath.output;
    std::vector<std::string> args = {path};
    args.insert(args.end(), printed.begin(), printed.end());
    expectEveryFrameTaken(run("/usr/bin/env", args), 8);

    testsupport::writeText(dir.file("file"), "not a folder\n");
    RunResult r = run(PREP, {dir.file("clip.mkv"), dir.file("file/x")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "vendrel-prep: cannot make the folder " + dir.file("file/x") + " (" + dir.file("file") +
                            ": Not a directory)\n");

    testsupport::writeText(dir.file("broken.mp4"), "not a video\n");
    r = run(PREP, {dir.file("broken.mp4"), dir.file("e/f")});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fileExists(dir.file("e"))) << "a failed run left the folders it made";
}

}  // namespace
