// The survey of a scene's first display frames: reduction error, hold error
// and the bytes of a frame's changes, for every candidate setting.
#include "tools/prep/survey.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "format/stream.h"  // the display rate

namespace prep {
namespace {

constexpr int STEP = Survey::STEP;
constexpr int SMALL_VALUES = Survey::SMALL_VALUES;
constexpr std::array<int, Survey::HOLDS> HOLDS = {2, 3, 4, 5, 6, 8, 10, 12, 15, 20, 24, 30, 40, 48, 60};
constexpr std::array<int, 9> INTERVALS = {3, 4, 5, 6, 8, 10, 12, 15, 20};  // 20 to 3 frames per second
constexpr std::array<int, 4> LIMITS = {8, 16, 32, 64};
// The share of the rate a frame's changes may count on: the rest goes to
// the margins of the rate control and the first picture of the next scene.
constexpr double BUDGET_SHARE = 0.85;
// Changes left out pile up: a frame that pays for a share of its changes
// leaves the rest stale for longer than that share alone would say.
constexpr double UNPAID_POWER = 2.0;
// The encoder numbers the colours so that a pixel changing to a similar
// colour changes few plane layers: a changed GRAM byte costs about this share
// of its layers.
constexpr double SHARED_PLANES = 0.85;

// Pictures that come at least this many times in a second tell the source's cadence.
constexpr int MIN_CADENCE_PICTURES = 3;
// How far (in display frames) a cadence may stray from whole display frames.
constexpr double CADENCE_TOLERANCE = 0.15;
// A frame interval that does not land on the source's pictures shows them up
// to one source picture early or late: at most this share of the interval.
constexpr double MAX_JUDDER = 1.0 / 3.0;

// Display frames before the first scene cut, at most SURVEY_FRAMES.
int sceneLength(Survey& s, const uint8_t* const* frames, int count) {
    count = std::min(count, SURVEY_FRAMES);
    if (count == 0) return 0;
    sceneTrackInit(&s.cuts);
    for (int d = 0; d < count; ++d) {
        sceneSample(frames[d], &s.sample);
        if (sceneCut(&s.cuts, s.sample) && d > 0) return d;
    }
    return count;
}

// Every frame in the target's colours, for the changes between frames.
void prepareFrames(Survey& s, const uint8_t* const* frames, int n) {
    for (int d = 0; d < n; ++d) {
        const uint8_t* rgb = frames[d];
        for (int i = 0; i < FRAME_PIXELS; ++i)
            s.colours[d][i] = colour12(level4(rgb[3 * i]), level4(rgb[3 * i + 1]), level4(rgb[3 * i + 2]));
    }
}

// The small copies the hold errors are measured on.
void prepareSmall(Survey& s, const uint8_t* const* frames, int n) {
    for (int d = 0; d < n; ++d) {
        const uint8_t* rgb = frames[d];
        int v = 0;
        for (int y = 0; y < SCREEN_HEIGHT; y += STEP)
            for (int x = 0; x < SCREEN_WIDTH; x += STEP) {
                const uint8_t* px = rgb + 3 * (y * SCREEN_WIDTH + x);
                const uint8_t* below = px + 3 * SCREEN_WIDTH;
                for (int k = 0; k < 3; ++k, ++v) {
                    s.small[d][v] = px[k];
                    s.blocks[d][v] = static_cast<uint8_t>((px[k] + px[3 + k] + below[k] + below[3 + k] + 2) / 4);
                }
            }
    }
}

// The hold errors of the holds that fit into n frames: each hold of h frames
// from the start on, every frame against the picture shown for the hold (see
// holdPicture in rate.cpp: the middle frame where things move, the mean where
// they do not, judged on 2 x 2 blocks).
void measureHolds(Survey& s, int n) {
    s.holdsMeasured = 0;
    for (int h : HOLDS) {
        if (h > n) break;
        double squares = 0.0;
        int64_t values = 0;
        for (int start = 0; start + h <= n; start += h) {
            s.sums.fill(0);
            s.blockSums.fill(0);
            for (int d = start; d < start + h; ++d)
                for (int i = 0; i < SMALL_VALUES; ++i) {
                    s.sums[i] = static_cast<uint16_t>(s.sums[i] + s.small[d][i]);
                    s.blockSums[i] = static_cast<uint16_t>(s.blockSums[i] + s.blocks[d][i]);
                }
            const uint8_t* middle = s.small[start + h / 2].data();
            const uint8_t* middleBlock = s.blocks[start + h / 2].data();
            for (int d = start; d < start + h; ++d)
                for (int i = 0; i < SMALL_VALUES; ++i) {
                    const double mean = s.sums[i] / static_cast<double>(h);
                    const double range = std::fabs(middleBlock[i] - s.blockSums[i] / static_cast<double>(h)) * 2;
                    const double shown = mean + (middle[i] - mean) * middleShare(static_cast<int>(range)) / 256.0;
                    const double e = s.small[d][i] - shown;
                    squares += e * e;
                }
            values += int64_t{h} * SMALL_VALUES;
        }
        s.holdError[s.holdsMeasured++] = squares / static_cast<double>(values);
    }
}

// The hold error of a hold of h display frames (not necessarily whole):
// interpolated between the holds measured, growing in proportion beyond the
// longest.
double holdErrorAt(Survey& s, double h) {
    if (h <= 1.0) return 0.0;
    double lastHold = 1.0;
    double lastError = 0.0;
    for (int k = 0; k < s.holdsMeasured; ++k) {
        const double hold = HOLDS[k];
        if (h <= hold) return lastError + (s.holdError[k] - lastError) * (h - lastHold) / (hold - lastHold);
        lastHold = hold;
        lastError = s.holdError[k];
    }
    return lastError * h / lastHold;
}

// The mean squared error per component of the picture rgb reduced to `limit`
// colours afresh; the reduced picture stays in s.first.
double reductionError(Survey& s, const uint8_t* rgb, int limit) {
    reduceInit(&s.reducer, {limit, Dither::None});
    reduceFrame(&s.reducer, rgb, &s.first);
    int64_t squares = 0;
    for (int i = 0; i < FRAME_PIXELS; ++i) squares += pixelError(s.first.palette[s.first.index[i]], rgb + 3 * i);
    return squares / static_cast<double>(FRAME_RGB_BYTES);
}

// Every frame in the colours of the first picture's palette: the palette of
// a scene that goes on changes little, so what changes between two frames is
// where their pixels take other entries.
void mapFrames(Survey& s, int n) {
    for (int c = 0; c < COLOURS_4BIT; ++c) {
        int best = 0;
        for (int j = 1; j < s.first.paletteSize; ++j)
            if (colourDistance2(s.first.palette[j], static_cast<Colour12>(c)) < colourDistance2(s.first.palette[best], static_cast<Colour12>(c)))
                best = j;
        s.nearest[c] = static_cast<uint8_t>(best);
    }
    for (int d = 0; d < n; ++d) {
        const Colour12* c = s.colours[d].data();
        for (int g = 0; g < FRAME_PIXELS / 8; ++g) {
            uint64_t word = 0;
            for (int k = 0; k < 8; ++k) word = word << 8 | s.nearest[*c++];
            s.entries[d][g] = word;
        }
    }
}

// GRAM bytes (of one plane layer) that change from one frame to the next,
// on the mean over the frames `interval` apart in the first n.
double changedBytes(Survey& s, int interval, int n) {
    int64_t changed = 0;
    int pairs = 0;
    for (int d = 0; d + interval < n; ++d, ++pairs)
        for (int g = 0; g < FRAME_PIXELS / 8; ++g) changed += s.entries[d][g] != s.entries[d + interval][g];
    return pairs ? static_cast<double>(changed) / pairs : 0.0;
}

// What the step to a higher frame rate (stepInterval) would mend of the hold
// error at `interval`.
double frameGain(Survey& s, const SurveySettings& settings, int interval) {
    return holdErrorAt(s, interval) - holdErrorAt(s, stepInterval(interval, false, settings.minInterval, settings.sourceGap));
}

}  // namespace

double sourceGap(const bool* newPicture, int count) {
    int first = -1;
    int last = -1;
    int pictures = 0;
    for (int d = 1; d < count; ++d) {
        if (!newPicture[d]) continue;
        if (first < 0) first = d;
        last = d;
        ++pictures;
    }
    return pictures >= MIN_CADENCE_PICTURES ? static_cast<double>(last - first) / (pictures - 1) : 0.0;
}

bool intervalFits(int interval, double gap) {
    if (gap <= 0.0) return true;
    const int fewest = std::min(LONGEST_INTERVAL, static_cast<int>(std::ceil(gap - CADENCE_TOLERANCE)));
    if (interval < fewest) return false;
    if (interval == fewest || gap / interval <= MAX_JUDDER) return true;
    // Faster than that, only an interval that lands on the source's pictures,
    // where some do within twice the fewest.
    for (int k = 1; k * gap <= 2 * fewest + CADENCE_TOLERANCE; ++k) {
        const double period = k * gap;
        const int whole = static_cast<int>(std::lround(period));
        if (std::fabs(period - whole) <= CADENCE_TOLERANCE) return interval % whole == 0;
    }
    return true;
}

int stepInterval(int interval, bool longer, int minInterval, double gap) {
    if (longer) {
        for (int c = std::max(interval + 1, interval * 4 / 3); c <= LONGEST_INTERVAL; ++c)
            if (intervalFits(c, gap)) return c;
    } else {
        for (int c = std::min(interval - 1, interval * 3 / 4); c >= minInterval; --c)
            if (intervalFits(c, gap)) return c;
    }
    return interval;
}

int planeLayers(int colourLimit) {
    int layers = 0;
    while ((1 << layers) < colourLimit) ++layers;
    return std::max(layers, 1);
}

SurveyChoice surveyChoose(Survey* survey, const SurveySettings& settings, const uint8_t* const* frames, int count) {
    Survey& s = *survey;
    const int n = sceneLength(s, frames, count);
    SurveyChoice best{settings.minInterval, std::min(LIMITS.front(), settings.maxColours), 0.0, false};
    if (n < 2) return best;
    prepareFrames(s, frames, n);
    prepareSmall(s, frames, n);
    measureHolds(s, n);
    bool found = false;
    std::array<double, LIMITS.size()> reductions{};
    std::array<int, LIMITS.size()> limits{};
    size_t measured = 0;
    for (int limit : LIMITS) {
        limit = std::min(limit, settings.maxColours);
        const double reduction = reductionError(s, frames[0], limit);
        limits[measured] = limit;
        reductions[measured++] = reduction;
        mapFrames(s, n);
        for (size_t k = 0; k <= INTERVALS.size(); ++k) {
            // The highest frame rate, then the lower ones of the candidates.
            const int interval = k == 0 ? settings.minInterval : INTERVALS[k - 1];
            if (k > 0 && interval <= settings.minInterval) continue;
            if (!intervalFits(interval, settings.sourceGap)) continue;
            // Changes are taken to grow with time where the scene is too short to show them.
            const int apart = std::min(interval, n - 1);
            const double bytes =
                changedBytes(s, apart, n) * planeLayers(limit) * ROW_LAYER_BYTES * SHARED_PLANES * interval / apart;
            const double budget = settings.videoBytesPerSecond * interval / DISPLAY_FRAMES_PER_SECOND * BUDGET_SHARE;
            const double paid = bytes > budget ? budget / bytes : 1.0;
            const double error = reduction + holdErrorAt(s, interval / std::pow(paid, UNPAID_POWER));
            if (!found || error < best.error) best = {interval, limit, error, false};
            found = true;
        }
        if (limit == settings.maxColours) break;
    }
    // With rate to spare later on: what twice the colours would mend against
    // what the next higher frame rate would.
    double colourGain = 0.0;
    for (size_t m = 0; m + 1 < measured; ++m)
        if (limits[m] == best.colourLimit) colourGain = reductions[m] - reductions[m + 1];
    best.framesFirst = frameGain(s, settings, best.interval) > colourGain;
    return best;
}

bool surveyFramesFirst(Survey* survey, const SurveySettings& settings, const uint8_t* const* frames, int count,
                       int interval, int colourLimit) {
    Survey& s = *survey;
    const int n = sceneLength(s, frames, count);
    if (n < 2 || colourLimit >= settings.maxColours) return true;
    prepareSmall(s, frames, n);
    measureHolds(s, n);
    const double colourGain = reductionError(s, frames[0], colourLimit) - reductionError(s, frames[0], 2 * colourLimit);
    return frameGain(s, settings, interval) > colourGain;
}

}  // namespace prep
