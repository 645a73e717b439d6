// What a viewer sees of a stream's pictures against the source, both as raw
// 320 x 200 RGB frames on the 60 Hz display timeline:
//
//   picture_metrics SOURCE.rgb SHOWN.rgb
//
// prints one line: psnr ssim blurred_psnr cut_psnr oklab
//   psnr          over all frames, in RGB
//   ssim          on luma, 8 x 8 windows every 4 pixels
//   blurred_psnr  after a Gaussian blur (sigma 1 pixel) of both pictures: a
//                 dither seen from viewing distance
//   cut_psnr      over the 0.5 s after each hard cut of the source (a mean
//                 luma change of more than 20 between two display frames);
//                 "-" when the source has none
//   oklab         the mean colour distance (x 100) in OKLab of the blurred pictures
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int W = 320;
constexpr int H = 200;
constexpr int PIXELS = W * H;
constexpr int BYTES = PIXELS * 3;
constexpr int AFTER_CUT = 30;         // display frames: 0.5 s
constexpr double CUT_LUMA = 20.0;
constexpr int RADIUS = 3;

double luma(const uint8_t* p) { return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]; }

double psnrOf(double mse) { return mse > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : 99.0; }

double squares(const float* a, const float* b, int n) {
    double s = 0;
    for (int i = 0; i < n; ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return s;
}

// Mirrors a coordinate that falls off the picture back into it.
int mirror(int v, int size) { return v < 0 ? -v : v >= size ? 2 * size - 2 - v : v; }

// One pass of a Gaussian (sigma 1 pixel) along x (dx = 1) or y (dy = 1).
template <typename T>
void blurPass(const T* in, float* out, int dx, int dy) {
    static const std::array<float, 2 * RADIUS + 1> k = [] {
        std::array<float, 2 * RADIUS + 1> w{};
        float sum = 0;
        for (int i = -RADIUS; i <= RADIUS; ++i) sum += w[i + RADIUS] = std::exp(-0.5f * i * i);
        for (float& v : w) v /= sum;
        return w;
    }();
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c) {
                float s = 0;
                for (int i = -RADIUS; i <= RADIUS; ++i)
                    s += k[i + RADIUS] * in[3 * (mirror(y + i * dy, H) * W + mirror(x + i * dx, W)) + c];
                out[3 * (y * W + x) + c] = s;
            }
}

void blur(const uint8_t* in, std::vector<float>* out) {
    std::vector<float> across(BYTES);
    out->assign(BYTES, 0.0f);
    blurPass(in, across.data(), 1, 0);
    blurPass(across.data(), out->data(), 0, 1);
}

double linear(double v) {
    v /= 255.0;
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

std::array<double, 3> oklab(const float* p) {
    const double r = linear(p[0]), g = linear(p[1]), b = linear(p[2]);
    const double l = std::cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
    const double m = std::cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
    const double s = std::cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
    return {0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s,
            1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
            0.0259040371 * l + 0.7827717662 * m - 0.8086757278 * s};
}

double ssim(const uint8_t* a, const uint8_t* b) {
    constexpr double C1 = 6.5025, C2 = 58.5225;
    double total = 0;
    int windows = 0;
    for (int y = 0; y + 8 <= H; y += 4)
        for (int x = 0; x + 8 <= W; x += 4) {
            double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
            for (int j = 0; j < 8; ++j)
                for (int i = 0; i < 8; ++i) {
                    const int at = 3 * ((y + j) * W + x + i);
                    const double u = luma(a + at), v = luma(b + at);
                    sa += u; sb += v; saa += u * u; sbb += v * v; sab += u * v;
                }
            const double n = 64, ma = sa / n, mb = sb / n;
            const double va = saa / n - ma * ma, vb = sbb / n - mb * mb, cov = sab / n - ma * mb;
            total += (2 * ma * mb + C1) * (2 * cov + C2) / ((ma * ma + mb * mb + C1) * (va + vb + C2));
            ++windows;
        }
    return total / windows;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fputs("usage: picture_metrics SOURCE.rgb SHOWN.rgb\n", stderr);
        return 2;
    }
    FILE* fa = fopen(argv[1], "rb");
    FILE* fb = fopen(argv[2], "rb");
    if (!fa || !fb) {
        fputs("picture_metrics: cannot open the pictures\n", stderr);
        return 1;
    }
    std::vector<uint8_t> a(BYTES), b(BYTES), before(BYTES);
    std::vector<float> ba, bb, fa32(BYTES), fb32(BYTES);
    double mse = 0, blurMse = 0, ssimSum = 0, okSum = 0, cutMse = 0;
    long frames = 0, cutFrames = 0;
    int sinceCut = AFTER_CUT;
    while (fread(a.data(), 1, BYTES, fa) == BYTES && fread(b.data(), 1, BYTES, fb) == BYTES) {
        if (frames > 0) {
            double change = 0;
            for (int i = 0; i < PIXELS; ++i) change += std::fabs(luma(&a[3 * i]) - luma(&before[3 * i]));
            if (change / PIXELS > CUT_LUMA) sinceCut = 0;
        }
        before = a;
        for (int i = 0; i < BYTES; ++i) { fa32[i] = a[i]; fb32[i] = b[i]; }
        const double frameMse = squares(fa32.data(), fb32.data(), BYTES) / BYTES;
        mse += frameMse;
        if (sinceCut < AFTER_CUT) {
            cutMse += frameMse;
            ++cutFrames;
            ++sinceCut;
        }
        blur(a.data(), &ba);
        blur(b.data(), &bb);
        blurMse += squares(ba.data(), bb.data(), BYTES) / BYTES;
        ssimSum += ssim(a.data(), b.data());
        double ok = 0;
        for (int i = 0; i < PIXELS; ++i) {
            const auto p = oklab(&ba[3 * i]), q = oklab(&bb[3 * i]);
            ok += std::sqrt((p[0] - q[0]) * (p[0] - q[0]) + (p[1] - q[1]) * (p[1] - q[1]) + (p[2] - q[2]) * (p[2] - q[2]));
        }
        okSum += ok / PIXELS;
        ++frames;
    }
    if (frames == 0) {
        fputs("picture_metrics: no frames\n", stderr);
        return 1;
    }
    printf("%.2f %.4f %.2f ", psnrOf(mse / frames), ssimSum / frames, psnrOf(blurMse / frames));
    if (cutFrames > 0) printf("%.2f ", psnrOf(cutMse / cutFrames)); else printf("- ");
    printf("%.2f\n", 100.0 * okSum / frames);
    return 0;
}
