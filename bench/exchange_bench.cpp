// exchange_bench: the plain and the fast palette exchange search (with the
// plain and the fast pixel matching) on the same generated clips, one run
// each, in process:
//
// - the search alone (time spent inside the search, per frame),
// - decode_bmp_gram per frame (colour reduction with the search),
// - the encoder's frame path for compress type 1 without audio
//   (decode_bmp_gram + compressGram into a stream file),
//
// as frames per second with the ratio fast / plain, and whether both searches
// gave the same stream bytes. Then the built vendrel encodes a generated clip
// (type 1, no audio) and its peak memory is read from the child's rusage.
//
//   exchange_bench [QUICK]    (any argument: fewer frames, for a smoke run)
//
//   exchange_bench write-busy DIR FRAMES
//       writes FRAMES frames of the busy clip as DIR/f00000.bmp, ...
//   exchange_bench end-to-end PATTERN FRAMES TYPE
//       the frame loop of compress type TYPE (1: page 0 only; 2: pages 0 and
//       1 alternately) without audio over the BMP files PATTERN (frames 0 ..
//       FRAMES - 1), reading every file: once with the plain algorithm (every
//       pixel through search_palet, every candidate order evaluated over all
//       pixels), once with the encoder's own; times per frame, the ratio, and
//       whether the two streams are the same bytes.
//
// Times are CPU time of this thread, so that other load on the machine
// disturbs the figures as little as possible.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "encoder/image/bmp.h"
#include "encoder/image/decode_bmp.h"
#include "encoder/stream/avindex.h"
#include "encoder/video/compress.h"

namespace {

constexpr int W = SCREEN_WIDTH;
constexpr int H = SCREEN_HEIGHT;
constexpr int INTERVAL = 4;  // display frames per video frame, the encoder's default

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

uint32_t rgb4(int r, int g, int b) {
    return static_cast<uint32_t>((r & 15) << 20 | (g & 15) << 12 | (b & 15) << 4);
}

// n distinct 4-bit colours, the same on every run.
std::vector<uint32_t> colourCycle(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> colours;
    while (static_cast<int>(colours.size()) < n) {
        const uint32_t c = rgb4(static_cast<int>(rng()), static_cast<int>(rng()), static_cast<int>(rng()));
        if (std::find(colours.begin(), colours.end(), c) == colours.end()) colours.push_back(c);
    }
    return colours;
}

// A moving plasma quantised to `levels` bands; band k of frame t shows colour
// cycle[(k + shift * t) % cycle size], so colours come and go as it runs.
std::vector<uint32_t> plasma(int t, int levels, const std::vector<uint32_t>& cycle, int shift) {
    std::vector<uint32_t> px(static_cast<size_t>(W) * H);
    const double cx = 160 + 90 * std::sin(t * 0.21);
    const double cy = 100 + 60 * std::cos(t * 0.17);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const double r = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
            const double v = std::sin(x * 0.045 + t * 0.35) + std::sin(y * 0.06 - t * 0.23) +
                             std::sin((x + y) * 0.028 + t * 0.17) + std::sin(r * 0.07 - t * 0.4);
            const int k = std::clamp(static_cast<int>((v + 4.0) / 8.0 * levels), 0, levels - 1);
            px[static_cast<size_t>(y) * W + x] = cycle[(k + shift * t) % cycle.size()];
        }
    }
    return px;
}

// A still landscape (sky bands, hills, a checkered field) with one small ball
// crossing it: almost every group stays as it was.
std::vector<uint32_t> mostlyStatic(int t) {
    std::vector<uint32_t> px(static_cast<size_t>(W) * H);
    const int bx = 30 + (t * 7) % 260;
    const int by = 60 + static_cast<int>(25 * std::sin(t * 0.4));
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            uint32_t c;
            const int hill = 120 + static_cast<int>(18 * std::sin(x * 0.03));
            if (y < hill) c = rgb4(1 + y / 40, 3 + y / 25, 15 - y / 20);
            else if (y < 150) c = rgb4(2, 8 + (x / 40 + y / 10) % 4, 3);
            else c = ((x / 16 + y / 8) & 1) ? rgb4(10 - (y - 150) / 13, 7, 2) : rgb4(4, 10, 3);
            const int dx = x - bx, dy = y - by;
            if (dx * dx + dy * dy < 100) c = rgb4(15, 4 + (dx * dx + dy * dy) / 20, 2);
            px[static_cast<size_t>(y) * W + x] = c;
        }
    }
    return px;
}

struct Clip {
    const char* name;
    int limit;
    std::vector<std::vector<uint32_t>> frames;
};

std::vector<Clip> makeClips(bool quick) {
    std::vector<Clip> clips;
    const int busyFrames = quick ? 2 : 6;
    const int cheapFrames = quick ? 4 : 24;
    Clip busy{"busy (64 colours)", 64, {}};
    const auto cycle128 = colourCycle(128, 1);
    for (int t = 0; t < busyFrames; ++t) busy.frames.push_back(plasma(t, 64, cycle128, 12));
    Clip still{"mostly static", 64, {}};
    for (int t = 0; t < cheapFrames; ++t) still.frames.push_back(mostlyStatic(t));
    Clip limit16{"limit 16", 16, {}};
    const auto cycle24 = colourCycle(24, 2);
    for (int t = 0; t < cheapFrames; ++t) limit16.frames.push_back(plasma(t, 16, cycle24, 3));
    Clip limit4{"limit 4", 4, {}};
    const auto cycle6 = colourCycle(6, 3);
    for (int t = 0; t < cheapFrames; ++t) limit4.frames.push_back(plasma(t, 4, cycle6, 1));
    clips.push_back(std::move(busy));
    clips.push_back(std::move(still));
    clips.push_back(std::move(limit16));
    clips.push_back(std::move(limit4));
    return clips;
}

// One frame as a 24-bit bottom-up BMP file image; `bmp` points into `bytes`.
struct Image {
    BmpImage bmp{};
    std::vector<uint8_t> bytes;
    explicit Image(const std::vector<uint32_t>& px) {
        bmp.width = W;
        bmp.height = H;
        bmp.bitCount = 24;
        bmp.stride = W * 3;
        bmp.pixelBytes = H * bmp.stride;
        bytes.resize(bmp.pixelBytes);
        for (int y = 0; y < H; ++y) {
            uint8_t* row = bytes.data() + (H - 1 - y) * bmp.stride;
            for (int x = 0; x < W; ++x) {
                const uint32_t c = px[static_cast<size_t>(y) * W + x];
                row[3 * x] = c & 0xFF;
                row[3 * x + 1] = (c >> 8) & 0xFF;
                row[3 * x + 2] = (c >> 16) & 0xFF;
            }
        }
        bmp.data = bytes.data();
    }
};

double searchSeconds;
int plainTimed(int page, uint8_t order[128]) {
    const double t0 = cpuSeconds();
    const int n = improveOrderPlain(page, order);
    searchSeconds += cpuSeconds() - t0;
    return n;
}
int fastTimed(int page, uint8_t order[128]) {
    const double t0 = cpuSeconds();
    const int n = improveOrderFast(page, order);
    searchSeconds += cpuSeconds() - t0;
    return n;
}

// Ends an encoder run whose printing went to /dev/null: standard output back,
// the stream file read into memory and closed, the modules reset for the
// next run.
std::vector<uint8_t> endQuietRun(int savedOut, int devNull) {
    fflush(stdout);
    dup2(savedOut, 1);
    close(savedOut);
    close(devNull);
    fflush(fpDst);
    std::vector<uint8_t> stream(static_cast<size_t>(ftell(fpDst)));
    rewind(fpDst);
    if (fread(stream.data(), 1, stream.size(), fpDst) != stream.size()) stream.clear();
    fclose(fpDst);
    avindexReset();
    decode_bmp_reset();
    return stream;
}

struct Timing {
    double search = 0, decode = 0, compress = 0;
    long exchanges = 0;
    std::vector<uint8_t> stream;
};

// The frame loop of compress type 1 without audio: every frame on page 0.
Timing encodeClip(const std::vector<Image>& images, int limit, PixelMatch match, ExchangeSearch search) {
    decode_bmp_reset();
    avindexReset();
    compressReset();
    decode_bmp_setPixelMatch(match);
    decode_bmp_setExchangeSearch(search);
    fpDst = tmpfile();
    compressGramInit(fpDst, hdr);
    // The stream's block lines would drown the table.
    fflush(stdout);
    const int savedOut = dup(1);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    Timing t;
    searchSeconds = 0;
    for (size_t n = 0; n < images.size(); ++n) {
        curFrame = static_cast<int>(n);
        decode_bmp_setColorLimit(limit);
        const double t0 = cpuSeconds();
        decode_bmp_gram(0, &images[n].bmp);
        const double t1 = cpuSeconds();
        compressFrameTimeSet(INTERVAL);
        compressGram(gram_buf[0], gram_buf[2], paletUpdateList);
        t.decode += t1 - t0;
        t.compress += cpuSeconds() - t1;
        t.exchanges += paletSwapCount;
        frameTime += INTERVAL;
    }
    compressGramEnd();
    avindexOut(fpDst);
    t.search = searchSeconds;
    t.stream = endQuietRun(savedOut, devNull);
    return t;
}

bool writeBmp(const std::string& path, const Image& image);

struct FileRun {
    double seconds = 0;
    long exchanges = 0;
    int frames = 0;
    std::vector<uint8_t> stream;
};

// The driver's frame loop without audio, from reading each BMP file to the
// stream bytes, with the given pixel matching and exchange search.
FileRun encodeFiles(const char* pattern, int frames, int type, PixelMatch match, ExchangeSearch search) {
    decode_bmp_reset();
    avindexReset();
    compressReset();
    decode_bmp_setPixelMatch(match);
    decode_bmp_setExchangeSearch(search);
    decode_bmp_setColorLimit(64);
    fpDst = tmpfile();
    compressGramInit(fpDst, hdr);
    fflush(stdout);
    const int savedOut = dup(1);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    FileRun run;
    int page = 0;
    const double t0 = cpuSeconds();
    for (int n = 0; n < frames; ++n) {
        char name[4096];
        snprintf(name, sizeof name, pattern, n);
        curFrame = n;
        BmpImage* image = bmpReadFile(name);
        if (!image) break;
        decode_bmp_gram(page, image);
        bmpFree(image);
        compressFrameTimeSet(INTERVAL);
        compressGram(gram_buf[page], gram_buf[2], paletUpdateList);
        run.exchanges += paletSwapCount;
        ++run.frames;
        if (type == 2) page ^= 1;
        frameTime += INTERVAL;
    }
    compressGramEnd();
    avindexOut(fpDst);
    run.seconds = cpuSeconds() - t0;
    run.stream = endQuietRun(savedOut, devNull);
    return run;
}

int endToEnd(const char* pattern, int frames, int type) {
    const FileRun plain = encodeFiles(pattern, frames, type, matchPixelsPlain, improveOrderPlain);
    const FileRun fast = encodeFiles(pattern, frames, type, matchPixelsFast, improveOrderFast);
    if (plain.frames == 0 || plain.frames != fast.frames) {
        printf("end-to-end: could not read the frames %s\n", pattern);
        return 1;
    }
    const bool same = plain.stream == fast.stream && plain.exchanges == fast.exchanges;
    printf("end-to-end -c%d, %d frames, %ld exchanges: plain %.2f ms/frame, vendrel %.3f ms/frame, %.0fx, %s\n",
           type, fast.frames, fast.exchanges, 1e3 * plain.seconds / plain.frames, 1e3 * fast.seconds / fast.frames,
           plain.seconds / fast.seconds, same ? "identical" : "DIFFERENT");
    return same ? 0 : 1;
}

int writeBusy(const char* dir, int frames) {
    const auto cycle = colourCycle(128, 1);
    for (int n = 0; n < frames; ++n) {
        char name[32];
        snprintf(name, sizeof name, "/f%05d.bmp", n);
        if (!writeBmp(std::string(dir) + name, Image(plasma(n, 64, cycle, 12)))) {
            printf("write-busy: cannot write into %s\n", dir);
            return 1;
        }
    }
    return 0;
}

std::string cpuModel() {
    FILE* f = fopen("/proc/cpuinfo", "r");
    if (!f) return "unknown";
    char line[256];
    std::string model = "unknown";
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "model name", 10) == 0) {
            const char* colon = strchr(line, ':');
            model = colon ? colon + 2 : line;
            if (!model.empty() && model.back() == '\n') model.pop_back();
            break;
        }
    }
    fclose(f);
    return model;
}

bool writeBmp(const std::string& path, const Image& image) {
    std::vector<uint8_t> b(54, 0);
    const uint32_t size = 54 + static_cast<uint32_t>(image.bytes.size());
    auto put32 = [&](int at, uint32_t v) {
        for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, size);
    put32(10, 54);
    put32(14, 40);
    put32(18, W);
    put32(22, H);
    b[26] = 1;
    b[28] = 24;
    put32(34, static_cast<uint32_t>(image.bytes.size()));
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(b.data(), 1, b.size(), f) == b.size();
    ok = fwrite(image.bytes.data(), 1, image.bytes.size(), f) == image.bytes.size() && ok;
    return fclose(f) == 0 && ok;
}

// Runs the built encoder on `frames` frames of the busy picture written to a
// temporary folder (type 1, no audio); returns its peak resident size in KiB,
// or -1. The child's figure includes what it shared with this process before
// exec, so this runs first, while this process is still small, and writes
// the frames one by one.
long vendrelPeakKiB(int frames, double* wallSeconds) {
    char dir[] = "/tmp/exchange_bench_XXXXXX";
    if (!mkdtemp(dir)) return -1;
    const std::string base = dir;
    const auto cycle = colourCycle(128, 1);
    for (int n = 0; n < frames; ++n) {
        char name[32];
        snprintf(name, sizeof name, "/f%05d.bmp", n);
        if (!writeBmp(base + name, Image(plasma(n, 64, cycle, 12)))) return -1;
    }
    const std::string in = base + "/f%05d.bmp";
    const std::string out = base + "/clip.bin";
    const std::string last = "-e" + std::to_string(frames - 1);
    timespec t0{}, t1{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    const pid_t child = fork();
    if (child == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, 1);
        execl(VENDREL_BIN, "vendrel", "-c1", "-s0", last.c_str(), in.c_str(), out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    const bool waited = child > 0 && wait4(child, &status, 0, &usage) == child;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    *wallSeconds = static_cast<double>(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) * 1e-9;
    for (int n = 0; n < frames; ++n) {
        char name[32];
        snprintf(name, sizeof name, "/f%05d.bmp", n);
        remove((base + name).c_str());
    }
    remove(out.c_str());
    rmdir(dir);
    if (!waited || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

double fps(int frames, double seconds) { return seconds > 0 ? frames / seconds : 0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "write-busy") == 0) return writeBusy(argv[2], atoi(argv[3]));
    if (argc == 5 && strcmp(argv[1], "end-to-end") == 0) return endToEnd(argv[2], atoi(argv[3]), atoi(argv[4]));
    const bool quick = argc > 1;
    printf("machine: %ld cores, %s\n\n", sysconf(_SC_NPROCESSORS_ONLN), cpuModel().c_str());
    const int memoryFrames = quick ? 4 : 60;
    double wall = 0;
    const long peak = vendrelPeakKiB(memoryFrames, &wall);
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    if (peak < 0) {
        printf("vendrel could not encode the memory clip\n");
        return 1;
    }
    printf("vendrel -c1, busy clip, %d frames, no audio: peak memory %ld KiB (%.2f MiB), %.1f frames/s wall\n"
           "(this process held %ld KiB when it started vendrel)\n\n",
           memoryFrames, peak, peak / 1024.0, memoryFrames / wall, self.ru_maxrss);
    fflush(stdout);
    printf("%-18s %6s %9s | %-25s | %-25s | %-25s | %s\n", "clip", "frames", "exchanges",
           "search ms/frame plain fast", "decode_bmp_gram fps", "encoder (type 1) fps", "stream");
    printf("%-18s %6s %9s | %8s %8s %7s | %8s %8s %7s | %8s %8s %7s |\n", "", "", "", "plain", "fast", "ratio",
           "plain", "fast", "ratio", "plain", "fast", "ratio");
    for (const Clip& clip : makeClips(quick)) {
        std::vector<Image> images;
        for (const auto& px : clip.frames) images.emplace_back(px);
        const Timing plain = encodeClip(images, clip.limit, matchPixelsPlain, plainTimed);
        const Timing fast = encodeClip(images, clip.limit, matchPixelsFast, fastTimed);
        const int n = static_cast<int>(images.size());
        const double plainEnc = plain.decode + plain.compress;
        const double fastEnc = fast.decode + fast.compress;
        printf("%-18s %6d %9ld | %8.2f %8.3f %6.0fx | %8.2f %8.1f %6.1fx | %8.2f %8.1f %6.1fx | %s\n", clip.name, n,
               plain.exchanges, 1e3 * plain.search / n, 1e3 * fast.search / n, plain.search / fast.search,
               fps(n, plain.decode), fps(n, fast.decode), plain.decode / fast.decode, fps(n, plainEnc),
               fps(n, fastEnc), plainEnc / fastEnc,
               plain.stream == fast.stream && plain.exchanges == fast.exchanges ? "identical" : "DIFFERENT");
        fflush(stdout);
    }
    return 0;
}
