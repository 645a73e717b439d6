// Helper of prep_quality.sh: measures how far prepared frames stray from their
// source, and turns ffmpeg's own paletted frames into frames vendrel takes.
//
//   prep_quality mse SOURCE.rgb DIR      mean squared error of DIR/frame%05d.bmp
//                                        against raw rgb24 320 x 200 frames
//   prep_quality tobmp PALETTED.rgb DIR  raw rgb24 frames -> DIR/frame%05d.bmp,
//                                        each component rounded to 4 bits
//
// A 4-bit level c is shown by the target as c * 17; that is what is compared.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int W = 320;
constexpr int H = 200;
constexpr size_t FRAME = W * H * 3;

std::string frameName(const std::string& dir, int n) {
    char name[32];
    snprintf(name, sizeof name, "/frame%05d.bmp", n);
    return dir + name;
}

uint32_t le(const std::vector<uint8_t>& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[at + i];
    return v;
}

// Reads a bottom-up 320 x 200 BMP of 8 or 24 bits into rgb (row 0 at the top).
bool readBmp(const std::string& path, std::vector<uint8_t>* rgb) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> b;
    uint8_t chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) b.insert(b.end(), chunk, chunk + n);
    fclose(f);
    if (b.size() < 54 || le(b, 18, 4) != W || le(b, 22, 4) != H) return false;
    const int bits = static_cast<int>(le(b, 28, 2));
    const size_t offset = le(b, 10, 4);
    const size_t stride = (bits * W / 8 + 3) & ~size_t{3};
    if (b.size() < offset + stride * H || (bits != 8 && bits != 24)) return false;
    rgb->resize(FRAME);
    for (int y = 0; y < H; ++y) {
        const uint8_t* row = &b[offset + (H - 1 - y) * stride];
        for (int x = 0; x < W; ++x) {
            const uint8_t* bgr = bits == 24 ? row + 3 * x : &b[54 + 4 * row[x]];
            uint8_t* out = &(*rgb)[3 * (y * W + x)];
            out[0] = bgr[2];
            out[1] = bgr[1];
            out[2] = bgr[0];
        }
    }
    return true;
}

int mse(const char* source, const std::string& dir) {
    FILE* src = fopen(source, "rb");
    if (!src) return 1;
    std::vector<uint8_t> want(FRAME);
    std::vector<uint8_t> got;
    double total = 0;
    int frames = 0;
    size_t maxColours = 0;
    while (fread(want.data(), 1, FRAME, src) == FRAME && readBmp(frameName(dir, frames), &got)) {
        double sum = 0;
        std::set<uint32_t> colours;
        for (size_t i = 0; i < FRAME; i += 3) {
            colours.insert(got[i] >> 4 << 8 | got[i + 1] >> 4 << 4 | got[i + 2] >> 4);
            for (int k = 0; k < 3; ++k) {
                const double d = want[i + k] - (got[i + k] >> 4) * 17.0;
                sum += d * d;
            }
        }
        maxColours = std::max(maxColours, colours.size());
        total += sum / FRAME;
        ++frames;
    }
    fclose(src);
    if (frames == 0) return 1;
    const double m = total / frames;
    printf("frames %d mse %.2f psnr %.2f maxcolours %zu\n", frames, m, 10 * std::log10(255.0 * 255.0 / m), maxColours);
    return 0;
}

void put(std::vector<uint8_t>& b, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back((v >> (8 * i)) & 0xFF);
}

int toBmp(const char* paletted, const std::string& dir) {
    FILE* src = fopen(paletted, "rb");
    if (!src) return 1;
    std::vector<uint8_t> rgb(FRAME);
    int n = 0;
    for (; fread(rgb.data(), 1, FRAME, src) == FRAME; ++n) {
        std::vector<uint8_t> b = {'B', 'M'};
        put(b, 54 + FRAME, 4);
        put(b, 0, 4);
        put(b, 54, 4);
        put(b, 40, 4);
        put(b, W, 4);
        put(b, H, 4);
        put(b, 1, 2);
        put(b, 24, 2);
        for (int i = 0; i < 6; ++i) put(b, 0, 4);
        for (int y = H - 1; y >= 0; --y)
            for (int x = 0; x < W; ++x)
                for (int k = 2; k >= 0; --k) b.push_back(static_cast<uint8_t>((rgb[3 * (y * W + x) + k] * 15 + 127) / 255 << 4));
        FILE* f = fopen(frameName(dir, n).c_str(), "wb");
        if (!f || fwrite(b.data(), 1, b.size(), f) != b.size()) return 1;
        fclose(f);
    }
    fclose(src);
    printf("%d frames\n", n);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "mse") == 0) return mse(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "tobmp") == 0) return toBmp(argv[2], argv[3]);
    puts("prep_quality mse SOURCE.rgb DIR | prep_quality tobmp PALETTED.rgb DIR");
    return 2;
}
