// --video and --play: a stream with sound through ffmpeg (and ffplay). The
// video file must hold a picture and a sound stream, each exactly as long as
// the stream's display time, with one picture per display frame. Skipped
// where ffmpeg is not installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "view/clips.h"

namespace {

using testsupport::lines;
using testsupport::run;
using testsupport::RunResult;
using testsupport::TempDir;

using testsupport::programPath;

#define REQUIRE_PROGRAM(name) \
    if (programPath(name).empty()) GTEST_SKIP() << name " is not installed: skipped"

// The sample clip with its sound, intervals 6 then 2, as a double-buffered stream.
std::string makeStream(const TempDir& dir, int frames) {
    testsupport::writeText(dir.file("params.txt"),
                           "video_interval 6\nframe " + std::to_string(frames / 2) + "\nvideo_interval 2\n");
    return viewtest::sampleStream(dir, "clip", "movie.bin", frames,
                                  {"-a" + dir.file("clip/audio.wav"), "-f" + dir.file("params.txt")});
}

// "display time N display frames" of the viewer's summary.
long long displayFrames(const std::string& summary) {
    const size_t at = summary.find("display time ");
    return at == std::string::npos ? -1 : std::atoll(summary.c_str() + at + 13);
}

// ffprobe's view of a file: "video.codec_name", "audio.duration",
// "format.duration" and the like.
std::map<std::string, std::string> probe(const std::string& file) {
    const RunResult r = run(programPath("ffprobe"), {"-v", "error", "-show_entries",
                                        "stream=codec_type,codec_name,nb_frames,duration:format=duration", "-of",
                                        "flat", file});
    std::map<std::string, std::string> fields;
    for (const std::string& line : lines(r.output)) {
        // streams.stream.0.codec_type="video"
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
        fields[key] = value;
    }
    std::map<std::string, std::string> named;
    int streams = 0;
    for (;; ++streams) {
        const std::string prefix = "streams.stream." + std::to_string(streams) + ".";
        const auto kind = fields.find(prefix + "codec_type");
        if (kind == fields.end()) break;
        for (const char* f : {"codec_name", "nb_frames", "duration"})
            named[kind->second + "." + f] = fields[prefix + f];
    }
    named["streams"] = std::to_string(streams);
    named["format.duration"] = fields["format.duration"];
    return named;
}

TEST(ViewMovie, Mp4HoldsPictureAndSoundForTheDisplayTime) {
    REQUIRE_PROGRAM("ffmpeg");
    REQUIRE_PROGRAM("ffprobe");
    TempDir dir;
    const std::string stream = makeStream(dir, 24);
    const RunResult r = viewtest::view({"-c2", "--video", dir.file("out.mp4"), stream});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("video: " + dir.file("out.mp4") + ", "), std::string::npos) << r.output;
    const long long frames = displayFrames(r.output);
    EXPECT_EQ(frames, 12 * 6 + 12 * 2);
    const double seconds = frames / 60.0;

    auto p = probe(dir.file("out.mp4"));
    EXPECT_EQ(p["streams"], "2");
    EXPECT_EQ(p["video.codec_name"], "h264");
    EXPECT_EQ(p["audio.codec_name"], "aac");
    EXPECT_EQ(p["video.nb_frames"], std::to_string(frames));  // one picture per display frame
    EXPECT_NEAR(std::atof(p["video.duration"].c_str()), seconds, 0.001);
    EXPECT_NEAR(std::atof(p["audio.duration"].c_str()), seconds, 0.03);  // AAC frames of 1024 samples
    EXPECT_NEAR(std::atof(p["format.duration"].c_str()), seconds, 0.03);
}

TEST(ViewMovie, OtherContainersFollowTheExtension) {
    REQUIRE_PROGRAM("ffmpeg");
    REQUIRE_PROGRAM("ffprobe");
    TempDir dir;
    const std::string stream = makeStream(dir, 8);
    ASSERT_EQ(viewtest::view({"-c2", "--video", dir.file("out.mkv"), stream}).status, 0);
    auto p = probe(dir.file("out.mkv"));
    EXPECT_EQ(p["streams"], "2");
    EXPECT_NEAR(std::atof(p["format.duration"].c_str()), (4 * 6 + 4 * 2) / 60.0, 0.03);

    // A stream without sound is said to be silent.
    ASSERT_EQ(run(VENDREL_BIN, {"-c2", "-e7", dir.file("clip/frame%05d.bmp"), dir.file("silent.bin")}).status, 0);
    RunResult silent = viewtest::view({"--video", dir.file("silent.mkv"), dir.file("silent.bin")});
    EXPECT_EQ(silent.status, 0) << silent.output;
    EXPECT_NE(silent.output.find("silent.mkv, 0.533 s silent (the stream has no sound)"), std::string::npos)
        << silent.output;

    // A container ffmpeg does not know: its words, and nothing of the run left.
    const RunResult r = viewtest::view({"-c2", "--video", dir.file("new/out.xyz"), stream});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("vendrel-view: ffmpeg could not write " + dir.file("new/out.xyz") + "\n  ffmpeg: "),
              std::string::npos)
        << r.output;
    EXPECT_FALSE(testsupport::fileExists(dir.file("new")));
}

TEST(ViewMovie, AnExistingFileIsReplacedOnlyWhenAsked) {
    REQUIRE_PROGRAM("ffmpeg");
    TempDir dir;
    const std::string stream = makeStream(dir, 8);
    const std::string video = dir.file("movie.mp4");  // the user's source film
    testsupport::writeText(video, "the source\n");
    RunResult r = viewtest::view({"-c2", "--video", video, stream});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, "vendrel-view: " + video + " exists: give --overwrite to replace it\n");
    EXPECT_EQ(testsupport::readFile(video).size(), 11u);

    r = viewtest::view({"-c2", "--overwrite", "--video", video, stream});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_GT(testsupport::readFile(video).size(), 1000u);
}

// ffmpeg ends with 0 on a full disk (here: a file size limit, its signal
// ignored so that writes fail as on a full disk): the file is looked at.
TEST(ViewMovie, AVideoCutShortByAFullDiskIsAFailure) {
    REQUIRE_PROGRAM("ffmpeg");
    REQUIRE_PROGRAM("ffprobe");
    TempDir dir;
    const std::string stream = makeStream(dir, 24);
    for (const char* name : {"cut.mkv", "cut.mp4"}) {
        const std::string video = dir.file(name);
        const RunResult r = run("/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 40; exec \"$0\" -c2 --video \"$1\" \"$2\"",
                                            VENDREL_VIEW_BIN, video, stream});
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_NE(r.output.find("vendrel-view: " + video + " is cut short or broken"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("video: "), std::string::npos) << r.output;
        EXPECT_FALSE(testsupport::fileExists(video));
    }
}

TEST(ViewMovie, PlayRunsFfplayToTheEnd) {
    REQUIRE_PROGRAM("ffmpeg");
    REQUIRE_PROGRAM("ffplay");
    TempDir dir;
    const std::string stream = makeStream(dir, 8);
    // No display or sound device is needed with SDL's dummy drivers.
    const RunResult r = run("/usr/bin/env", {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy", VENDREL_VIEW_BIN,
                                             "-c2", "--play", stream});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("violations: 0,"), std::string::npos) << r.output;
}

TEST(ViewMovie, MissingPlayerOrBadCombinationsAreRefused) {
    TempDir dir;
    const std::string stream = dir.file("movie.bin");
    testsupport::writeText(stream, "x");
    // A PATH with ffmpeg (a stand-in) but no ffplay.
    testsupport::writeText(dir.file("ffmpeg"), "#!/bin/sh\nexit 1\n");
    ASSERT_EQ(run("/bin/chmod", {"755", dir.file("ffmpeg")}).status, 0);
    RunResult r = run("/usr/bin/env", {"PATH=" + dir.path(), VENDREL_VIEW_BIN, "--play", stream});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "vendrel-view: ffplay is not installed (it comes with ffmpeg: apt-get install ffmpeg)\n");
    // Both there, but no display: said at once.
    testsupport::writeText(dir.file("ffplay"), "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(run("/bin/chmod", {"755", dir.file("ffplay")}).status, 0);
    r = run("/usr/bin/env", {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "SDL_VIDEODRIVER", "PATH=" + dir.path(),
                             VENDREL_VIEW_BIN, "--play", stream});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("vendrel-view: no display found"), std::string::npos) << r.output;
    r = run("/usr/bin/env", {"PATH=/nonexistent", VENDREL_VIEW_BIN, "--video", dir.file("a.mp4"), stream});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "vendrel-view: ffmpeg is not installed (apt-get install ffmpeg)\n");

    const std::vector<std::vector<std::string>> refused = {
        {"--play", "--video", "a.mp4", stream}, {"--check", "--play", stream}, {"--y4m", "-", "--play", stream}};
    for (const auto& args : refused) {
        r = viewtest::view(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(lines(r.output).at(1), "vendrel-view [options] STREAM") << r.output;
    }
}

}  // namespace
