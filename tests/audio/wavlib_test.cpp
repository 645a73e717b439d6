#include "encoder/audio/wavlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

using testsupport::TempDir;

namespace {

constexpr uint32_t kPayloadSize = 0xFFFFFFFF;

// Builds the bytes of a WAV file by hand, independently of the library; extra
// goes between the 16 bytes of format fields and the data chunk.
std::vector<uint8_t> wavBytes(int channels, int bits, const std::vector<uint8_t>& payload,
                              uint32_t dataSize = kPayloadSize, const std::vector<uint8_t>& extra = {}) {
    std::vector<uint8_t> b;
    auto put = [&b](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto tag = [&b](const char* t) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(t[i]));
    };
    tag("RIFF"), put(0, 4), tag("WAVE"), tag("fmt "), put(16, 4), put(1, 2), put(channels, 2), put(8000, 4);
    put(8000 * channels * bits / 8, 4), put(channels * bits / 8, 2), put(bits, 2);
    b.insert(b.end(), extra.begin(), extra.end());
    tag("data"), put(dataSize == kPayloadSize ? payload.size() : dataSize, 4);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

std::vector<int32_t> readMono(const std::string& path) {
    std::unique_ptr<Mono_Native, decltype(&free_Mono_Native)> m(alloc_Mono_Native(), free_Mono_Native);
    wavread_Mono_Native(m.get(), path.c_str());
    return std::vector<int32_t>(m->data, m->data + m->numData);
}

struct WavStopped {};

// Runs fn with a hook that throws instead of ending the process; returns what
// was printed, or "(no failure)".
std::string failureOutput(const std::function<void()>& fn) {
    wavFailHook = [] { throw WavStopped{}; };
    testing::internal::CaptureStdout();
    bool stopped = false;
    try {
        fn();
    } catch (const WavStopped&) {
        stopped = true;
    }
    std::string out = testing::internal::GetCapturedStdout();
    wavlib_Reset();
    return stopped ? out : "(no failure)";
}

using Ints = std::vector<int32_t>;

TEST(WavRead, SampleValues) {
    TempDir dir;
    const std::string p = dir.file("a.wav");
    auto read = [&](int bits, const std::vector<uint8_t>& payload) {
        testsupport::writeFile(p, wavBytes(1, bits, payload));
        return readMono(p);
    };
    EXPECT_EQ(read(8, {0x00, 0x80, 0xFF}), (Ints{0, 128, 255}));
    EXPECT_EQ(read(16, {0x00, 0x80, 0xFF, 0x7F, 0xFF, 0xFF, 0x01, 0x00}), (Ints{-32768, 32767, -1, 1}));
    EXPECT_EQ(read(24, {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFE, 0xFF, 0xFF}), (Ints{-8388608, 8388607, -2}));
    EXPECT_EQ(read(32, {0x00, 0x00, 0x00, 0x80, 0x05, 0x00, 0x00, 0x00}), (Ints{INT32_MIN, 5}));
    EXPECT_TRUE(read(16, {}).empty());

    testsupport::writeFile(p, wavBytes(2, 16, {1, 0, 2, 0, 3, 0, 4, 0, 5, 0}));
    Stereo_Native* s = alloc_Stereo_Native();
    wavread_Stereo_Native(s, p.c_str());
    ASSERT_EQ(s->numData, 2);  // the unpaired last value is dropped
    EXPECT_EQ(Ints(s->left, s->left + 2), (Ints{1, 3}));
    EXPECT_EQ(Ints(s->right, s->right + 2), (Ints{2, 4}));
    free_Stereo_Native(s);
    PCMINFO info;
    getPCMINFO(&info, p.c_str());
    EXPECT_EQ(info.fileName, p.c_str());
    EXPECT_EQ(info.sampleRate, 8000);
    EXPECT_EQ(info.numBits, 16);
    EXPECT_EQ(info.numChannels, 2);
}

TEST(WavRead, ChunkLayoutsAndShortData) {
    TempDir dir;
    const std::string p = dir.file("c.wav");
    // Two more format bytes (an 18-byte chunk) and a LIST chunk before the data.
    testsupport::writeFile(p, wavBytes(1, 16, {7, 0, 9, 0}, kPayloadSize,
                                       {0, 0, 'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'}));
    EXPECT_EQ(readMono(p), (Ints{7, 9}));

    testsupport::writeFile(p, wavBytes(1, 16, std::vector<uint8_t>(20, 0x11), 2 * (10 + 100)));
    const Ints v = readMono(p);
    ASSERT_EQ(v.size(), 110u);
    EXPECT_EQ(v[9], 0x1111);
    EXPECT_EQ(Ints(v.begin() + 10, v.end()), Ints(100, 0));

    // A size field near 4 GiB on a tiny file must not cost gigabytes.
    testsupport::writeFile(p, wavBytes(1, 16, {0x34, 0x12}, 0xFFFFFFF0));
    testing::internal::CaptureStdout();
    const Ints huge = readMono(p);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("far more than the file holds"), std::string::npos);
    ASSERT_GE(huge.size(), 1u);
    EXPECT_LT(huge.size(), 1000000u);
    EXPECT_EQ(huge[0], 0x1234);
    EXPECT_EQ(huge.back(), 0);
}

TEST(WavRead, BadFilesStopWithMessage) {
    TempDir dir;
    const std::string p = dir.file("bad.wav");
    const std::vector<uint8_t> good = wavBytes(1, 16, {1, 0});
    auto readBroken = [&](size_t at, char byte, size_t keep = SIZE_MAX) {
        std::vector<uint8_t> bytes(good.begin(), good.begin() + std::min(keep, good.size()));
        if (at < bytes.size()) bytes[at] = static_cast<uint8_t>(byte);
        testsupport::writeFile(p, bytes);
        return failureOutput([&] { readMono(p); });
    };
    EXPECT_EQ(readBroken(0, 'X'), "Error!: The file does not have RIFF chunk.\n");
    EXPECT_EQ(readBroken(0, 'R', 0), "Error!: The file does not have RIFF chunk.\n");
    EXPECT_EQ(readBroken(8, 'X'), "Error!: The file is not WAV file.\n");
    EXPECT_EQ(readBroken(34, 12), "Error!: Inappropriate quantization bit number.\n");
    EXPECT_EQ(readBroken(12, 'x'), "Error!: The file has no fmt chunk.\n");
    EXPECT_EQ(readBroken(36, 'x'), "Error!: The file has no data chunk.\n");
    EXPECT_EQ(readBroken(0, 'R', 30), "Error!: The file ends inside the fmt chunk.\n");
    EXPECT_EQ(readBroken(0, 'R', 42), "Error!: The file ends inside the data chunk header.\n");
    EXPECT_EQ(failureOutput([&] { readMono(dir.file("none.wav")); }),
              "Error!: Can't open the file '" + dir.file("none.wav") + "'.\n");
}

TEST(WavReadDeathTest, DefaultFailureExitsWithStatusOne) {
    TempDir dir;
    testsupport::writeFile(dir.file("x.wav"), {'n', 'o', 'p', 'e'});
    EXPECT_EXIT(readMono(dir.file("x.wav")), testing::ExitedWithCode(1), "");
}

TEST(WavWrite, NativeViewsRoundTripAndClamp) {
    TempDir dir;
    const std::string p = dir.file("w.wav");
    int32_t eight[] = {-5, 300, 128};
    Mono_Native m{22050, 8, 3, eight};
    wavwrite_Mono_Native(&m, p.c_str());
    const std::vector<uint8_t> bytes = testsupport::readFile(p);
    ASSERT_EQ(bytes.size(), 47u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 44, bytes.end()), (std::vector<uint8_t>{0x00, 0xFF, 0x80}));
    EXPECT_EQ(bytes[4], 3 + 36);  // chunkSize
    EXPECT_EQ(bytes[40], 3);      // dataSize

    int32_t left[] = {-8388608, 8388607, 70000000};
    int32_t right[] = {1, -1, 0};
    Stereo_Native s{44100, 24, 3, left, right};
    wavwrite_Stereo_Native(&s, p.c_str());
    Stereo_Native* back = alloc_Stereo_Native();
    wavread_Stereo_Native(back, p.c_str());
    ASSERT_EQ(back->numData, 3);
    EXPECT_EQ(back->sampleRate, 44100);
    EXPECT_EQ(Ints(back->left, back->left + 3), (Ints{-8388608, 8388607, 8388607}));
    EXPECT_EQ(Ints(back->right, back->right + 3), (Ints{1, -1, 0}));
    free_Stereo_Native(back);
}

TEST(WavWrite, NormalisedViewsRoundTripAndClamp) {
    TempDir dir;
    const std::string p = dir.file("n.wav");
    int32_t raw[] = {-32768, -1, 0, 1, 32767};
    Mono_Native native{8000, 16, 5, raw};
    wavwrite_Mono_Native(&native, p.c_str());
    Mono* mono = alloc_Mono();
    wavread_Mono(mono, p.c_str());
    EXPECT_EQ(std::vector<double>(mono->data, mono->data + 5),
              (std::vector<double>{-1.0, -1.0 / 32768, 0.0, 1.0 / 32767, 1.0}));
    wavwrite_Mono(mono, p.c_str());
    free_Mono(mono);
    EXPECT_EQ(readMono(p), Ints(raw, raw + 5));

    double left[] = {2.0, 0.5};
    double right[] = {-3.0, -0.5};
    Stereo st{8000, 8, 2, left, right};
    wavwrite_Stereo(&st, p.c_str());
    EXPECT_EQ(left[0], 1.0);
    EXPECT_EQ(right[0], -1.0);
    EXPECT_EQ(readMono(p), (Ints{255, 0, 191, 64}));

    Mono_Native bad{8000, 12, 1, raw};
    EXPECT_EQ(failureOutput([&] { wavwrite_Mono_Native(&bad, p.c_str()); }),
              "Error!: Inappropriate quantization bit number.\n");
    EXPECT_EQ(testsupport::readFile(p).size(), 44u);
}

// Files of an independent tool must read right, and ours must read back in it.
TEST(WavInterop, Sox) {
    const std::string sox = "/usr/bin/sox";
    if (!testsupport::fileExists(sox)) GTEST_SKIP() << "sox not installed";
    TempDir dir;
    testsupport::writeFile(dir.file("in.raw"), {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x34, 0x12, 0x00});
    auto r = testsupport::run(sox, {"-t", "raw", "-r", "48000", "-e", "signed", "-b", "24", "-c", "1",
                                    dir.file("in.raw"), dir.file("sox.wav")});
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(readMono(dir.file("sox.wav")), (Ints{-8388608, 8388607, 0x1234}));

    int32_t left[] = {-32768, 1000};
    int32_t right[] = {32767, -2};
    Stereo_Native s{8000, 16, 2, left, right};
    wavwrite_Stereo_Native(&s, dir.file("ours.wav").c_str());
    r = testsupport::run(sox, {dir.file("ours.wav"), "-t", "raw", dir.file("out.raw")});
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(testsupport::readFile(dir.file("out.raw")),
              (std::vector<uint8_t>{0x00, 0x80, 0xFF, 0x7F, 0xE8, 0x03, 0xFE, 0xFF}));
}

}  // namespace
