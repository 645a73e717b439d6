// Clips through the encoder and back through the viewer: every frame the
// encoder took must come back exactly, each component cut to its high 4 bits,
// and the sound within the step of its code.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "view/clips.h"

namespace {

using namespace viewtest;
using testsupport::TempDir;

// Real motion, 37 colours, with noise below the 4 bits the target keeps:
// sky bands, a scrolling checkered floor, a sliding block and a moving disc.
uint32_t motion(int x, int y, int t) {
    const int low = (x * 5 + y * 3 + t) & 15;
    const int dx = x - (60 + 37 * t), dy = y - (50 + 11 * t);
    if (dx * dx + dy * dy < 24 * 24) return colour(15, 8 + (dx * dx + dy * dy) / 300, 2, low);
    if (x >= 200 - 23 * t && x < 250 - 23 * t && y >= 90 && y < 120) return colour(2, 14, 9, low);
    if (y >= 150) return ((x + 7 * t) / 16 + (y - 150) / 10) % 2 ? colour(9, 5, 1, low) : colour(3, 9, 2, low);
    const int band = y * 32 / 150;
    return colour(band / 2, band % 16, 15 - band / 2, low);
}

// A detailed still background with one small square moving over it.
uint32_t mostlyStatic(int x, int y, int t) {
    const int sx = 100 + 9 * t, sy = 80 + 4 * t;
    if (x >= sx && x < sx + 8 && y >= sy && y < sy + 8) return colour(15, 15, 0);
    const int stripe = (x + 2 * y) / 12 % 20;
    return colour(stripe % 16, (stripe * 3) % 16, 15 - stripe % 16);
}

// Two colours: white bars moving over black.
uint32_t twoColours(int x, int, int t) { return (x + 3 * t) / 20 % 2 ? colour(15, 15, 15) : colour(0, 0, 0); }

// Exactly 16 colours, for a colour limit of 16: a disc of 4 shades moving
// over 12 fields.
uint32_t sixteenColours(int x, int y, int t) {
    const int dx = x - (150 + 15 * t), dy = y - 100;
    if (dx * dx + dy * dy < 40 * 40) return colour(15, 15 - (dx * dx + dy * dy) / 400, 0);
    return colour(y / 67 * 5, x / 80 * 3, 6);
}

struct Encoded {
    std::vector<bool> accepted;
    std::string stream;
    std::string output;  // what the encoder printed
};

Encoded encode(const TempDir& dir, const std::vector<Picture>& clip, std::vector<std::string> extra) {
    writeClip(dir, clip);
    std::vector<std::string> args = std::move(extra);
    args.push_back("-e" + std::to_string(clip.size() - 1));
    args.push_back(framePattern(dir));
    args.push_back(dir.file("movie.bin"));
    const auto r = testsupport::run(VENDREL_BIN, args);
    EXPECT_EQ(r.status, 0) << r.output;
    return {acceptedFrames(r.output, dir, static_cast<int>(clip.size())), dir.file("movie.bin"), r.output};
}

// Decodes with raw picture output and checks every frame: an accepted one
// shows its own source, a refused one the picture before it (that of the last
// accepted frame; a refusal before any frame is not checked).
void expectRoundTrip(const TempDir& dir, const std::vector<Picture>& clip, const Encoded& e, const char* pages) {
    const auto r = view({pages, "--rgb", dir.file("out%03d.rgb"), e.stream});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("violations: 0,"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("frames: " + std::to_string(clip.size()) + ","), std::string::npos) << r.output;
    int checked = 0;
    int shown = -1;  // the frame whose picture is on the screen
    for (size_t t = 0; t < clip.size(); ++t) {
        if (e.accepted[t]) shown = static_cast<int>(t);
        if (shown < 0) continue;
        char name[32];
        snprintf(name, sizeof name, "out%03zu.rgb", t);
        const Bytes raw = testsupport::readFile(dir.file(name));
        ASSERT_EQ(raw.size(), static_cast<size_t>(RAW_BYTES)) << name;
        int wrong = 0;
        size_t first = 0;
        for (int i = 0; i < W * H; ++i) {
            const uint32_t c = clip[shown][i];
            const int want[3] = {static_cast<int>(c >> 20 & 15), static_cast<int>(c >> 12 & 15),
                                 static_cast<int>(c >> 4 & 15)};
            for (int k = 0; k < 3; ++k) {
                // The level, scaled to 8 bits as level * 17, is the source's high 4 bits.
                if (raw[3 * i + k] != want[k] * 17) {
                    if (wrong++ == 0) first = static_cast<size_t>(i);
                }
            }
        }
        EXPECT_EQ(wrong, 0) << "frame " << t << " (showing frame " << shown << "): first wrong pixel (" << first % W
                            << ", " << first / W << ")";
        ++checked;
    }
    EXPECT_GT(checked, 0) << "the encoder took no frame";
}

TEST(ViewRoundTrip, RealMotionSingleBuffered) {
    TempDir dir;
    const auto clip = makeClip(6, motion);
    const Encoded e = encode(dir, clip, {"-c1"});
    for (size_t t = 0; t < clip.size(); ++t) EXPECT_TRUE(e.accepted[t]) << "frame " << t << " refused";
    expectRoundTrip(dir, clip, e, "-c1");
}

TEST(ViewRoundTrip, MostlyStaticDoubleBuffered) {
    TempDir dir;
    const auto clip = makeClip(6, mostlyStatic);
    const Encoded e = encode(dir, clip, {"-c2"});
    for (size_t t = 0; t < clip.size(); ++t) EXPECT_TRUE(e.accepted[t]) << "frame " << t << " refused";
    expectRoundTrip(dir, clip, e, "-c2");
}

TEST(ViewRoundTrip, TwoColoursBothBufferings) {
    TempDir dir;
    const auto clip = makeClip(5, twoColours);
    expectRoundTrip(dir, clip, encode(dir, clip, {"-c1"}), "-c1");
    expectRoundTrip(dir, clip, encode(dir, clip, {"-c2"}), "-c2");
}

TEST(ViewRoundTrip, ColourLimitFromTheParameterFile) {
    TempDir dir;
    testsupport::writeText(dir.file("params.txt"), "palet_limit 16\n");
    const auto clip = makeClip(6, sixteenColours);
    const Encoded e = encode(dir, clip, {"-c2", "-f" + dir.file("params.txt")});
    for (size_t t = 0; t < clip.size(); ++t) EXPECT_TRUE(e.accepted[t]) << "frame " << t << " refused";
    expectRoundTrip(dir, clip, e, "-c2");
}

TEST(ViewRoundTrip, SoundFollowsTheSourceWithinItsStep) {
    TempDir dir;
    std::vector<int16_t> source;
    for (int i = 0; i < 6000; ++i) {
        const double envelope = i < 3000 ? i / 3000.0 : 1.0;
        source.push_back(static_cast<int16_t>(std::lround(32000 * envelope * std::sin(i * 0.05 + i * i * 1e-6))));
    }
    source.insert(source.end(), 500, 0);
    for (int v : {1, -1, 2, -3, 32767, -32767, -32768, 100, -1000}) source.push_back(static_cast<int16_t>(v));
    writeWav(dir.file("sound.wav"), source);

    const auto clip = makeClip(6, motion);
    const Encoded e = encode(dir, clip, {"-c2", "-a" + dir.file("sound.wav")});
    expectRoundTrip(dir, clip, e, "-c2");

    const auto r = view({"-c2", "--wav", dir.file("back.wav"), e.stream});
    ASSERT_EQ(r.status, 0) << r.output;
    uint32_t rate = 0;
    const auto decoded = readWavSamples(dir.file("back.wav"), &rate);
    EXPECT_EQ(rate, 7812u);
    ASSERT_GE(decoded.size(), 2u * 4080) << "two leading audio blocks at least";
    EXPECT_EQ(decoded.size() % 4080, 0u);
    const double step = std::pow(10.0, 0.75 / 20.0) - 1.0;  // one 0.75 dB step, as a ratio
    for (size_t i = 0; i < decoded.size(); ++i) {
        const int s = i < source.size() ? source[i] : 0;  // silence after the source
        const int d = decoded[i];
        if (s == 0) {
            ASSERT_EQ(d, 0) << "sample " << i;
            continue;
        }
        ASSERT_EQ(d < 0, s < 0) << "sample " << i;
        ASSERT_LE(std::abs(d - s), std::max(1.0, std::abs(s) * step)) << "sample " << i << ": " << s << " -> " << d;
    }
    EXPECT_NE(r.output.find("audio lead over the picture: minimum"), std::string::npos);
}

// Frames 4 and 9 of a 12-frame clip are refused: each shows the picture
// before it, on whichever page it falls, and every later frame its own source.
// clipAt makes the accepted frames, refusedAt the two refused ones.
template <typename Accepted, typename Refused>
void expectRefusedFramesHoldThePicture(Accepted clipAt, Refused refusedAt, const std::vector<std::string>& extra,
                                       const char* refusal) {
    const auto clip = makeClip(12, [&](int x, int y, int t) { return t == 4 || t == 9 ? refusedAt(x, y) : clipAt(x, y, t); });
    for (const char* pages : {"-c1", "-c2"}) {
        SCOPED_TRACE(pages);
        TempDir dir;
        std::vector<std::string> args = extra;
        args.push_back(pages);
        const Encoded e = encode(dir, clip, args);
        for (int t = 0; t < 12; ++t) EXPECT_EQ(e.accepted[t], t != 4 && t != 9) << "frame " << t;
        EXPECT_NE(e.output.find(refusal), std::string::npos) << e.output;
        expectRoundTrip(dir, clip, e, pages);
    }
}

// More than 64 colours: a field of 4096.
uint32_t allColours(int x, int y) { return colour(x % 16, y % 16, (x / 16 + y / 16) % 16); }

TEST(ViewRoundTrip, RefusedFramesOverTheWorkPalette) {
    expectRefusedFramesHoldThePicture(motion, allColours, {}, "palet work overflow");
}

TEST(ViewRoundTrip, RefusedFramesOverTheColourLimitOfTheParameterFile) {
    TempDir params;
    testsupport::writeText(params.file("params.txt"), "palet_limit 16\n");
    expectRefusedFramesHoldThePicture(sixteenColours, [](int x, int y) { return motion(x, y, 0); },
                                      {"-f" + params.file("params.txt")}, "error:color palet overflow");
}

// Black is locked to position 5: it never moves and is never announced, so it
// must stay black on both pages through the refusals.
TEST(ViewRoundTrip, RefusedFramesWithAPaletteLock) {
    TempDir params;
    testsupport::writeText(params.file("params.txt"), "palet_lock 5,0x000000,0xF0F0F0\n");
    const auto blackBorder = [](int x, int y, int t) { return y < 12 || x < 8 ? colour(0, 0, 0, x + y) : motion(x, y, t); };
    expectRefusedFramesHoldThePicture(blackBorder, allColours, {"-f" + params.file("params.txt")},
                                      "palet work overflow");
}

// Each frame lasts its interval in the YUV4MPEG2 stream; black and white
// come out at the ends of the limited range.
TEST(ViewOutputs, Y4mRepeatsFramesForTheirIntervalAndPngsAreWritten) {
    TempDir dir;
    testsupport::writeText(dir.file("params.txt"), "frame 2\nvideo_interval 6\n");
    const auto clip = makeClip(4, [](int, int, int t) { return t % 2 ? colour(15, 15, 15) : colour(0, 0, 0); });
    const Encoded e = encode(dir, clip, {"-c1", "-f" + dir.file("params.txt")});
    const auto r = view({"--y4m", dir.file("out.y4m"), "--png", dir.file("p%02d.png"), e.stream});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("option commands: interval 0x06 x1"), std::string::npos) << r.output;

    const Bytes y4m = testsupport::readFile(dir.file("out.y4m"));
    const std::string header = "YUV4MPEG2 W320 H200 F60:1 Ip A1:1 C444 XCOLORRANGE=LIMITED\n";
    ASSERT_GE(y4m.size(), header.size());
    EXPECT_EQ(std::string(y4m.begin(), y4m.begin() + header.size()), header);
    const size_t frameBytes = 6 + 3 * W * H;
    ASSERT_EQ(y4m.size(), header.size() + (4 + 4 + 6 + 6) * frameBytes);
    const int expectedY[4] = {16, 235, 16, 235};
    size_t at = header.size();
    for (int t = 0; t < 4; ++t) {
        for (int repeat = 0; repeat < (t < 2 ? 4 : 6); ++repeat, at += frameBytes) {
            ASSERT_EQ(std::string(y4m.begin() + at, y4m.begin() + at + 6), "FRAME\n");
            EXPECT_EQ(y4m[at + 6], expectedY[t]) << "frame " << t;
            EXPECT_EQ(y4m[at + 6 + W * H], 128) << "frame " << t;
            EXPECT_EQ(y4m[at + 6 + 2 * W * H], 128) << "frame " << t;
        }
    }

    for (int t = 0; t < 4; ++t) {
        char name[16];
        snprintf(name, sizeof name, "p%02d.png", t);
        const Bytes png = testsupport::readFile(dir.file(name));
        ASSERT_GT(png.size(), 24u) << name;
        EXPECT_EQ(Bytes(png.begin(), png.begin() + 8), (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
        auto bigEndian = [&png](size_t at) { return png[at] << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3]; };
        EXPECT_EQ(bigEndian(16), 320) << "IHDR width";
        EXPECT_EQ(bigEndian(20), 200) << "IHDR height";
    }
}

}  // namespace
