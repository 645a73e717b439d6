// Colour reduction in the target's 4096-colour space.
//
// Every frame is first rounded to 4 bits per primary and counted into a
// histogram of the 4096 colours; the palette is chosen on that histogram, so
// the work per frame does not grow with the picture's detail. A frame with no
// more distinct colours than allowed keeps them all. Otherwise the palette is
// found by weighted k-means: seeded by median cut when the frame starts a new
// scene, and by the previous frame's palette while the scene goes on. In a
// running scene a colour of the previous palette stays as long as the cluster
// it serves has hardly moved, and the whole previous palette stays while it
// is nearly as good as the new one: the encoder then resends no palette
// entries and, for pixels that keep their colour, no picture bytes. A pixel
// also keeps last frame's colour when that colour is as close as the nearest.
#include "tools/prep/reduce.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace prep {
namespace {

constexpr int LEVELS = 16;
constexpr int KMEANS_ROUNDS = 12;
// A scene goes on while at least this share of the pixels fall into the same
// coarse colour cells (COARSE_CELLS) as in the previous frame.
constexpr double SCENE_OVERLAP = 0.5;
// A previous colour stays for a cluster whose centre lies within this squared
// distance (in 4-bit levels) of it; rounding alone moves a centre by up to 0.75.
constexpr double STICK_DISTANCE2 = 1.0;
// The previous palette as a whole stays while its error on the new frame is
// at most this factor above the error of the palette found afresh.
constexpr double KEEP_FACTOR = 1.02;
// A pixel keeps last frame's colour when that colour is at most this much
// (squared 4-bit levels) farther than the nearest palette colour.
constexpr int HOLD_MARGIN = 0;

// Ordered dithering: a 4 x 4 Bayer matrix of thresholds 0..15.
constexpr std::array<std::array<int, 4>, 4> BAYER = {{
    {{0, 8, 2, 10}},
    {{12, 4, 14, 6}},
    {{3, 11, 1, 9}},
    {{15, 7, 13, 5}},
}};

struct Bin {
    int r;
    int g;
    int b;
    int weight;
};

struct Point {
    double r;
    double g;
    double b;
};

struct Box {
    int begin;
    int end;
    double sse;
    int axis;
    Point mean;
};

ReduceState state;

// Work areas of one frame.
std::array<uint8_t, 256> levelOf;
std::array<Colour12, FRAME_PIXELS> rounded;
std::array<int, COLOURS_4BIT> histogram;
CoarseCells coarse;
std::array<Bin, COLOURS_4BIT> bins;
int binCount;
std::array<int, COLOURS_4BIT> binCluster;
std::array<double, COLOURS_4BIT> binDistance;
std::array<Point, MAX_COLOURS> seeds;
std::array<Box, MAX_COLOURS> boxes;
std::array<Colour12, MAX_COLOURS> palette;
int paletteSize;
std::array<uint8_t, COLOURS_4BIT> nearest;
std::array<int, COLOURS_4BIT> nearestDistance;
std::array<int16_t, COLOURS_4BIT> slotOf;  // palette entry of a colour, or -1
std::array<int, MAX_COLOURS> usage;

int component(const Bin& bin, int axis) { return axis == 0 ? bin.r : axis == 1 ? bin.g : bin.b; }

double distance2(const Point& p, int r, int g, int b) {
    const double dr = p.r - r;
    const double dg = p.g - g;
    const double db = p.b - b;
    return dr * dr + dg * dg + db * db;
}


Colour12 binColour(const Bin& bin) { return colour12(bin.r, bin.g, bin.b); }

Point pointOf(Colour12 c) {
    return {static_cast<double>(red4(c)), static_cast<double>(green4(c)), static_cast<double>(blue4(c))};
}

int roundLevel(double v) { return std::clamp(static_cast<int>(std::lround(v)), 0, LEVELS - 1); }

Colour12 roundPoint(const Point& p) { return colour12(roundLevel(p.r), roundLevel(p.g), roundLevel(p.b)); }

// ---- histogram ----

int coarseCell(Colour12 c) { return (red4(c) >> 1) << 6 | (green4(c) >> 1) << 3 | (blue4(c) >> 1); }

void countColours(const uint8_t* rgb) {
    histogram.fill(0);
    coarse.fill(0);
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const Colour12 c = colour12(levelOf[rgb[3 * i]], levelOf[rgb[3 * i + 1]], levelOf[rgb[3 * i + 2]]);
        rounded[i] = c;
        ++histogram[c];
        ++coarse[coarseCell(c)];
    }
    binCount = 0;
    for (int c = 0; c < COLOURS_4BIT; ++c) {
        if (histogram[c] == 0) continue;
        const Colour12 colour = static_cast<Colour12>(c);
        bins[binCount++] = {red4(colour), green4(colour), blue4(colour), histogram[c]};
    }
}

bool sceneGoesOn() { return state.havePrevious && sameScene(state.coarse, coarse); }

// ---- median cut: the seeds of a new scene ----

Box makeBox(int begin, int end) {
    double w = 0;
    std::array<double, 3> sum{};
    std::array<double, 3> sum2{};
    for (int i = begin; i < end; ++i) {
        const Bin& bin = bins[i];
        w += bin.weight;
        for (int a = 0; a < 3; ++a) {
            const double v = component(bin, a);
            sum[a] += bin.weight * v;
            sum2[a] += bin.weight * v * v;
        }
    }
    Box box{begin, end, 0.0, 0, {sum[0] / w, sum[1] / w, sum[2] / w}};
    double widest = -1;
    for (int a = 0; a < 3; ++a) {
        const double spread = sum2[a] - sum[a] * sum[a] / w;  // weighted squared deviation
        box.sse += spread;
        if (spread > widest) {
            widest = spread;
            box.axis = a;
        }
    }
    return box;
}

// The split point of a box sorted along its axis: at the weighted median,
// moved to a place where the axis value changes so that no colour is cut.
int splitPoint(const Box& box) {
    double total = 0;
    for (int i = box.begin; i < box.end; ++i) total += bins[i].weight;
    double sum = 0;
    int s = box.begin + 1;
    for (int i = box.begin; i < box.end; ++i) {
        sum += bins[i].weight;
        if (sum >= total / 2) {
            s = i + 1;
            break;
        }
    }
    s = std::clamp(s, box.begin + 1, box.end - 1);
    const auto differs = [&](int at) {
        return component(bins[at], box.axis) != component(bins[at - 1], box.axis);
    };
    for (int up = s, down = s; up < box.end || down > box.begin; ++up, --down) {
        if (up < box.end && differs(up)) return up;
        if (down > box.begin && differs(down)) return down;
    }
    return s;
}

int medianCut(int k) {
    boxes[0] = makeBox(0, binCount);
    int count = 1;
    while (count < k) {
        int pick = -1;
        double widest = 0;
        for (int i = 0; i < count; ++i) {
            if (boxes[i].sse > widest && boxes[i].end - boxes[i].begin > 1) {
                widest = boxes[i].sse;
                pick = i;
            }
        }
        if (pick < 0) break;
        const Box box = boxes[pick];
        std::sort(bins.begin() + box.begin, bins.begin() + box.end, [axis = box.axis](const Bin& x, const Bin& y) {
            return component(x, axis) < component(y, axis);
        });
        const int s = splitPoint(box);
        boxes[pick] = makeBox(box.begin, s);
        boxes[count++] = makeBox(s, box.end);
    }
    for (int i = 0; i < count; ++i) seeds[i] = boxes[i].mean;
    return count;
}

// ---- k-means on the histogram ----

// Assigns every bin to its nearest seed; returns how many bins changed seed.
int assignBins(int count) {
    int changed = 0;
    for (int i = 0; i < binCount; ++i) {
        const Bin& bin = bins[i];
        int best = 0;
        double bestDistance = distance2(seeds[0], bin.r, bin.g, bin.b);
        for (int j = 1; j < count; ++j) {
            const double d = distance2(seeds[j], bin.r, bin.g, bin.b);
            if (d < bestDistance) {
                bestDistance = d;
                best = j;
            }
        }
        if (binCluster[i] != best) ++changed;
        binCluster[i] = best;
        binDistance[i] = bestDistance;
    }
    return changed;
}

// The bin that the current seeds serve worst (largest weighted squared
// distance), or -1 when every bin sits on a seed.
int worstServedBin() {
    int worst = -1;
    double worstError = 0;
    for (int i = 0; i < binCount; ++i) {
        const double e = bins[i].weight * binDistance[i];
        if (e > worstError) {
            worstError = e;
            worst = i;
        }
    }
    return worst;
}

// A new seed on bin i: the bins it now serves best move over to it.
void placeSeed(int seed, int i) {
    seeds[seed] = {static_cast<double>(bins[i].r), static_cast<double>(bins[i].g), static_cast<double>(bins[i].b)};
    for (int b = 0; b < binCount; ++b) {
        const double d = distance2(seeds[seed], bins[b].r, bins[b].g, bins[b].b);
        if (d < binDistance[b]) {
            binDistance[b] = d;
            binCluster[b] = seed;
        }
    }
}

// Adds seeds on the worst served bins until there are k or every bin is
// served exactly. Needs binDistance of the current seeds.
int growSeeds(int count, int k) {
    while (count < k) {
        const int worst = worstServedBin();
        if (worst < 0) break;
        placeSeed(count++, worst);
    }
    return count;
}

// Moves every seed to the weighted centre of its bins; an emptied seed is
// put back on the worst served bin. Returns the number of seeds kept.
int moveSeeds(int count) {
    std::array<double, MAX_COLOURS> w{};
    std::array<Point, MAX_COLOURS> sum{};
    for (int i = 0; i < binCount; ++i) {
        const int j = binCluster[i];
        w[j] += bins[i].weight;
        sum[j].r += bins[i].weight * bins[i].r;
        sum[j].g += bins[i].weight * bins[i].g;
        sum[j].b += bins[i].weight * bins[i].b;
    }
    int kept = 0;
    for (int j = 0; j < count; ++j) {
        if (w[j] == 0) continue;
        seeds[kept++] = {sum[j].r / w[j], sum[j].g / w[j], sum[j].b / w[j]};
    }
    return kept;
}

int kMeans(int count, int k) {
    binCluster.fill(-1);
    assignBins(count);
    count = growSeeds(count, k);
    for (int round = 0; round < KMEANS_ROUNDS; ++round) {
        count = moveSeeds(count);
        const int changed = assignBins(count);
        const int before = count;
        count = growSeeds(count, k);
        if (changed == 0 && count == before) break;
    }
    return count;
}

// ---- palettes on the 4-bit grid ----

int64_t paletteError(const Colour12* colours, int size) {
    int64_t total = 0;
    for (int i = 0; i < binCount; ++i) {
        const Colour12 c = binColour(bins[i]);
        int best = colourDistance2(c, colours[0]);
        for (int j = 1; j < size; ++j) best = std::min(best, colourDistance2(c, colours[j]));
        total += static_cast<int64_t>(best) * bins[i].weight;
    }
    return total;
}

bool inPalette(Colour12 c) {
    for (int j = 0; j < paletteSize; ++j)
        if (palette[j] == c) return true;
    return false;
}

void addColour(Colour12 c) {
    if (paletteSize < MAX_COLOURS && !inPalette(c)) palette[paletteSize++] = c;
}

// Rounding can merge seeds: fill the palette back up to k with the colours
// of the bins it serves worst.
void fillPalette(int k) {
    while (paletteSize < k) {
        for (int i = 0; i < binCount; ++i) {
            const Colour12 c = binColour(bins[i]);
            int best = colourDistance2(c, palette[0]);
            for (int j = 1; j < paletteSize; ++j) best = std::min(best, colourDistance2(c, palette[j]));
            binDistance[i] = best;
        }
        const int worst = worstServedBin();
        if (worst < 0) return;
        addColour(binColour(bins[worst]));
    }
}

void exactPalette() {
    paletteSize = 0;
    for (int i = 0; i < binCount; ++i) palette[paletteSize++] = binColour(bins[i]);
}

void freshPalette(int k) {
    const int count = kMeans(medianCut(k), k);
    paletteSize = 0;
    for (int j = 0; j < count; ++j) addColour(roundPoint(seeds[j]));
    fillPalette(k);
}

// The scene goes on: start from the previous colours and keep each one whose
// cluster has hardly moved, then keep the old palette whole if the new one
// is not clearly better.
void continuedPalette(int k) {
    int count = state.paletteSize;
    for (int j = 0; j < count; ++j) seeds[j] = pointOf(state.palette[j]);
    count = kMeans(count, k);

    std::array<bool, MAX_COLOURS> claimed{};
    paletteSize = 0;
    for (int j = 0; j < count; ++j) {
        int best = -1;
        double bestDistance = STICK_DISTANCE2;
        for (int p = 0; p < state.paletteSize; ++p) {
            const double d = distance2(seeds[j], red4(state.palette[p]), green4(state.palette[p]), blue4(state.palette[p]));
            if (!claimed[p] && d <= bestDistance) {
                bestDistance = d;
                best = p;
            }
        }
        if (best >= 0) claimed[best] = true;
        addColour(best >= 0 ? state.palette[best] : roundPoint(seeds[j]));
    }
    fillPalette(k);

    const int64_t fresh = paletteError(palette.data(), paletteSize);
    const int64_t old = paletteError(state.palette.data(), state.paletteSize);
    if (old <= KEEP_FACTOR * fresh) {
        paletteSize = state.paletteSize;
        std::copy_n(state.palette.begin(), paletteSize, palette.begin());
    }
}

// ---- mapping pixels ----

void buildNearest() {
    for (int c = 0; c < COLOURS_4BIT; ++c) {
        const Colour12 colour = static_cast<Colour12>(c);
        int best = 0;
        int bestDistance = colourDistance2(colour, palette[0]);
        for (int j = 1; j < paletteSize; ++j) {
            const int d = colourDistance2(colour, palette[j]);
            if (d < bestDistance) {
                bestDistance = d;
                best = j;
            }
        }
        nearest[c] = static_cast<uint8_t>(best);
        nearestDistance[c] = bestDistance;
    }
    slotOf.fill(-1);
    for (int j = 0; j < paletteSize; ++j) slotOf[palette[j]] = static_cast<int16_t>(j);
}

Colour12 ditheredColour(const uint8_t* rgb, int i) {
    const int offset = state.ditherOffset[(i / FRAME_WIDTH) & 3][(i % FRAME_WIDTH) & 3];
    const auto level = [&](int v) { return levelOf[std::clamp(v + offset, 0, 255)]; };
    return colour12(level(rgb[3 * i]), level(rgb[3 * i + 1]), level(rgb[3 * i + 2]));
}

void mapPixels(const uint8_t* rgb, bool hold, ReducedFrame* out) {
    usage.fill(0);
    const bool dither = state.settings.dither == Dither::Ordered;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const Colour12 c = dither ? ditheredColour(rgb, i) : rounded[i];
        int slot = nearest[c];
        if (hold) {
            const Colour12 before = state.pixels[i];
            const int s = slotOf[before];
            if (s >= 0 && s != slot && colourDistance2(c, before) <= nearestDistance[c] + HOLD_MARGIN) slot = s;
        }
        out->index[i] = static_cast<uint8_t>(slot);
        ++usage[slot];
    }
}

// Drops palette entries no pixel uses, so that the palette written is exactly
// the set of colours in the picture.
void compactPalette(ReducedFrame* out) {
    std::array<uint8_t, MAX_COLOURS> renumber{};
    int size = 0;
    for (int j = 0; j < paletteSize; ++j) {
        if (usage[j] == 0) continue;
        renumber[j] = static_cast<uint8_t>(size);
        out->palette[size++] = palette[j];
    }
    out->paletteSize = size;
    for (int i = 0; i < FRAME_PIXELS; ++i) out->index[i] = renumber[out->index[i]];
}

int countKept(const ReducedFrame& out) {
    if (!state.havePrevious) return 0;
    int kept = 0;
    for (int j = 0; j < out.paletteSize; ++j)
        kept += std::count(state.palette.begin(), state.palette.begin() + state.paletteSize, out.palette[j]) > 0;
    return kept;
}

void remember(const ReducedFrame& out) {
    state.havePrevious = true;
    state.paletteSize = out.paletteSize;
    std::copy_n(out.palette.begin(), out.paletteSize, state.palette.begin());
    state.coarse = coarse;
    for (int i = 0; i < FRAME_PIXELS; ++i) state.pixels[i] = out.palette[out.index[i]];
}

}  // namespace

void reduceInit(const ReduceSettings& settings) {
    state = ReduceState{};
    state.settings = settings;
    state.settings.colours = std::clamp(settings.colours, 2, MAX_COLOURS);
    for (int v = 0; v < 256; ++v) levelOf[v] = static_cast<uint8_t>(level4(v));
    // The dither spread widens as the palette shrinks: about two 4-bit levels
    // at 64 colours, the typical distance between neighbouring palette colours.
    const double spread = 2.0 * std::cbrt(static_cast<double>(MAX_COLOURS) / state.settings.colours) * LEVEL_SCALE;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            state.ditherOffset[y][x] = static_cast<int>(std::lround(((BAYER[y][x] + 0.5) / 16.0 - 0.5) * spread));
}

void countCoarse(const uint8_t* rgb, int step, CoarseCells* cells) {
    cells->fill(0);
    for (int y = 0; y < FRAME_HEIGHT; y += step)
        for (int x = 0; x < FRAME_WIDTH; x += step) {
            const uint8_t* px = rgb + 3 * (y * FRAME_WIDTH + x);
            ++(*cells)[coarseCell(colour12(level4(px[0]), level4(px[1]), level4(px[2])))];
        }
}

bool sameScene(const CoarseCells& before, const CoarseCells& now) {
    int overlap = 0;
    int total = 0;
    for (int i = 0; i < COARSE_CELLS; ++i) {
        overlap += std::min(before[i], now[i]);
        total += now[i];
    }
    return overlap >= SCENE_OVERLAP * total;
}

void reduceSave(ReduceState* snapshot) { *snapshot = state; }

void reduceRestore(const ReduceState& snapshot) { state = snapshot; }

void reduceFrame(const uint8_t* rgb, ReducedFrame* out) {
    countColours(rgb);
    const bool goesOn = sceneGoesOn();
    const int k = state.settings.colours;
    if (binCount <= k)
        exactPalette();
    else if (goesOn && state.paletteSize > 0)
        continuedPalette(k);
    else
        freshPalette(k);
    buildNearest();
    mapPixels(rgb, goesOn, out);
    compactPalette(out);
    out->sceneCut = !goesOn;
    out->keptColours = countKept(*out);
    remember(*out);
}

}  // namespace prep
