// The encoder run in process against vendrel itself: the same frames, sound
// and parameters must give the same stream byte for byte, also when frames
// were tried and taken back in between. (writeFrameBmp and the WAV writer come
// from output.cpp, which output_test.cpp builds into this program.)
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tools/prep/encode_session.h"
#include "tools/prep/output.h"

using namespace prep;
using testsupport::readFile;
using testsupport::run;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

// The tests' one session (the encoder's modules allow one at a time).
Session* theSession() {
    static const auto s = std::make_unique<Session>();
    return s.get();
}

constexpr int FRAMES = 14;

// A busy picture of `colours` colours that moves with `seed`.
void makeFrame(int seed, int colours, ReducedFrame* f) {
    f->paletteSize = colours;
    for (int i = 0; i < colours; ++i) f->palette[i] = colour12((i * 5 + seed) & 15, (i * 3) & 15, (i * 7 + 2) & 15);
    for (int y = 0; y < SCREEN_HEIGHT; ++y)
        for (int x = 0; x < SCREEN_WIDTH; ++x)
            f->index[y * SCREEN_WIDTH + x] = static_cast<uint8_t>(((x + seed * 7) / 3 ^ (y * (seed + 1)) / 5) % colours);
}

FrameParams paramsOf(int f) {
    // The interval and the colour limit change on the way.
    return {f < 5 ? 4 : f < 9 ? 2 : 6, f < 7 ? 64 : 16};
}

int coloursOf(int f) { return f < 7 ? 40 : 12; }

void writeWav(const std::string& path, double seconds) {
    WavWriter wav{};
    ASSERT_TRUE(wavOpen(&wav, path.c_str()));
    std::vector<int16_t> s(static_cast<size_t>(seconds * 15625));
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(9000 * std::sin(i * 0.05));
    wavAddPairs(&wav, s.data(), static_cast<int>(s.size()));
    double gain = 0;
    ASSERT_TRUE(wavFinish(&wav, &gain));
}

void writeParams(const std::string& path) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (int n = 0; n < FRAMES; ++n) {
        if (n > 0 && paramsOf(n).interval == paramsOf(n - 1).interval &&
            paramsOf(n).colourLimit == paramsOf(n - 1).colourLimit)
            continue;
        fprintf(f, "frame %d\nvideo_interval %d\npalet_limit %d\n", n, paramsOf(n).interval, paramsOf(n).colourLimit);
    }
    fclose(f);
}

TEST(EncodeSession, SameStreamAsVendrelAlsoAfterTrials) {
    TempDir dir;
    const std::string wav = dir.path() + "/audio.wav";
    writeWav(wav, 4.0);
    writeParams(dir.path() + "/params.txt");

    static ReducedFrame frame;
    static ReducedFrame trial;
    static SessionSnapshot snapshot;
    Session* session = theSession();
    ASSERT_TRUE(sessionOpen(session, {wav.c_str(), 2, true}));
    model::Sim sim;
    model::simInit(&sim, 40 * model::KIB);
    std::vector<int64_t> ends;
    int64_t show = 0;  // T(n)
    for (int n = 0; n < FRAMES; ++n) {
        // Frames 10 to 12 repeat frame 9: one byte each, ends sharing a unit.
        makeFrame(n >= 10 && n <= 12 ? 9 : n, coloursOf(n), &frame);
        ASSERT_TRUE(writeFrameBmp((dir.path() + "/f" + std::to_string(n) + ".bmp").c_str(), frame));
        // A trial with other parameters and another picture, taken back.
        sessionSave(session, &snapshot);
        model::Sim tried = sim;
        makeFrame(n + 50, 9, &trial);
        sessionFrame(session, trial, {3, n % 2 ? 64 : 8});
        sessionFeed(session, &tried, n);
        sessionRestore(session, snapshot);

        const SessionFrame done = sessionFrame(session, frame, paramsOf(n));
        EXPECT_TRUE(done.accepted) << "frame " << n;
        ends.push_back(done.end);
        const double at = sessionFeed(session, &sim, n);
        model::simFrameLateness(&sim, at, show, true);
        show += paramsOf(n).interval;
    }
    sessionFinish(session);
    sessionFeedRest(session, &sim);

    const RunResult r = run(VENDREL_BIN, {"-c2", "-e" + std::to_string(FRAMES - 1), "-a" + wav,
                                          "-f" + dir.path() + "/params.txt", dir.path() + "/f%d.bmp",
                                          dir.path() + "/out%d.bin"});
    ASSERT_EQ(r.status, 0) << r.output;
    const std::vector<uint8_t> expected = readFile(dir.path() + "/out99999.bin");
    const std::vector<uint8_t>& got = sessionBytes(session);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the in-process stream differs from vendrel's";

    // Every reported frame end is a frame-end byte.
    constexpr int FIRST_BLOCK = AVINDEX_HEADER_BYTES + AVINDEX_TABLE_BYTES;
    for (int64_t end : ends) EXPECT_EQ(got[static_cast<size_t>(FIRST_BLOCK + end)], 0x7E) << end;

    // The model fed frame by frame agrees with the model run on the whole layout.
    const model::Result batch = model::simulate(sessionLayout(session), 40 * model::KIB);
    EXPECT_GT(batch.lateFrames.size(), 0u) << "the rate should be too low for this stream";
    EXPECT_EQ(static_cast<size_t>(sim.lateFrames), batch.lateFrames.size());
    EXPECT_EQ(static_cast<size_t>(sim.soundGaps), batch.soundGaps.size());
    EXPECT_DOUBLE_EQ(sim.start, batch.start);
}

// A long sound is read in pieces as the stream needs it, also back again
// after a trial: many seconds a frame, so the pieces change every few frames.
TEST(EncodeSession, LongSoundReadInPiecesIsVendrelsSound) {
    TempDir dir;
    const std::string wav = dir.path() + "/audio.wav";
    constexpr int LONG_FRAMES = 12;
    constexpr int INTERVAL = 200;  // 3.3 s a frame: 40 s in all, several of the session's reads
    writeWav(wav, 50.0);
    static ReducedFrame frame;
    static SessionSnapshot snapshot;
    Session* session = theSession();
    ASSERT_TRUE(sessionOpen(session, {wav.c_str(), 1, true}));
    for (int n = 0; n < LONG_FRAMES; ++n) {
        makeFrame(n, 20, &frame);
        ASSERT_TRUE(writeFrameBmp((dir.path() + "/f" + std::to_string(n) + ".bmp").c_str(), frame));
        sessionSave(session, &snapshot);
        sessionFrame(session, frame, {255, 64});
        sessionFinish(session);
        sessionRestore(session, snapshot);
        sessionFrame(session, frame, {INTERVAL, 64});
    }
    sessionFinish(session);
    FILE* params = fopen((dir.path() + "/params.txt").c_str(), "w");
    ASSERT_NE(params, nullptr);
    fprintf(params, "frame 0\nvideo_interval %d\n", INTERVAL);
    fclose(params);
    const RunResult r = run(VENDREL_BIN, {"-c1", "-e" + std::to_string(LONG_FRAMES - 1), "-a" + wav,
                                          "-f" + dir.path() + "/params.txt", dir.path() + "/f%d.bmp",
                                          dir.path() + "/out%d.bin"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(sessionBytes(session) == readFile(dir.path() + "/out99999.bin")) << "the in-process stream differs";
}

}  // namespace
