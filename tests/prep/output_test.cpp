// Files of vendrel-prep: the frames must read back through the encoder's own
// BMP reader as exactly the colours chosen, the sound through its WAV library
// as 7812 samples per second, halved in rate and raised to full scale.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "encoder/audio/wavlib.h"
#include "encoder/image/bmp.h"
#include "support/test_support.h"
#include "tools/prep/output.h"

namespace {

using prep::Colour12;
using prep::FRAME_PIXELS;
using testsupport::readFile;
using testsupport::TempDir;

// A frame of 37 colours in diagonal bands; entry 0 only in the top row and
// entry 36 only in the bottom row, so a frame upside down shows.
prep::ReducedFrame bandedFrame() {
    static prep::ReducedFrame f;
    f.paletteSize = 37;
    for (int j = 0; j < f.paletteSize; ++j)
        f.palette[j] = prep::colour12(j % 16, j / 16 * 5, 15 - j % 16);
    for (int y = 0; y < SCREEN_HEIGHT; ++y)
        for (int x = 0; x < SCREEN_WIDTH; ++x)
            f.index[y * SCREEN_WIDTH + x] = static_cast<uint8_t>(y == 0 ? 0 : y == SCREEN_HEIGHT - 1 ? 36 : 1 + (x + y) % 35);
    return f;
}

int32_t asRgb888(Colour12 c) { return prep::red4(c) << 20 | prep::green4(c) << 12 | prep::blue4(c) << 4; }

TEST(PrepOutputBmp, EncoderReadsExactlyTheChosenColours) {
    TempDir dir;
    const prep::ReducedFrame f = bandedFrame();
    const std::string path = dir.file("f.bmp");
    ASSERT_TRUE(prep::writeFrameBmp(path.c_str(), f));
    EXPECT_EQ(readFile(path).size(), 54u + 37 * 4 + FRAME_PIXELS);

    BmpImage* image = bmpReadFile(path.c_str());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, SCREEN_WIDTH);
    EXPECT_EQ(image->height, SCREEN_HEIGHT);
    EXPECT_EQ(image->bitCount, 8);
    EXPECT_EQ(image->colorsUsed, 37);
    std::set<int32_t> seen;
    for (int y = 0; y < SCREEN_HEIGHT; ++y)
        for (int x = 0; x < SCREEN_WIDTH; ++x) {
            const int32_t got = bmpGetPixelRGB888(image, x, y);
            ASSERT_EQ(got, asRgb888(f.palette[f.index[y * SCREEN_WIDTH + x]])) << x << "," << y;
            EXPECT_EQ(got & 0x0F0F0F, 0);
            seen.insert(got);
        }
    EXPECT_EQ(seen.size(), 37u);
    bmpFree(image);
}

TEST(PrepOutputBmp, UnwritableFileIsReported) {
    TempDir dir;
    const std::string path = dir.file("missing/f.bmp");
    EXPECT_FALSE(prep::writeFrameBmp(path.c_str(), bandedFrame()));
}

TEST(PrepOutputBmp, FramesReadBackAsWritten) {
    TempDir dir;
    const prep::ReducedFrame f = bandedFrame();
    const std::string path = dir.file("f.bmp");
    ASSERT_TRUE(prep::writeFrameBmp(path.c_str(), f));
    static prep::ReducedFrame back;
    ASSERT_TRUE(prep::readFrameBmp(path.c_str(), &back));
    ASSERT_EQ(back.paletteSize, f.paletteSize);
    for (int j = 0; j < f.paletteSize; ++j) EXPECT_EQ(back.palette[j], f.palette[j]) << j;
    EXPECT_TRUE(back.index == f.index);  // row 0 at the top again
    // Anything but such a frame is refused: cut short, or another program's BMP.
    std::vector<uint8_t> bytes = readFile(path);
    bytes.pop_back();
    testsupport::writeFile(dir.file("short.bmp"), bytes);
    EXPECT_FALSE(prep::readFrameBmp(dir.file("short.bmp").c_str(), &back));
    testsupport::writeBmp(dir.file("rgb.bmp"), SCREEN_WIDTH, SCREEN_HEIGHT, std::vector<uint32_t>(FRAME_PIXELS, 0x102030));
    EXPECT_FALSE(prep::readFrameBmp(dir.file("rgb.bmp").c_str(), &back));
}

std::vector<int16_t> wavSamples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> s;
    for (size_t i = prep::WAV_HEADER_BYTES; i + 1 < bytes.size(); i += 2)
        s.push_back(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8));
    return s;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

TEST(PrepOutputWav, PairsAreAveragedAndThePeakRaisedToFullScale) {
    TempDir dir;
    const std::string path = dir.file("a.wav");
    // 10001 samples in uneven pieces: pairs span the calls, the odd last
    // sample has no partner and is dropped.
    std::vector<int16_t> in(10001);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(((i * 37) % 2001) - 1000);
    in[5000] = -4000;
    in[5001] = -4000;  // the peak, -4000 after averaging

    prep::WavWriter wav;
    ASSERT_TRUE(prep::wavOpen(&wav, path.c_str()));
    for (size_t at = 0; at < in.size();) {
        const int n = std::min<int>(static_cast<int>(in.size() - at), 1 + static_cast<int>(at % 4099));
        prep::wavAddPairs(&wav, in.data() + at, n);
        at += n;
    }
    double gain = 0;
    ASSERT_TRUE(prep::wavFinish(&wav, &gain));
    EXPECT_NEAR(gain, 32767.0 / 4000.0, 1e-9);

    const std::vector<uint8_t> bytes = readFile(path);
    ASSERT_EQ(bytes.size(), 44u + 5000 * 2);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    EXPECT_EQ(le32(bytes, 4), 36u + 10000);
    EXPECT_EQ(le32(bytes, 24), 7812u);
    EXPECT_EQ(le32(bytes, 40), 10000u);
    const std::vector<int16_t> out = wavSamples(bytes);
    int peak = 0;
    for (size_t k = 0; k < out.size(); ++k) {
        const double mean = std::floor((in[2 * k] + in[2 * k + 1]) / 2.0);
        ASSERT_NEAR(out[k], mean * gain, 0.5 + 1e-6) << "sample " << k;
        peak = std::max(peak, std::abs(static_cast<int>(out[k])));
    }
    EXPECT_EQ(peak, 32767);

    // The encoder's WAV library takes the file as 16-bit mono at 7812 Hz.
    Mono_Native* mono = alloc_Mono_Native();
    wavread_Mono_Native(mono, path.c_str());
    EXPECT_EQ(mono->sampleRate, 7812);
    EXPECT_EQ(mono->numBits, 16);
    ASSERT_EQ(mono->numData, 5000);
    EXPECT_EQ(mono->data[2500], out[2500]);
    free_Mono_Native(mono);
}

TEST(PrepOutputWav, PartsAreCopiedSampleForSample) {
    TempDir dir;
    const std::string whole = dir.file("whole.wav");
    std::vector<int16_t> in(9000);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(i * 7);
    prep::WavWriter wav;
    ASSERT_TRUE(prep::wavOpen(&wav, whole.c_str()));
    prep::wavAddPairs(&wav, in.data(), static_cast<int>(in.size()));  // 4500 samples
    double gain = 0;
    ASSERT_TRUE(prep::wavFinish(&wav, &gain));
    const std::vector<int16_t> all = wavSamples(readFile(whole));

    ASSERT_TRUE(prep::wavCopyPart(whole.c_str(), dir.file("a.wav").c_str(), 1000, 2500));
    const std::vector<uint8_t> a = readFile(dir.file("a.wav"));
    EXPECT_EQ(le32(a, 40), 5000u);
    EXPECT_EQ(wavSamples(a), std::vector<int16_t>(all.begin() + 1000, all.begin() + 3500));
    // Past the end: only what there is.
    ASSERT_TRUE(prep::wavCopyPart(whole.c_str(), dir.file("b.wav").c_str(), 4000, 0xFFFFFFFF - 4000));
    EXPECT_EQ(wavSamples(readFile(dir.file("b.wav"))), std::vector<int16_t>(all.begin() + 4000, all.end()));
    EXPECT_FALSE(prep::wavCopyPart(dir.file("none.wav").c_str(), dir.file("c.wav").c_str(), 0, 1));
}

TEST(PrepOutputWav, SilenceStaysSilent) {
    TempDir dir;
    const std::string path = dir.file("a.wav");
    const std::vector<int16_t> zeros(300, 0);
    prep::WavWriter wav;
    ASSERT_TRUE(prep::wavOpen(&wav, path.c_str()));
    prep::wavAddPairs(&wav, zeros.data(), 300);
    double gain = 0;
    ASSERT_TRUE(prep::wavFinish(&wav, &gain));
    EXPECT_EQ(gain, 1.0);
    for (int16_t s : wavSamples(readFile(path))) ASSERT_EQ(s, 0);
}

TEST(PrepOutputWav, FullScaleNegativePeakIsNotOverdriven) {
    TempDir dir;
    const std::string path = dir.file("a.wav");
    const std::vector<int16_t> in = {-32768, -32768, 32767, 32767, 100, 100};
    prep::WavWriter wav;
    ASSERT_TRUE(prep::wavOpen(&wav, path.c_str()));
    prep::wavAddPairs(&wav, in.data(), static_cast<int>(in.size()));
    double gain = 0;
    ASSERT_TRUE(prep::wavFinish(&wav, &gain));
    const std::vector<int16_t> out = wavSamples(readFile(path));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], -32767);
    EXPECT_EQ(out[1], 32766);  // 32767 * 32767 / 32768, rounded
    EXPECT_EQ(out[2], 100);
}

}  // namespace
