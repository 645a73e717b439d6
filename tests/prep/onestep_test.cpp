// vendrel-prep --encode: the streams it writes must be byte for byte those
// that the printed vendrel commands make from the frames of the same run
// without --encode (given the same boot code), with no frame or sound file
// left behind; parts cut with two jobs must be those cut with one. Skipped
// where ffmpeg is not installed.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using testsupport::fileExists;
using testsupport::lines;
using testsupport::readFile;
using testsupport::run;
using testsupport::words;
using testsupport::RunResult;
using testsupport::TempDir;

const std::string PREP = VENDREL_PREP_BIN;
const std::string VENDREL_BESIDE = testsupport::vendrelBesidePrep();

// The frames route into `out`, then every printed vendrel command with the
// boot code: the streams' paths, relative to out.
std::vector<std::string> framesRoute(const std::string& film, const std::string& out,
                                     const std::vector<std::string>& options, const std::string& boot) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {film, out});
    const RunResult prep = run(PREP, args);
    EXPECT_EQ(prep.status, 0) << prep.output;
    std::vector<std::string> streams;
    for (const std::string& line : lines(prep.output)) {
        if (line.rfind(VENDREL_BESIDE + " ", 0) != 0) continue;
        std::vector<std::string> w = words(line);
        w.erase(w.begin());
        w.insert(w.begin(), "-b" + boot);
        EXPECT_EQ(run(VENDREL_BIN, w).status, 0) << line;
        streams.push_back(w.back().substr(out.size()));
    }
    return streams;
}

// --encode into `out` with the boot code: each stream of the frames route
// must be there, the same bytes, and no frame, sound or spool file.
void expectSameStreams(const std::string& film, const std::string& frames, const std::string& out,
                       std::vector<std::string> options, const std::string& boot,
                       const std::vector<std::string>& streams) {
    options.insert(options.end(), {"--encode", "--boot", boot, film, out});
    const RunResult prep = run(PREP, options);
    ASSERT_EQ(prep.status, 0) << prep.output;
    EXPECT_EQ(prep.errors, "");  // no progress line in a pipe
    EXPECT_NE(prep.output.find("plays without stalls from "), std::string::npos) << prep.output;
    EXPECT_EQ(prep.output.find("does not check clean"), std::string::npos) << prep.output;
    ASSERT_FALSE(streams.empty());
    for (const std::string& stream : streams) {
        const std::string folder = out + stream.substr(0, stream.rfind('/'));
        EXPECT_TRUE(readFile(frames + stream) == readFile(out + stream)) << stream << "\n" << prep.output;
        EXPECT_NE(prep.output.find(out + stream + ": "), std::string::npos) << prep.output;
        for (const char* name : {"/frame00000.bmp", "/audio.wav", "/params.txt", "/frames.spool"})
            EXPECT_FALSE(fileExists(folder + name)) << folder << name;
    }
    EXPECT_FALSE(fileExists(out + "/audio.wav"));
}

TEST(PrepEncode, StreamsAreThoseOfTheFramesRoute) {
    if (testsupport::programPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed: end-to-end run skipped";
    TempDir dir;
    const std::string film = testsupport::makeCutFilm(dir);
    std::vector<uint8_t> bootCode(1000);
    for (size_t i = 0; i < bootCode.size(); ++i) bootCode[i] = static_cast<uint8_t>(i * 7);
    const std::string boot = dir.file("boot.bin");
    testsupport::writeFile(boot, bootCode);
    // One stream with a parameter file (-c2), one planned for a rate (-c1),
    // parts of each (the sound of each part cut at its own moments).
    const std::vector<std::vector<std::string>> cases = {
        {"--fps", "20", "--colors", "16", "--dither", "ordered"},
        {"--rate", "60"},
        {"--part-blocks", "66"},  // the first part ends at the scene cut
        {"--rate", "60", "--part-blocks", "20"},
    };
    int k = 0;
    for (const std::vector<std::string>& options : cases) {
        SCOPED_TRACE(::testing::PrintToString(options));
        const std::string frames = dir.file("frames" + std::to_string(++k));
        const std::vector<std::string> streams = framesRoute(film, frames, options, boot);
        expectSameStreams(film, frames, dir.file("encoded" + std::to_string(k)), options, boot, streams);
        if (options.back() == "66") {
            EXPECT_GE(streams.size(), 3u);
            // Parts encoded side by side are the same streams.
            for (const char* jobs : {"1", "2"}) {
                std::vector<std::string> withJobs = options;
                withJobs.insert(withJobs.end(), {"--jobs", jobs});
                expectSameStreams(film, frames, dir.file("jobs" + std::string(jobs)), withJobs, boot, streams);
            }
        }
    }
}

TEST(PrepEncode, AFailedRunLeavesNoStream) {
    if (testsupport::programPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed: end-to-end run skipped";
    TempDir dir;
    const std::string film = testsupport::makeCutFilm(dir);
    const std::string out = dir.file("out");
    RunResult prep = run(PREP, {"--encode", "--part-blocks", "3", film, out});
    EXPECT_EQ(prep.status, 1);
    EXPECT_NE(prep.output.find("vendrel-prep: frame 0 alone makes a stream of more than 3 blocks"), std::string::npos)
        << prep.output;
    EXPECT_FALSE(fileExists(out));
    prep = run(PREP, {"--encode", "--boot", dir.file("none.bin"), film, out});
    EXPECT_EQ(prep.status, 1);
    EXPECT_EQ(lines(prep.output).back(), "vendrel-prep: cannot read " + dir.file("none.bin"));
    prep = run(PREP, {"--jobs", "2", film, out});
    EXPECT_EQ(prep.status, 2);
    EXPECT_NE(prep.output.find("go with --encode"), std::string::npos) << prep.output;
}

// On a terminal (script(1) gives the run one) the progress line comes.
TEST(PrepEncode, ProgressIsShownOnATerminal) {
    const std::string script = testsupport::programPath("script");
    if (testsupport::programPath("ffmpeg").empty() || script.empty()) GTEST_SKIP() << "ffmpeg or script is not installed";
    TempDir dir;
    const std::string film = testsupport::makeCutFilm(dir);
    const RunResult r = run(script, {"-qec", PREP + " --encode " + film + " " + dir.file("out"), "/dev/null"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("\rframe "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(" of 0:06, "), std::string::npos) << r.output;
}

}  // namespace
