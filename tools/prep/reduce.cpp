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
// Colours are chosen and matched in OKLab, a space in which equal distances
// look about equally different, so that a small saturated region (a red
// jacket, green eyes) keeps its hue: scaled by LAB_SCALE (lightness 0 to
// 100), its chroma axes by CHROMA_WEIGHT more, so that a near-neutral that
// drifts in hue (a white wall turning pink) counts as the fault a viewer sees
// in it.
constexpr double LAB_SCALE = 100.0;
constexpr double CHROMA_WEIGHT = 1.5;
// A previous colour stays for a cluster whose centre lies within this squared
// distance of it; rounding alone moves a centre by up to 0.75 of a 4-bit
// level, which is some 3 to 4 units.
constexpr double STICK_DISTANCE2 = 12.0;
// The previous palette as a whole stays while its error on the new frame is
// at most this factor above the error of the palette found afresh.
constexpr double KEEP_FACTOR = 1.02;
// A palette found afresh replaces the continued one when its error is lower
// by more than this factor.
constexpr double REFRESH_FACTOR = 1.03;

// The dither is light: a pixel mixes its nearest palette colour only with
// one at most this far (squared 4-bit levels: a level in each primary), and
// only in smooth areas, where no neighbour differs by more than SMOOTH_RANGE
// (8-bit levels). A pixel keeps its colour of the frame before while its
// share of the other is within DITHER_HOLD of the threshold.
constexpr int DITHER_REACH2 = 3;
constexpr int SMOOTH_RANGE = 8;
constexpr double DITHER_HOLD = 0.1;
// Ordered dithering: a 4 x 4 Bayer matrix of thresholds 0..15.
using Point = Reducer::Point;
using Bin = Reducer::Bin;
using Box = Reducer::Box;

constexpr std::array<std::array<int, 4>, 4> BAYER = {{
    {{0, 8, 2, 10}},
    {{12, 4, 14, 6}},
    {{3, 11, 1, 9}},
    {{15, 7, 13, 5}},
}};

// The target's colours in perceptual coordinates and each 8-bit value's
// 4-bit level: tables made once, never changed.
Point toLab(double r8, double g8, double b8);
const std::array<Point, COLOURS_4BIT> labOf = [] {
    std::array<Point, COLOURS_4BIT> table{};
    for (int c = 0; c < COLOURS_4BIT; ++c) {
        const Colour12 colour = static_cast<Colour12>(c);
        table[c] = toLab(red4(colour) / 15.0, green4(colour) / 15.0, blue4(colour) / 15.0);
    }
    return table;
}();
const std::array<uint8_t, 256> levelOf = [] {
    std::array<uint8_t, 256> table{};
    for (int v = 0; v < 256; ++v) table[v] = static_cast<uint8_t>(level4(v));
    return table;
}();

// ---- perceptual colour ----

double linearOf(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }
double gammaOf(double v) { return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055; }

// OKLab of an sRGB colour (components 0 to 1), scaled (see labOf).
Point toLab(double r8, double g8, double b8) {
    const double r = linearOf(r8), g = linearOf(g8), b = linearOf(b8);
    const double l = std::cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
    const double m = std::cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
    const double s = std::cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
    return {LAB_SCALE * (0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s),
            LAB_SCALE * CHROMA_WEIGHT * (1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s),
            LAB_SCALE * CHROMA_WEIGHT * (0.0259040371 * l + 0.7827717662 * m - 0.8086757278 * s)};
}

// The sRGB colour (components 0 to 1, not clamped) of a point.
std::array<double, 3> fromLab(const Point& p) {
    const double L = p.l / LAB_SCALE, A = p.a / (LAB_SCALE * CHROMA_WEIGHT), B = p.b / (LAB_SCALE * CHROMA_WEIGHT);
    const double l = std::pow(L + 0.3963377774 * A + 0.2158037573 * B, 3.0);
    const double m = std::pow(L - 0.1055613458 * A - 0.0638541728 * B, 3.0);
    const double s = std::pow(L - 0.0894841775 * A - 1.2914855480 * B, 3.0);
    return {gammaOf(4.0767416621 * l - 3.3077115913 * m + 0.2309699292 * s),
            gammaOf(-1.2684380046 * l + 2.6097574011 * m - 0.3413193965 * s),
            gammaOf(-0.0041960863 * l - 0.7034186147 * m + 1.7076147010 * s)};
}

double distance2(const Point& p, const Point& q) {
    const double dl = p.l - q.l;
    const double da = p.a - q.a;
    const double db = p.b - q.b;
    return dl * dl + da * da + db * db;
}

double distance2(const Point& p, Colour12 c) { return distance2(p, labOf[c]); }

double labDistance2(Colour12 a, Colour12 b) { return distance2(labOf[a], labOf[b]); }

double component(const Bin& bin, int axis) {
    const Point& p = labOf[bin.colour];
    return axis == 0 ? p.l : axis == 1 ? p.a : p.b;
}

int roundLevel(double v) { return std::clamp(static_cast<int>(std::lround(v * (LEVELS - 1))), 0, LEVELS - 1); }

// The target colour r.nearest to a point: the r.rounded colour or one of its
// neighbours on the 4-bit grid.
Colour12 roundPoint(const Point& p) {
    const std::array<double, 3> rgb = fromLab(p);
    const int r0 = roundLevel(rgb[0]), g0 = roundLevel(rgb[1]), b0 = roundLevel(rgb[2]);
    Colour12 best = colour12(r0, g0, b0);
    double bestDistance = distance2(p, best);
    for (int r = std::max(0, r0 - 1); r <= std::min(LEVELS - 1, r0 + 1); ++r)
        for (int g = std::max(0, g0 - 1); g <= std::min(LEVELS - 1, g0 + 1); ++g)
            for (int b = std::max(0, b0 - 1); b <= std::min(LEVELS - 1, b0 + 1); ++b) {
                const double d = distance2(p, colour12(r, g, b));
                if (d < bestDistance) {
                    bestDistance = d;
                    best = colour12(r, g, b);
                }
            }
    return best;
}

// ---- r.histogram ----

void countColours(Reducer& r, const uint8_t* rgb) {
    r.histogram.fill(0);
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const Colour12 c = colour12(levelOf[rgb[3 * i]], levelOf[rgb[3 * i + 1]], levelOf[rgb[3 * i + 2]]);
        r.rounded[i] = c;
        ++r.histogram[c];
    }
    r.binCount = 0;
    for (int c = 0; c < COLOURS_4BIT; ++c) {
        if (r.histogram[c] == 0) continue;
        const Colour12 colour = static_cast<Colour12>(c);
        r.bins[r.binCount++] = {colour, static_cast<double>(r.histogram[c])};
    }
}

// Asks the cut tests about this frame (once a frame: they learn the shot's motion).
bool sceneGoesOn(Reducer& r, const uint8_t* rgb) {
    sceneSample(rgb, &r.sample);
    const bool cut = sceneCut(&r.state.scene, r.sample);
    return r.state.havePrevious && !cut;
}

// ---- median cut: the r.seeds of a new scene ----

Box makeBox(Reducer& r, int begin, int end) {
    double w = 0;
    std::array<double, 3> sum{};
    std::array<double, 3> sum2{};
    for (int i = begin; i < end; ++i) {
        const Bin& bin = r.bins[i];
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
int splitPoint(Reducer& r, const Box& box) {
    double total = 0;
    for (int i = box.begin; i < box.end; ++i) total += r.bins[i].weight;
    double sum = 0;
    int s = box.begin + 1;
    for (int i = box.begin; i < box.end; ++i) {
        sum += r.bins[i].weight;
        if (sum >= total / 2) {
            s = i + 1;
            break;
        }
    }
    s = std::clamp(s, box.begin + 1, box.end - 1);
    const auto differs = [&](int at) {
        return component(r.bins[at], box.axis) != component(r.bins[at - 1], box.axis);
    };
    for (int up = s, down = s; up < box.end || down > box.begin; ++up, --down) {
        if (up < box.end && differs(up)) return up;
        if (down > box.begin && differs(down)) return down;
    }
    return s;
}

int medianCut(Reducer& r, int k) {
    r.boxes[0] = makeBox(r, 0, r.binCount);
    int count = 1;
    while (count < k) {
        int pick = -1;
        double widest = 0;
        for (int i = 0; i < count; ++i) {
            if (r.boxes[i].sse > widest && r.boxes[i].end - r.boxes[i].begin > 1) {
                widest = r.boxes[i].sse;
                pick = i;
            }
        }
        if (pick < 0) break;
        const Box box = r.boxes[pick];
        std::sort(r.bins.begin() + box.begin, r.bins.begin() + box.end, [axis = box.axis](const Bin& x, const Bin& y) {
            return component(x, axis) < component(y, axis);
        });
        const int s = splitPoint(r, box);
        r.boxes[pick] = makeBox(r, box.begin, s);
        r.boxes[count++] = makeBox(r, s, box.end);
    }
    for (int i = 0; i < count; ++i) r.seeds[i] = r.boxes[i].mean;
    return count;
}

// ---- k-means on the r.histogram ----

// Assigns every bin to its r.nearest seed; returns how many r.bins changed seed.
int assignBins(Reducer& r, int count) {
    int changed = 0;
    for (int i = 0; i < r.binCount; ++i) {
        const Bin& bin = r.bins[i];
        int best = 0;
        double bestDistance = distance2(r.seeds[0], bin.colour);
        for (int j = 1; j < count; ++j) {
            const double d = distance2(r.seeds[j], bin.colour);
            if (d < bestDistance) {
                bestDistance = d;
                best = j;
            }
        }
        if (r.binCluster[i] != best) ++changed;
        r.binCluster[i] = best;
        r.binDistance[i] = bestDistance;
    }
    return changed;
}

// The bin that the current r.seeds serve worst (largest weighted squared
// distance), or -1 when every bin sits on a seed.
int worstServedBin(Reducer& r) {
    int worst = -1;
    double worstError = 0;
    for (int i = 0; i < r.binCount; ++i) {
        const double e = r.bins[i].weight * r.binDistance[i];
        if (e > worstError) {
            worstError = e;
            worst = i;
        }
    }
    return worst;
}

// A new seed on bin i: the r.bins it now serves best move over to it.
void placeSeed(Reducer& r, int seed, int i) {
    r.seeds[seed] = labOf[r.bins[i].colour];
    for (int b = 0; b < r.binCount; ++b) {
        const double d = distance2(r.seeds[seed], r.bins[b].colour);
        if (d < r.binDistance[b]) {
            r.binDistance[b] = d;
            r.binCluster[b] = seed;
        }
    }
}

// Adds r.seeds on the worst served r.bins until there are k or every bin is
// served exactly. Needs r.binDistance of the current r.seeds.
int growSeeds(Reducer& r, int count, int k) {
    while (count < k) {
        const int worst = worstServedBin(r);
        if (worst < 0) break;
        placeSeed(r, count++, worst);
    }
    return count;
}

// Moves every seed to the weighted centre of its r.bins; an emptied seed is
// put back on the worst served bin. Returns the number of r.seeds kept.
int moveSeeds(Reducer& r, int count) {
    std::array<double, MAX_COLOURS> w{};
    std::array<Point, MAX_COLOURS> sum{};
    for (int i = 0; i < r.binCount; ++i) {
        const int j = r.binCluster[i];
        w[j] += r.bins[i].weight;
        const Point& p = labOf[r.bins[i].colour];
        sum[j].l += r.bins[i].weight * p.l;
        sum[j].a += r.bins[i].weight * p.a;
        sum[j].b += r.bins[i].weight * p.b;
    }
    int kept = 0;
    for (int j = 0; j < count; ++j) {
        if (w[j] == 0) continue;
        r.seeds[kept++] = {sum[j].l / w[j], sum[j].a / w[j], sum[j].b / w[j]};
    }
    return kept;
}

int kMeans(Reducer& r, int count, int k) {
    r.binCluster.fill(-1);
    assignBins(r, count);
    count = growSeeds(r, count, k);
    for (int round = 0; round < KMEANS_ROUNDS; ++round) {
        count = moveSeeds(r, count);
        const int changed = assignBins(r, count);
        const int before = count;
        count = growSeeds(r, count, k);
        if (changed == 0 && count == before) break;
    }
    return count;
}

// ---- palettes on the 4-bit grid ----

double paletteError(Reducer& r, const Colour12* colours, int size) {
    double total = 0;
    for (int i = 0; i < r.binCount; ++i) {
        const Colour12 c = r.bins[i].colour;
        double best = labDistance2(c, colours[0]);
        for (int j = 1; j < size; ++j) best = std::min(best, labDistance2(c, colours[j]));
        total += best * r.bins[i].weight;
    }
    return total;
}

bool inPalette(Reducer& r, Colour12 c) {
    for (int j = 0; j < r.paletteSize; ++j)
        if (r.palette[j] == c) return true;
    return false;
}

void addColour(Reducer& r, Colour12 c) {
    if (r.paletteSize < MAX_COLOURS && !inPalette(r, c)) r.palette[r.paletteSize++] = c;
}

// Rounding can merge r.seeds: fill the r.palette back up to k with the colours
// of the r.bins it serves worst.
void fillPalette(Reducer& r, int k) {
    while (r.paletteSize < k) {
        for (int i = 0; i < r.binCount; ++i) {
            const Colour12 c = r.bins[i].colour;
            double best = labDistance2(c, r.palette[0]);
            for (int j = 1; j < r.paletteSize; ++j) best = std::min(best, labDistance2(c, r.palette[j]));
            r.binDistance[i] = best;
        }
        const int worst = worstServedBin(r);
        if (worst < 0) return;
        addColour(r, r.bins[worst].colour);
    }
}

void exactPalette(Reducer& r) {
    r.paletteSize = 0;
    for (int i = 0; i < r.binCount; ++i) r.palette[r.paletteSize++] = r.bins[i].colour;
}

void freshPalette(Reducer& r, int k) {
    const int count = kMeans(r, medianCut(r, k), k);
    r.paletteSize = 0;
    for (int j = 0; j < count; ++j) addColour(r, roundPoint(r.seeds[j]));
    fillPalette(r, k);
}

// The scene goes on: start from the previous colours and keep each one whose
// cluster has hardly moved, then keep the old r.palette whole if the new one
// is not clearly better.
void continuedPalette(Reducer& r, int k) {
    int count = r.state.paletteSize;
    for (int j = 0; j < count; ++j) r.seeds[j] = labOf[r.state.palette[j]];
    count = kMeans(r, count, k);

    std::array<bool, MAX_COLOURS> claimed{};
    r.paletteSize = 0;
    for (int j = 0; j < count; ++j) {
        int best = -1;
        double bestDistance = STICK_DISTANCE2;
        for (int p = 0; p < r.state.paletteSize; ++p) {
            const double d = distance2(r.seeds[j], r.state.palette[p]);
            if (!claimed[p] && d <= bestDistance) {
                bestDistance = d;
                best = p;
            }
        }
        if (best >= 0) claimed[best] = true;
        addColour(r, best >= 0 ? r.state.palette[best] : roundPoint(r.seeds[j]));
    }
    fillPalette(r, k);

    const double moved = paletteError(r, r.palette.data(), r.paletteSize);
    const double old = paletteError(r, r.state.palette.data(), r.state.paletteSize);
    if (old <= KEEP_FACTOR * moved) {
        r.paletteSize = r.state.paletteSize;
        std::copy_n(r.state.palette.begin(), r.paletteSize, r.palette.begin());
    }

    // Seeds carried on from the frame before can be caught in a poor choice
    // where part of the picture changed wholesale: a r.palette found afresh
    // that is clearly better is taken instead.
    const double continued = std::min(old, moved);
    const std::array<Colour12, MAX_COLOURS> carried = r.palette;
    const int carriedSize = r.paletteSize;
    freshPalette(r, k);
    if (REFRESH_FACTOR * paletteError(r, r.palette.data(), r.paletteSize) >= continued) {
        r.palette = carried;
        r.paletteSize = carriedSize;
    }
}

// ---- mapping pixels ----

void buildNearest(Reducer& r) {
    for (int c = 0; c < COLOURS_4BIT; ++c) {
        const Colour12 colour = static_cast<Colour12>(c);
        int best = 0;
        float bestDistance = static_cast<float>(labDistance2(colour, r.palette[0]));
        for (int j = 1; j < r.paletteSize; ++j) {
            const float d = static_cast<float>(labDistance2(colour, r.palette[j]));
            if (d < bestDistance) {
                bestDistance = d;
                best = j;
            }
        }
        r.nearest[c] = static_cast<uint8_t>(best);
        r.nearestDistance[c] = bestDistance;
    }
    r.slotOf.fill(-1);
    for (int j = 0; j < r.paletteSize; ++j) r.slotOf[r.palette[j]] = static_cast<int16_t>(j);
}

// ---- light ordered dither ----

// Whether the pixel lies in a smooth area: no neighbour differs by more than
// SMOOTH_RANGE in any component. Texture hides banding and would only be
// made noisier (and dearer) by a dither.
bool smoothAt(const uint8_t* rgb, int i) {
    const int x = i % SCREEN_WIDTH;
    const int y = i / SCREEN_WIDTH;
    const uint8_t* p = rgb + 3 * i;
    const auto near = [&](int dx, int dy) {
        const int nx = x + dx;
        const int ny = y + dy;
        if (nx < 0 || nx >= SCREEN_WIDTH || ny < 0 || ny >= SCREEN_HEIGHT) return true;
        const uint8_t* q = rgb + 3 * (ny * SCREEN_WIDTH + nx);
        return std::abs(p[0] - q[0]) <= SMOOTH_RANGE && std::abs(p[1] - q[1]) <= SMOOTH_RANGE &&
               std::abs(p[2] - q[2]) <= SMOOTH_RANGE;
    };
    return near(-1, 0) && near(1, 0) && near(0, -1) && near(0, 1);
}

// The dithered entry of a pixel whose r.nearest entry is `slot`: the r.palette
// colour c2 at most DITHER_REACH2 away from it whose mix with it comes
// closest to the pixel, shown where the pixel's share of c2 passes the
// screen-anchored threshold. A still picture thus dithers alike in every
// frame; `before` (the entry the pixel had, or -1) is kept while the share is
// within DITHER_HOLD of the threshold, so that noise does not make it boil.
int ditherSlot(Reducer& r, const uint8_t* px, int i, int slot, int before) {
    const Colour12 c1 = r.palette[slot];
    const double p[3] = {px[0] / static_cast<double>(LEVEL_SCALE) - red4(c1),
                         px[1] / static_cast<double>(LEVEL_SCALE) - green4(c1),
                         px[2] / static_cast<double>(LEVEL_SCALE) - blue4(c1)};
    int other = -1;
    double share = 0.0;
    double bestError = p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
    for (int k = 0; k < r.partnerCount[slot]; ++k) {
        const int j = r.partners[slot][k];
        const int d[3] = {red4(r.palette[j]) - red4(c1), green4(r.palette[j]) - green4(c1), blue4(r.palette[j]) - blue4(c1)};
        const int reach = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
        const double t = std::clamp((p[0] * d[0] + p[1] * d[1] + p[2] * d[2]) / reach, 0.0, 1.0);
        double e = 0.0;
        for (int k = 0; k < 3; ++k) e += (p[k] - t * d[k]) * (p[k] - t * d[k]);
        if (e < bestError) {
            bestError = e;
            other = j;
            share = t;
        }
    }
    if (other < 0) return slot;
    const double threshold = (BAYER[(i / SCREEN_WIDTH) & 3][(i % SCREEN_WIDTH) & 3] + 0.5) / 16.0;
    if ((before == slot || before == other) && std::fabs(share - threshold) < DITHER_HOLD) return before;
    return share > threshold ? other : slot;
}

// The r.palette entries each entry may be mixed with: those at most
// DITHER_REACH2 away.
void findPartners(Reducer& r) {
    for (int i = 0; i < r.paletteSize; ++i) {
        r.partnerCount[i] = 0;
        for (int j = 0; j < r.paletteSize; ++j) {
            const int reach = colourDistance2(r.palette[i], r.palette[j]);
            if (reach > 0 && reach <= DITHER_REACH2) r.partners[i][r.partnerCount[i]++] = static_cast<uint8_t>(j);
        }
    }
}

void mapPixels(Reducer& r, const uint8_t* rgb, bool hold, ReducedFrame* out) {
    r.usage.fill(0);
    const bool dither = r.state.settings.dither == Dither::Ordered;
    if (dither) findPartners(r);
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const Colour12 c = r.rounded[i];
        int slot = r.nearest[c];
        const int before = hold ? r.slotOf[r.state.pixels[i]] : -1;
        if (dither && smoothAt(rgb, i))
            slot = ditherSlot(r, rgb + 3 * i, i, slot, before);
        else if (before >= 0 && before != slot && static_cast<float>(labDistance2(c, r.state.pixels[i])) <= r.nearestDistance[c])
            slot = before;
        out->index[i] = static_cast<uint8_t>(slot);
        ++r.usage[slot];
    }
}

// Drops r.palette entries no pixel uses, so that the r.palette written is exactly
// the set of colours in the picture.
void compactPalette(Reducer& r, ReducedFrame* out) {
    std::array<uint8_t, MAX_COLOURS> renumber{};
    int size = 0;
    for (int j = 0; j < r.paletteSize; ++j) {
        if (r.usage[j] == 0) continue;
        renumber[j] = static_cast<uint8_t>(size);
        out->palette[size++] = r.palette[j];
    }
    out->paletteSize = size;
    for (int i = 0; i < FRAME_PIXELS; ++i) out->index[i] = renumber[out->index[i]];
}

int countKept(Reducer& r, const ReducedFrame& out) {
    if (!r.state.havePrevious) return 0;
    int kept = 0;
    for (int j = 0; j < out.paletteSize; ++j)
        kept += std::count(r.state.palette.begin(), r.state.palette.begin() + r.state.paletteSize, out.palette[j]) > 0;
    return kept;
}

void remember(Reducer& r, const ReducedFrame& out) {
    r.state.havePrevious = true;
    r.state.paletteSize = out.paletteSize;
    std::copy_n(out.palette.begin(), out.paletteSize, r.state.palette.begin());
    for (int i = 0; i < FRAME_PIXELS; ++i) r.state.pixels[i] = out.palette[out.index[i]];
}

}  // namespace

void reduceInit(Reducer* r, const ReduceSettings& settings) {
    r->state = ReduceState{};
    r->state.settings = settings;
    sceneTrackInit(&r->state.scene);
    r->state.settings.colours = std::clamp(settings.colours, 2, MAX_COLOURS);
}

void reduceSetDither(Reducer* r, Dither dither) { r->state.settings.dither = dither; }

void reduceFrame(Reducer* reducer, const uint8_t* rgb, ReducedFrame* out) {
    Reducer& r = *reducer;
    countColours(r, rgb);
    const bool goesOn = sceneGoesOn(r, rgb);
    const int k = r.state.settings.colours;
    if (r.binCount <= k)
        exactPalette(r);
    else if (goesOn && r.state.paletteSize > 0)
        continuedPalette(r, k);
    else
        freshPalette(r, k);
    buildNearest(r);
    mapPixels(r, rgb, goesOn, out);
    compactPalette(r, out);
    out->sceneCut = !goesOn;
    out->keptColours = countKept(r, *out);
    remember(r, *out);
}

}  // namespace prep
