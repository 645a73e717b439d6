// make_sample: writes a short sample clip that vendrel takes as it is:
// numbered 320 x 200 24-bit BMP frames (frame00000.bmp, ...) with real motion
// and at most 64 colours of 4 bits per primary, and audio.wav, 16-bit mono PCM
// at the encoder's rate of 7812 samples per second, as long as the clip.
//
//   make_sample OUTDIR [FRAMES]      (FRAMES: 1 to 10000, 60 by default)

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "format/audio.h"   // the player's sound rate and WAV header; the display rate, the default interval
#include "format/endian.h"
#include "format/screen.h"  // the screen size

namespace {

constexpr int DEFAULT_FRAMES = 60;
constexpr int MAX_FRAMES = 10000;
constexpr int DISPLAY_FRAMES_PER_VIDEO_FRAME = DEFAULT_VIDEO_INTERVAL;

// A colour with 4 bits per primary, as the target shows it (0x00RRGGBB).
uint32_t rgb4(int r, int g, int b) {
    return static_cast<uint32_t>((r & 15) << 20 | (g & 15) << 12 | (b & 15) << 4);
}

bool writeWhole(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// The picture of frame t: a sky gradient of 12 bands, a scrolling checkered
// floor, a bouncing ball and a sliding bar. Never more than 48 colours.
uint32_t pixelAt(int x, int y, int t) {
    const int ballX = 40 + static_cast<int>(std::lround(120 + 110 * std::sin(t * 0.11)));
    const int ballY = 30 + static_cast<int>(std::lround(std::fabs(std::sin(t * 0.17)) * 90));
    const int dx = x - ballX;
    const int dy = y - ballY;
    const int r2 = dx * dx + dy * dy;
    if (r2 < 26 * 26) {
        const int shade = 15 - std::min(9, r2 / 80);
        return rgb4(shade, shade / 3, (t / 8) % 4);  // ball: up to 10 shades, tint drifts slowly
    }
    const int barX = (t * 6) % (SCREEN_WIDTH + 80) - 80;
    if (y >= 150 && y < 160 && x >= barX && x < barX + 80) return rgb4(2, 12, 15);
    if (y < 130) {
        const int band = y * 12 / 130;
        return rgb4(1 + band / 3, 3 + band / 2, 15 - band / 2);  // sky bands
    }
    const int cell = ((x + t * 4) / 20 + (y - 130) / 10) & 1;
    const int depth = (y - 130) / 18;  // 0..3
    return cell ? rgb4(10 - depth, 7 - depth, 2) : rgb4(4, 10 - depth * 2, 3);
}

bool writeFrame(const std::string& path, int t) {
    const uint32_t stride = SCREEN_WIDTH * 3;
    std::vector<uint8_t> b;
    b.reserve(54 + stride * SCREEN_HEIGHT);
    b.push_back('B');
    b.push_back('M');
    appendLeU32(b, 54 + stride * SCREEN_HEIGHT);
    appendLeU32(b, 0);
    appendLeU32(b, 54);
    appendLeU32(b, 40);
    appendLeU32(b, SCREEN_WIDTH);
    appendLeU32(b, SCREEN_HEIGHT);
    appendLeU16(b, 1);
    appendLeU16(b, 24);
    appendLeU32(b, 0);
    appendLeU32(b, stride * SCREEN_HEIGHT);
    appendLeU32(b, 2835);
    appendLeU32(b, 2835);
    appendLeU32(b, 0);
    appendLeU32(b, 0);
    for (int y = SCREEN_HEIGHT - 1; y >= 0; --y) {  // bottom-up rows
        for (int x = 0; x < SCREEN_WIDTH; ++x) {
            const uint32_t c = pixelAt(x, y, t);
            b.push_back(c & 0xFF);
            b.push_back((c >> 8) & 0xFF);
            b.push_back((c >> 16) & 0xFF);
        }
    }
    return writeWhole(path, b);
}

// A little tune: one note per video frame group, with a soft decay.
bool writeWav(const std::string& path, int frames) {
    const long samples = static_cast<long>(frames) * DISPLAY_FRAMES_PER_VIDEO_FRAME * AUDIO_WAV_RATE /
                         DISPLAY_FRAMES_PER_SECOND;
    static constexpr std::array<double, 8> notes = {261.6, 293.7, 329.6, 349.2, 392.0, 440.0, 493.9, 523.3};
    const long noteLength = AUDIO_WAV_RATE / 4;
    uint8_t header[WAV_HEADER_BYTES];
    wavSoundHeader(header, static_cast<uint32_t>(samples * 2));
    std::vector<uint8_t> b(header, header + WAV_HEADER_BYTES);
    for (long i = 0; i < samples; ++i) {
        const double f = notes[static_cast<size_t>((i / noteLength) % notes.size())];
        const double decay = std::exp(-3.0 * static_cast<double>(i % noteLength) / noteLength);
        const double v = 12000.0 * decay * std::sin(2 * M_PI * f * i / AUDIO_WAV_RATE);
        appendLeU16(b, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v))));
    }
    return writeWhole(path, b);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        puts("make_sample OUTDIR [FRAMES]");
        return 2;
    }
    const std::string dir = argv[1];
    int frames = DEFAULT_FRAMES;
    if (argc == 3) {
        char* end = nullptr;
        const long v = strtol(argv[2], &end, 10);
        if (*end != '\0' || v < 1 || v > MAX_FRAMES) {
            printf("make_sample: FRAMES must be a number from 1 to %d\n", MAX_FRAMES);
            return 2;
        }
        frames = static_cast<int>(v);
    }
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        printf("make_sample: cannot create %s\n", dir.c_str());
        return 1;
    }
    for (int t = 0; t < frames; ++t) {
        char name[32];
        snprintf(name, sizeof name, "/frame%05d.bmp", t);
        if (!writeFrame(dir + name, t)) {
            printf("make_sample: cannot write %s%s\n", dir.c_str(), name);
            return 1;
        }
    }
    if (!writeWav(dir + "/audio.wav", frames)) {
        printf("make_sample: cannot write %s/audio.wav\n", dir.c_str());
        return 1;
    }
    printf("make_sample: %d frames and audio.wav in %s\n", frames, dir.c_str());
    return 0;
}
