// Rate control: tiles sent in order of need, each frame measured by encoding it.
#include "tools/prep/rate.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <numeric>
#include <string>

#include "format/audio.h"
#include "tools/model/player_model.h"
#include "tools/prep/encode_session.h"
#include "tools/prep/parts.h"
#include "tools/prep/survey.h"

namespace prep {
namespace {

// A waiting tile's need grows by its own size for every second it waits.
constexpr double AGE_WEIGHT_PER_SECOND = 4.0;
// An error shows less in detail than on a smooth area (the detail masks it):
// a tile's need is divided by 1 + its mean step between neighbouring pixels
// over MASK_STEP (8-bit levels, the green component), so that a stale edge on
// a smooth background (a trail of a moving object) is mended before the
// detail inside the object, whose lag the eye hardly sees.
constexpr double MASK_STEP = 8.0;
// The colours on screen follow the picture by their palette entries alone (a
// fade or a change of light) when that leaves at most this share of the
// error the new palette's colours would leave on screen, and those colours
// show the new picture with at most this factor of its own palette's error:
// a picture that brings colours of its own gets them.
constexpr double REFIT_SHARE = 0.5;
constexpr double REFIT_FRESH_FACTOR = 1.25;
// Failing that, the fresh colours further than NEW_COLOUR_DISTANCE2 (squared
// 4-bit levels) from all of them join them, and the new picture must come
// within this factor.
constexpr int NEW_COLOUR_DISTANCE2 = 2;
constexpr double JOINED_FRESH_FACTOR = 1.1;
// How fast the bytes of a changed tile row per plane layer (ROW_LAYER_BYTES
// at first) follow the frames really encoded.
constexpr double LEARN_RATE = 0.3;
// A frame's end is planned this far ahead of its deadline, so that the two
// audio blocks that may follow a page and the next frame still fit.
constexpr int MARGIN_BYTES = 2 * AUDIO_BLOCK_BYTES + 2 * model::UNIT_BYTES;
// A frame that spends less than its share by this factor leaves room for more colours.
constexpr double SPARE_FACTOR = 2.0;
// Frames that mend less than this share of the error they could mend, for a
// second, show that the frame rate asks too much of the rate.
constexpr double SHORT_SHARE = 0.5;
constexpr size_t LIMIT_CHANGES_RESERVED = 256;
// What the reader is kept ahead by within a scene, for the next scene's
// first picture: this much reading time, and no more than fits the buffer
// beside the sound.
constexpr double CUT_RESERVE_SECONDS = 0.12;
constexpr double CUT_RESERVE_MAX_BYTES = 16384.0;
// With a scene cut in sight the reserve grows to this, about what the buffer
// holds besides the sound, so that the new scene's first picture comes whole.
constexpr double CUT_AHEAD_RESERVE_BYTES = 24576.0;
// A tile whose new picture mends at least this much squared error (a mean
// of 12 levels in each primary) changes much: it is part of a moving object
// or of what one uncovers, not noise or a slow change of light.
constexpr int64_t MOVING_GAIN = int64_t{TILE_WIDTH} * TILE_HEIGHT * 3 * 12 * 12;
// At a scene cut, a tile whose old picture shows the new one within this
// much more squared error than the new picture itself (a mean of 4 levels in
// each primary) keeps it: the black bars of a letterboxed film, a black
// background, a logo, are no part of the old shot to hide.
constexpr int64_t STILL_SLACK = int64_t{TILE_WIDTH} * TILE_HEIGHT * 3 * 4 * 4;
// A moving object that has waited this many frames to be sent whole goes
// first (see chooseTiles).
constexpr int MAX_DEFER = 2;
// Tiles that change much over more than this share of the screen are a pan,
// a zoom or a change of light, not objects moving: they go tile by tile.
constexpr int MOVING_TILES = TILES / 4;
// A change of the mean luma by this much (of 255) from one display frame to
// the next is a flash or a light switched on or off: not a new scene when
// the picture's structure stays (a flash of white from black has none), but
// an instant that a frame must not straddle.
constexpr float LIGHT_JUMP = 40.0f;
constexpr int ATTEMPTS = 4;          // tile selections tried before giving up on new tiles
constexpr int FRAME_BYTES_CAP = 1 << 18;
// The model's rate while only measuring (any will do: only the layout counts).
constexpr double MEASURE_KIB = 1024.0;

// The colour of the mean of `count` pixels whose components add up to `sum`.
Colour12 meanColour(const std::array<int64_t, 3>& sum, int64_t count) {
    return colour12(level4(static_cast<int>(sum[0] / count)), level4(static_cast<int>(sum[1] / count)),
                    level4(static_cast<int>(sum[2] / count)));
}

// The entry of palette[0, size) nearest to c (the first of equals).
int nearestEntry(const Colour12* palette, int size, Colour12 c) {
    int best = 0;
    for (int j = 1; j < size; ++j)
        if (colourDistance2(c, palette[j]) < colourDistance2(c, palette[best])) best = j;
    return best;
}

}  // namespace

// Every colour on screen takes a colour of the new palette. Pairs are made
// nearest first, one on screen to one new, so that a colour on screen changes
// only its palette entry (a few bytes) and no pixel (a scene cut would
// otherwise have every pixel redrawn in colours about to go). Colours on
// screen left over when the new palette is smaller share the nearest; all
// but the most used of those give up their palette number and are redrawn.
void buildRemap(Planner* p) {
    std::array<int, MAX_COLOURS> use{};
    for (uint8_t i : p->shown.index) ++use[i];
    const int shownSize = p->shown.paletteSize;
    const int freshSize = p->fresh.paletteSize;
    std::array<bool, MAX_COLOURS> paired{};
    std::array<bool, MAX_COLOURS> taken{};
    for (int k = 0; k < shownSize; ++k) p->remap[k] = 0;
    for (int pairs = 0; pairs < std::min(shownSize, freshSize); ++pairs) {
        int bestK = -1;
        int bestJ = -1;
        int best = 1 << 30;
        for (int k = 0; k < shownSize; ++k) {
            if (paired[k] || use[k] == 0) continue;
            for (int j = 0; j < freshSize; ++j) {
                const int d = taken[j] ? 1 << 30 : colourDistance2(p->shown.palette[k], p->fresh.palette[j]);
                if (d < best) { best = d; bestK = k; bestJ = j; }
            }
        }
        if (bestK < 0) break;
        paired[bestK] = taken[bestJ] = true;
        p->remap[bestK] = static_cast<uint8_t>(bestJ);
    }
    std::array<int, MAX_COLOURS> keeper;
    keeper.fill(-1);
    for (int k = 0; k < shownSize; ++k) {
        if (paired[k]) keeper[p->remap[k]] = k;
    }
    for (int k = 0; k < shownSize; ++k) {
        if (paired[k] || use[k] == 0) continue;
        const int nearest = nearestEntry(p->fresh.palette.data(), freshSize, p->shown.palette[k]);
        p->remap[k] = static_cast<uint8_t>(nearest);
        if (keeper[nearest] < 0 || use[k] > use[keeper[nearest]]) keeper[nearest] = k;
    }
    for (int k = 0; k < shownSize; ++k) p->merged[k] = use[k] > 0 && keeper[p->remap[k]] != k;
}

// Errors and changes of every tile, and its need.
void measureTiles(Planner* p, const uint8_t* rgb) {
    const double ageWeight = AGE_WEIGHT_PER_SECOND * p->sceneInterval / DISPLAY_FRAMES_PER_SECOND;
    for (int t = 0; t < TILES; ++t) {
        Tile tile{0, 0, 0, 0, 0.0};
        const int x0 = t % TILES_X * TILE_WIDTH;
        const int y0 = t / TILES_X * TILE_HEIGHT;
        for (int y = y0; y < y0 + TILE_HEIGHT; ++y) {
            bool changed = false;
            bool merged = false;
            for (int x = x0; x < x0 + TILE_WIDTH; ++x) {
                const int at = y * SCREEN_WIDTH + x;
                const uint8_t was = p->shown.index[at];
                const uint8_t now = p->fresh.index[at];
                tile.staleError += pixelError(p->fresh.palette[p->remap[was]], rgb + 3 * at);
                tile.freshError += pixelError(p->fresh.palette[now], rgb + 3 * at);
                changed = changed || p->remap[was] != now || p->merged[was];
                merged = merged || p->merged[was];
            }
            tile.changedRows += changed;
            tile.mergedRows += merged;
        }
        int steps = 0;
        for (int y = y0; y < y0 + TILE_HEIGHT; ++y)
            for (int x = x0; x < x0 + TILE_WIDTH; ++x) {
                const uint8_t* px = rgb + 3 * (y * SCREEN_WIDTH + x) + 1;
                if (x + 1 < SCREEN_WIDTH) steps += std::abs(px[0] - px[3]);
                if (y + 1 < SCREEN_HEIGHT) steps += std::abs(px[0] - px[3 * SCREEN_WIDTH]);
            }
        const double masking = 1.0 + steps / (2.0 * TILE_WIDTH * TILE_HEIGHT * MASK_STEP);
        if (tile.changedRows == 0) p->waited[t] = 0;
        const int64_t gain = tile.staleError - tile.freshError;
        tile.need = gain > 0 ? static_cast<double>(gain) * (1.0 + ageWeight * p->waited[t]) : 0.0;
        // Need per byte: what a tile's rows would cost besides what is redrawn anyway.
        tile.need /= (tile.changedRows - tile.mergedRows + 1) * masking;
        p->tiles[t] = tile;
    }
}

// The colours on screen moved to the source under them (see rate.h).
bool refitPalette(Planner* p, const uint8_t* rgb) {
    const int shownSize = p->shown.paletteSize;
    if (shownSize == 0 || shownSize > p->plannedLimit) return false;
    std::array<std::array<int64_t, 3>, MAX_COLOURS> sum{};
    std::array<int64_t, MAX_COLOURS> count{};
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const int k = p->shown.index[i];
        ++count[k];
        for (int c = 0; c < 3; ++c) sum[k][c] += rgb[3 * i + c];
    }
    std::array<Colour12, MAX_COLOURS> refit{};
    for (int k = 0; k < shownSize; ++k)
        if (count[k] > 0) refit[k] = meanColour(sum[k], count[k]);
    int64_t refitError = 0;
    int64_t remapError = 0;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const int k = p->shown.index[i];
        refitError += pixelError(refit[k], rgb + 3 * i);
        remapError += pixelError(p->fresh.palette[p->remap[k]], rgb + 3 * i);
    }
    if (static_cast<double>(refitError) > REFIT_SHARE * static_cast<double>(remapError)) return false;

    // The new palette: the refitted colours, each once (the most used entry
    // of those that share a colour keeps its number, the others are redrawn).
    ReducedFrame& fresh = p->fresh;
    std::array<Colour12, MAX_COLOURS> palette{};
    int size = 0;
    std::array<uint8_t, MAX_COLOURS> entryOf{};  // shown entry -> new entry
    std::array<int, MAX_COLOURS> keeper;
    keeper.fill(-1);
    for (int k = 0; k < shownSize; ++k) {
        if (count[k] == 0) continue;
        int j = 0;
        while (j < size && palette[j] != refit[k]) ++j;
        if (j == size) palette[size++] = refit[k];
        entryOf[k] = static_cast<uint8_t>(j);
        if (keeper[j] < 0 || count[k] > count[keeper[j]]) keeper[j] = k;
    }
    const auto nearestNew = [&](Colour12 c) { return nearestEntry(palette.data(), size, c); };
    // The fresh picture in these colours must be nearly as good as in its own.
    std::array<uint8_t, MAX_COLOURS> mapTo{};  // fresh entry -> new entry
    int64_t freshError = 0;
    for (int i = 0; i < FRAME_PIXELS; ++i) freshError += pixelError(fresh.palette[fresh.index[i]], rgb + 3 * i);
    const auto fits = [&](double factor) {
        for (int j = 0; j < fresh.paletteSize; ++j) mapTo[j] = static_cast<uint8_t>(nearestNew(fresh.palette[j]));
        int64_t mappedError = 0;
        for (int i = 0; i < FRAME_PIXELS; ++i) mappedError += pixelError(palette[mapTo[fresh.index[i]]], rgb + 3 * i);
        return static_cast<double>(mappedError) <= factor * static_cast<double>(freshError);
    };
    if (!fits(REFIT_FRESH_FACTOR)) {
        // Failing that, the colours the picture brings of its own join them
        // while the limit allows, most used first (a title fading in on a
        // shot faded to black), and the picture must come closer still.
        std::array<int, MAX_COLOURS> usage{};
        for (uint8_t index : fresh.index) ++usage[index];
        std::array<int, MAX_COLOURS> byUse{};
        std::iota(byUse.begin(), byUse.begin() + fresh.paletteSize, 0);
        std::sort(byUse.begin(), byUse.begin() + fresh.paletteSize, [&](int a, int b) { return usage[a] > usage[b]; });
        for (int n = 0; n < fresh.paletteSize && size < p->plannedLimit; ++n) {
            const Colour12 c = fresh.palette[byUse[n]];
            if (usage[byUse[n]] > 0 && colourDistance2(c, palette[nearestNew(c)]) > NEW_COLOUR_DISTANCE2) palette[size++] = c;
        }
        if (!fits(JOINED_FRESH_FACTOR)) return false;
    }

    for (int k = 0; k < shownSize; ++k) {
        p->remap[k] = entryOf[k];
        p->merged[k] = count[k] > 0 && keeper[entryOf[k]] != k;
    }
    for (uint8_t& index : fresh.index) index = mapTo[index];
    fresh.palette = palette;
    fresh.paletteSize = size;
    return true;
}

// Tiles whose picture changes much (a moving object and the background it
// uncovers) form regions, 8-connected on the tile grid (p->region holds -1
// for every tile when called).
static void findRegions(Planner* p) {
    const auto moving = [p](int t) {
        const Tile& tile = p->tiles[t];
        return tile.need > 0.0 && tile.staleError - tile.freshError >= MOVING_GAIN;
    };
    for (int seed = 0; seed < TILES; ++seed) {
        if (p->region[seed] >= 0 || !moving(seed)) continue;
        const int16_t r = static_cast<int16_t>(p->regionCount++);
        int top = 0;
        p->stack[top++] = static_cast<int16_t>(seed);
        p->region[seed] = r;
        while (top > 0) {
            const int t = p->stack[--top];
            const int tx = t % TILES_X;
            const int ty = t / TILES_X;
            for (int y = std::max(0, ty - 1); y <= std::min(TILES_Y - 1, ty + 1); ++y)
                for (int x = std::max(0, tx - 1); x <= std::min(TILES_X - 1, tx + 1); ++x) {
                    const int n = y * TILES_X + x;
                    if (p->region[n] >= 0 || !moving(n)) continue;
                    p->region[n] = r;
                    p->stack[top++] = static_cast<int16_t>(n);
                }
        }
    }
    for (int r = 0; r < p->regionCount; ++r) p->regions[r] = Region{};
    for (int t = 0; t < TILES; ++t) {
        if (p->region[t] < 0) continue;
        Region& region = p->regions[p->region[t]];
        const Tile& tile = p->tiles[t];
        const int units = tile.changedRows - tile.mergedRows + 1;
        region.rows += tile.changedRows - tile.mergedRows;
        region.need += tile.need * units;
        region.units += units;
        region.gain += static_cast<double>(tile.staleError - tile.freshError);
        ++region.tiles;
        region.waited = std::max(region.waited, p->deferred[t]);
    }
}

// Orders the tiles by need and marks as many as an estimated `bytes` allow.
// With `together`, a moving object goes whole or not at all: sent in part it
// would show torn, part where it was and part where it is. Its region then
// waits for the next frame, and one that has waited MAX_DEFER frames goes
// first; when it does not fit, the frame keeps the rest of its budget for
// it. Regions that cost more than the whole budget, and motion over more
// than MOVING_TILES (a pan, a zoom), go tile by tile, neediest first, so
// that no change waits for ever. Returns true when every tile in need was chosen.
bool chooseTiles(Planner* p, double bytes, bool together) {
    const double perRow = p->rowBytes * p->layers;
    p->region.fill(-1);
    p->regionCount = 0;
    if (together) findRegions(p);
    int moving = 0;
    for (int r = 0; r < p->regionCount; ++r) moving += p->regions[r].tiles;
    const auto whole = [&](int r) { return moving <= MOVING_TILES && p->regions[r].rows * perRow <= bytes; };
    const auto due = [&](int r) { return p->regions[r].waited >= MAX_DEFER; };
    // Items: a tile t >= 0 alone, or a region r sent whole as -(r + 1).
    int items = 0;
    for (int r = 0; r < p->regionCount; ++r)
        if (whole(r)) p->order[items++] = static_cast<int16_t>(-(r + 1));
    for (int t = 0; t < TILES; ++t)
        if (p->region[t] < 0 || !whole(p->region[t])) p->order[items++] = static_cast<int16_t>(t);
    const auto needOf = [p](int16_t item) {
        if (item >= 0) return p->tiles[item].need;
        const Region& region = p->regions[-item - 1];
        return region.need / region.units;
    };
    const auto first = [&](int16_t item) { return item < 0 && due(-item - 1); };
    std::sort(p->order.begin(), p->order.begin() + items, [&](int16_t a, int16_t b) {
        return first(a) != first(b) ? first(a) : needOf(a) > needOf(b);
    });
    double spent = 0.0;
    for (const Tile& tile : p->tiles) spent += tile.mergedRows * perRow;  // stale tiles redrawn anyway
    p->chosen.fill(false);
    for (int r = 0; r < p->regionCount; ++r) p->regions[r].chosen = false;
    bool all = true;
    bool saving = false;  // for a region that is due
    double gain = 0.0;
    double sent = 0.0;
    for (int n = 0; n < items; ++n) {
        const int16_t item = p->order[n];
        if (needOf(item) <= 0.0) break;
        const Tile* tile = item >= 0 ? &p->tiles[item] : nullptr;
        const double itemGain = tile ? static_cast<double>(tile->staleError - tile->freshError) : p->regions[-item - 1].gain;
        const double cost = (tile ? tile->changedRows - tile->mergedRows : p->regions[-item - 1].rows) * perRow;
        gain += itemGain;
        // What does not fit is passed over: a tile redrawn anyway still comes free.
        if (saving || (cost > 0.0 && spent + cost > bytes)) {
            all = false;
            saving = saving || (!tile && due(-item - 1));
            continue;
        }
        spent += cost;
        sent += itemGain;
        if (tile)
            p->chosen[item] = true;
        else
            p->regions[-item - 1].chosen = true;
    }
    for (int t = 0; t < TILES; ++t)
        if (p->region[t] >= 0 && p->regions[p->region[t]].chosen) p->chosen[t] = true;
    p->gainSent = gain > 0.0 ? sent / gain : 1.0;
    return all;
}

// The next picture: the chosen tiles from the fresh picture, the rest of the
// screen in the fresh palette's nearest colours. At a scene cut the tiles not
// chosen take one flat colour instead of the old shot's picture (no picture
// shows two shots), and keep it until they are sent: a flat area costs the
// stream little. Tiles whose old picture already shows the new one stay.
void compose(const Planner& p, bool cut, ReducedFrame* out) {
    out->palette = p.fresh.palette;
    out->paletteSize = p.fresh.paletteSize;
    for (int y = 0; y < SCREEN_HEIGHT; ++y)
        for (int tx = 0; tx < TILES_X; ++tx) {
            const int t = y / TILE_HEIGHT * TILES_X + tx;
            const bool stale = !cut || p.tiles[t].staleError <= p.tiles[t].freshError + STILL_SLACK;
            for (int at = y * SCREEN_WIDTH + tx * TILE_WIDTH, end = at + TILE_WIDTH; at < end; ++at)
                out->index[at] = p.chosen[t] ? p.fresh.index[at] : stale ? p.remap[p.shown.index[at]] : p.fill;
        }
    out->sceneCut = false;
    out->keptColours = 0;
}

// The fresh entry nearest to the picture's mean colour: what the tiles not
// sent at a cut show.
static uint8_t fillEntry(const Planner& p, const uint8_t* rgb) {
    std::array<int64_t, 3> sum{};
    for (int i = 0; i < FRAME_PIXELS; ++i)
        for (int k = 0; k < 3; ++k) sum[k] += rgb[3 * i + k];
    return static_cast<uint8_t>(nearestEntry(p.fresh.palette.data(), p.fresh.paletteSize, meanColour(sum, FRAME_PIXELS)));
}

// Changed rows the estimate gave the frame out.
static double estimatedRows(const Planner& p) {
    double rows = 0.0;
    for (int t = 0; t < TILES; ++t) rows += p.chosen[t] ? p.tiles[t].changedRows : p.tiles[t].mergedRows;
    return rows;
}

namespace {
struct Trial {
    bool kept;
    int bytes;
};
}  // namespace

// Encodes out on trial: kept when the colour reduction takes it and its end
// is read in time (with the planning margin unless `lastResort`); otherwise
// everything is taken back.
static Trial tryFrame(Planner* p, const ReducedFrame& out, int limit, bool lastResort) {
    ++p->trials;
    sessionSave(&p->session, &p->snapshot);
    const FrameParams params{p->nextInterval, limit};
    const SessionFrame done = sessionFrame(&p->session, out, params);
    model::Sim sim = p->sim;
    const double at = sessionFeed(&p->session, &sim, p->frames - p->partFirst);
    const double margin = MARGIN_BYTES / (2.0 * sim.rate);
    const int64_t show = p->show - p->partShow;  // in the part's stream
    const bool onTime = model::simFrameLateness(&sim, at, show, false) == 0.0 &&
                        (!sim.started || at <= sim.start + (show + model::PICTURE_SLACK) / static_cast<double>(DISPLAY_FRAMES_PER_SECOND) - margin);
    const bool kept = done.accepted && ((onTime && sim.soundGaps == p->sim.soundGaps) || lastResort);
    if (!kept) {
        sessionRestore(&p->session, p->snapshot);
        return {false, done.bytes};
    }
    model::simFrameLateness(&sim, at, show, true);
    p->sim = sim;
    p->refused += !done.accepted;
    return {true, done.bytes};
}

static void keep(Planner* p, const ReducedFrame& out, int limit) {
    for (int t = 0; t < TILES; ++t) {
        p->waited[t] = p->chosen[t] ? 0 : p->waited[t] + 1;
        p->deferred[t] = p->region[t] >= 0 && !p->chosen[t] ? p->deferred[t] + 1 : 0;  // its region waits
    }
    if (p->changes.empty() || p->changes.back().limit != limit || p->changes.back().interval != p->nextInterval)
        p->changes.push_back({p->frames, p->nextInterval, limit});
    p->shown = out;
    p->screenLimit = limit;
    p->show += p->nextInterval;
    ++p->frames;
    SettingRange& r = p->used;
    r.shortestInterval = std::min(r.shortestInterval, p->sceneInterval);
    r.longestInterval = std::max(r.longestInterval, p->sceneInterval);
    r.fewestColours = std::min(r.fewestColours, limit);
    r.mostColours = std::max(r.mostColours, limit);
}

// Plans from the next frame on for another colour limit. The colour
// reduction starts afresh with it.
static void setLimit(Planner* p, int limit) {
    p->plannedLimit = limit;
    p->layers = planeLayers(limit);
    p->spareFrames = 0;
    reduceInit(&p->reducer, {limit, p->dither ? Dither::Ordered : Dither::None});
}

static void setDither(Planner* p, bool dither) {
    p->dither = dither;
    p->spareFrames = 0;
    reduceSetDither(&p->reducer, dither ? Dither::Ordered : Dither::None);
}

// The source's cadence over the display frames held, up to the next scene
// cut; 0 when too few new pictures come there to tell (a still).
static double heldSourceGap(const Planner& p) {
    std::array<bool, SURVEY_FRAMES> fresh{};
    int n = 0;
    for (; n < p.held; ++n) {
        const int slot = (p.head + n) % SURVEY_FRAMES;
        if (n > 0 && p.cutBefore[slot]) break;
        fresh[n] = p.newPicture[slot];
    }
    return sourceGap(fresh.data(), n);
}

// The source's cadence ahead; where it cannot be told (a short scene, the
// film's end, a still), the cadence seen last: it is the film's own, the
// same from scene to scene.
static double heldGap(const Planner& p) {
    const double gap = heldSourceGap(p);
    return gap > 0.0 ? gap : p.cadence;
}

// The shortest interval rate to spare may reach: beyond the one asked for
// only while the picture moves (a still gains nothing from more frames).
static int spareInterval(const Planner& p) {
    const int spare = p.settings.spareInterval;
    return spare > 0 && heldSourceGap(p) > 0.0 ? std::min(spare, p.settings.interval) : p.settings.interval;
}

// The interval about a quarter longer or shorter than the scene's that suits
// the source's cadence; the scene's own when none does.
static int steppedInterval(const Planner& p, bool longer) {
    return stepInterval(p.sceneInterval, longer, spareInterval(p), heldGap(p));
}

// The held display frames in order, for the survey.
static int heldFrames(Planner* p) {
    for (int i = 0; i < p->held; ++i) p->ahead[i] = p->ring[(p->head + i) % SURVEY_FRAMES].data();
    return p->held;
}

// What the survey plans against: the rate left beside the sound, the highest
// frame rate and colour limit, the source's cadence.
static SurveySettings surveySettings(const Planner& p) {
    const double sharedWithSound = p.sound ? AUDIO_BLOCK_BYTES / model::AUDIO_BLOCK_SECONDS : 0.0;
    return {p.settings.kibPerSecond * model::KIB - sharedWithSound, p.settings.interval, p.settings.colourLimit,
            heldGap(p)};
}

// Every scene starts at the survey's colour limit and frame rate. While the
// frames leave a good part of their share unused for a second, the limit
// doubles or the frames come more often, whichever the survey found to mend
// more, and then the other. While
// they mend too little of the picture for a second, they come less often.
void adaptSetting(Planner* p, bool spare, double gainSent) {
    p->spareFrames = spare ? p->spareFrames + 1 : 0;
    p->shortFrames = gainSent < SHORT_SHARE ? p->shortFrames + 1 : 0;
    const int second = std::max(1, DISPLAY_FRAMES_PER_SECOND / p->sceneInterval);
    if (p->shortFrames >= second) {
        p->shortFrames = 0;
        if (p->dither)
            setDither(p, false);
        else if (p->sceneInterval < LONGEST_INTERVAL)
            p->sceneInterval = steppedInterval(*p, true);
        return;
    }
    if (p->spareFrames < second) return;
    const int faster = steppedInterval(*p, false);
    const bool moreColours = p->plannedLimit < p->settings.colourLimit;
    // Which mends more is measured on the footage ahead, when there is a choice.
    if (faster < p->sceneInterval && moreColours && p->held >= 2) {
        SurveySettings settings = surveySettings(*p);
        settings.minInterval = spareInterval(*p);
        p->framesFirst = surveyFramesFirst(&p->survey, settings, p->ahead.data(), heldFrames(p),
                                           p->sceneInterval, p->plannedLimit);
    }
    if (faster < p->sceneInterval && (p->framesFirst || !moreColours)) {
        p->sceneInterval = faster;
        p->spareFrames = 0;
    } else if (moreColours) {
        setLimit(p, p->plannedLimit * 2);
    } else if (!p->dither && p->settings.dither) {
        // As many colours and frames as the source has: the rate left goes
        // to the dither, which takes the banding out of smooth areas (when
        // asked for: it costs the picture some fine structure, see
        // docs/rate-control.md).
        setDither(p, true);
    }
}

// The frame rate and colour limit of the scene that starts with the next frame.
static void chooseSetting(Planner* p) {
    const SurveyChoice choice = surveyChoose(&p->survey, surveySettings(*p), p->ahead.data(), heldFrames(p));
    p->sceneInterval = choice.interval;
    p->sceneLimit = choice.colourLimit;
    p->framesFirst = choice.framesFirst;
}

// The next frame's display frames: as many as the interval, fewer before a
// scene cut or a jump of the light, so that the new scene or the flash
// starts on time with a frame of its own.
static void holdLength(Planner* p) {
    p->nextInterval = p->sceneInterval;
    for (int d = 1; d < std::min(p->sceneInterval, p->held); ++d) {
        const int slot = (p->head + d) % SURVEY_FRAMES;
        if (p->cutBefore[slot] || p->jumpBefore[slot]) {
            p->nextInterval = d;
            break;
        }
    }
}

// The next frame's picture: one the source really had (the middle one of its
// display frames) wherever something moves, their mean where nothing does
// (see middleShare). A mean over motion would be a double exposure. Whether a
// pixel moves is judged on the mean of its 2 x 2 block: film grain and
// sensor noise, which change single pixels, average out there and count as
// still, while an edge that moves shifts the block's mean all the same.
void holdPicture(Planner* p) {
    holdLength(p);
    const int count = std::min(p->nextInterval, p->held);
    const uint8_t* middle = p->ring[(p->head + count / 2) % SURVEY_FRAMES].data();
    for (int d = 0; d < count; ++d) {
        const uint8_t* frame = p->ring[(p->head + d) % SURVEY_FRAMES].data();
        for (int i = 0; i < FRAME_RGB_BYTES; ++i) p->sums[i] = static_cast<uint16_t>((d ? p->sums[i] : 0) + frame[i]);
        for (int by = 0; by < HOLD_BLOCKS_Y; ++by)
            for (int bx = 0; bx < HOLD_BLOCKS_X; ++bx) {
                const uint8_t* top = frame + 3 * (2 * by * SCREEN_WIDTH + 2 * bx);
                const uint8_t* bottom = top + 3 * SCREEN_WIDTH;
                for (int k = 0; k < 3; ++k) {
                    const auto v = static_cast<uint16_t>(top[k] + top[3 + k] + bottom[k] + bottom[3 + k]);
                    const int b = 3 * (by * HOLD_BLOCKS_X + bx) + k;
                    p->blockLow[b] = d ? std::min(p->blockLow[b], v) : v;
                    p->blockHigh[b] = d ? std::max(p->blockHigh[b], v) : v;
                }
            }
    }
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const int block = 3 * (i / SCREEN_WIDTH / 2 * HOLD_BLOCKS_X + i % SCREEN_WIDTH / 2);
        int range = 0;
        for (int k = 0; k < 3; ++k) range = std::max(range, p->blockHigh[block + k] - p->blockLow[block + k]);
        const int share = middleShare((range + 2) / 4);
        for (int k = 3 * i; k < 3 * i + 3; ++k) {
            const int mean = (p->sums[k] + count / 2) / count;
            p->picture[k] = static_cast<uint8_t>(mean + ((middle[k] - mean) * share + 128) / 256);
        }
    }
}

// A scene cut among the display frames held beyond the next frame's.
static bool cutAhead(const Planner& p) {
    for (int d = p.sceneInterval; d < p.held; ++d)
        if (p.cutBefore[(p.head + d) % SURVEY_FRAMES]) return true;
    return false;
}

// Chooses tiles for the budget the frame has and encodes them; when the
// frame would be late, fewer. True when a frame was kept.
static bool sendTiles(Planner* p, const uint8_t* rgb, bool cut, ReducedFrame* out) {
    buildRemap(p);
    if (!cut) refitPalette(p, rgb);
    measureTiles(p, rgb);
    if (cut) p->fill = fillEntry(*p, rgb);
    const double readBy = (p->show - p->partShow + model::PICTURE_SLACK) / static_cast<double>(DISPLAY_FRAMES_PER_SECOND) - MARGIN_BYTES / p->sim.rate;
    // Within a scene the reader is kept ahead by a reserve, which the first
    // frame of the next scene may spend: it has the whole picture to send.
    const double reserve = cutAhead(*p) ? CUT_AHEAD_RESERVE_BYTES : std::min(p->sim.rate * CUT_RESERVE_SECONDS, CUT_RESERVE_MAX_BYTES);
    const double room = static_cast<double>(sessionRoom(&p->session, p->sim, readBy, FRAME_BYTES_CAP));
    // So does every frame until the new scene's picture is whole.
    double budget = cut || p->incomplete || p->frames == p->partFirst ? room : std::max(0.0, room - reserve);
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        const bool all = chooseTiles(p, budget, !cut && !p->incomplete);
        compose(*p, cut, out);
        const double rows = estimatedRows(*p);
        const Trial trial = tryFrame(p, *out, p->plannedLimit, false);
        if (rows > 0 && trial.bytes > 1)
            p->rowBytes += LEARN_RATE * (trial.bytes / (rows * p->layers) - p->rowBytes);
        if (trial.kept) {
            out->sceneCut = cut;
            p->incomplete = (cut || p->incomplete) && !all;
            keep(p, *out, p->plannedLimit);
            adaptSetting(p, all && attempt == 0 && budget >= SPARE_FACTOR * trial.bytes, p->gainSent);
            return true;
        }
        budget = std::min(budget, static_cast<double>(trial.bytes)) * (attempt == 0 ? 0.7 : 0.5);
    }
    return false;
}

static void planFrame(Planner* p, ReducedFrame* out) {
    const uint8_t* rgb = p->picture.data();
    // Frames end at scene cuts, so a frame begins a scene when its first
    // display frame does.
    const bool cut = p->frames > 0 && p->cutBefore[p->head];
    if (cut) {
        // A new scene: its own frame rate and colours, no dither, and the
        // reduction starts afresh.
        const int interval = p->sceneInterval;
        p->dither = false;
        chooseSetting(p);
        if (p->sceneInterval != interval) holdPicture(p);
        setLimit(p, p->sceneLimit);
    }
    reduceFrame(&p->reducer, rgb, &p->fresh);
    p->fresh.sceneCut = cut;
    if (sendTiles(p, rgb, cut, out)) return;
    // Below the screen's colour limit, the colours on screen that lose their
    // numbers are redrawn whatever the tiles chosen; when the rate cannot pay
    // for that, the screen's limit stays.
    if (p->plannedLimit < p->screenLimit) {
        setLimit(p, p->screenLimit);
        reduceFrame(&p->reducer, rgb, &p->fresh);
        p->fresh.sceneCut = cut;
        if (sendTiles(p, rgb, cut, out)) return;
    }
    // Nothing new fits: the screen stays as it is (one byte).
    p->chosen.fill(false);
    *out = p->shown;
    out->sceneCut = cut;
    const int limit = p->screenLimit;
    tryFrame(p, *out, limit, true);
    keep(p, *out, limit);
    if (p->plannedLimit != limit) setLimit(p, limit);
    adaptSetting(p, false, 0.0);
}

// Opens the stream of the part that begins with the next frame.
// The screen as the target starts a stream: black, every tile up to date.
static void blankScreen(Planner* p) {
    p->shown.paletteSize = 1;
    p->shown.palette.fill(0);
    p->shown.index.fill(0);
    p->waited.fill(0);
    p->deferred.fill(0);
    p->region.fill(-1);
    p->incomplete = false;
}

// Ends the part's stream and adds what it came to to the parts before.
static void endPart(Planner* p) {
    sessionFinish(&p->session);
    sessionFeedRest(&p->session, &p->sim);
    p->partLate += p->sim.lateFrames;
    p->partGaps += p->sim.soundGaps;
    p->partNeeded = std::max(p->partNeeded, model::neededRate(sessionLayout(&p->session)) / model::KIB);
}

static bool openPart(Planner* p) {
    model::simInit(&p->sim, (p->settings.kibPerSecond > 0 ? p->settings.kibPerSecond : MEASURE_KIB) * model::KIB);
    SessionSetup setup;
    setup.wavPath = p->sound ? p->wavPath.c_str() : nullptr;
    setup.compressType = p->settings.compressType;
    setup.soundFrom = static_cast<int32_t>(showSample(p->show));
    p->partFirst = p->frames;
    p->partShow = p->show;
    p->blocks = -1;
    return sessionOpen(&p->session, setup);
}

// With parts, before the next frame is planned: ends the part when that
// frame might not fit in it (it adds at most what the most a frame has added
// so far, and a little), or begins a scene in the part's last tenth of
// blocks. The next part starts from a black screen.
static void startPartIfDue(Planner* p) {
    const int limit = p->settings.partBlocks;
    if (limit <= 0 || p->frames == p->partFirst) return;
    const int blocks = sessionBlocksIfEnded(&p->session);
    if (p->blocks >= 0) p->mostBlocksAFrame = std::max(p->mostBlocksAFrame, blocks - p->blocks);
    p->blocks = blocks;
    const int reach = std::max(1, limit * SCENE_CUT_REACH_PERCENT / 100);
    const bool cut = p->cutBefore[p->head];
    if (blocks + p->mostBlocksAFrame + 2 <= limit && !(cut && blocks > limit - reach)) return;
    endPart(p);
    p->partStarts.push_back(p->frames);
    blankScreen(p);
    // Should the sound file fail to open again, the part is planned without
    // it; each part's own check of the rate it needs still judges it.
    if (!openPart(p)) {
        p->sound = false;
        openPart(p);
    }
}

bool rateBegin(Planner* p, const RateSettings& settings, const char* wavPath) {
    p->settings = settings;
    p->rowBytes = ROW_LAYER_BYTES;
    p->changes.clear();
    p->changes.reserve(LIMIT_CHANGES_RESERVED);
    p->show = 0;
    p->frames = p->trials = p->refused = 0;
    blankScreen(p);
    p->head = p->held = 0;
    p->dither = false;
    p->cadence = 0.0;
    p->framesFirst = false;
    p->fill = 0;
    sceneTrackInit(&p->cuts);
    p->used = {INT_MAX, 0, INT_MAX, 0};
    p->sound = wavPath != nullptr;
    p->wavPath = wavPath ? wavPath : "";
    p->partLate = p->partGaps = 0;
    p->partNeeded = 0.0;
    p->partStarts.clear();
    p->mostBlocksAFrame = 0;
    p->sceneInterval = p->nextInterval = settings.interval;
    if (!openPart(p)) return false;
    p->sceneLimit = settings.colourLimit;
    p->screenLimit = p->sceneLimit;
    setLimit(p, p->sceneLimit);
    return true;
}

void rateAddDisplayFrame(Planner* p, const uint8_t* rgb) {
    const int slot = (p->head + p->held) % SURVEY_FRAMES;
    const auto& before = p->ring[(slot + SURVEY_FRAMES - 1) % SURVEY_FRAMES];
    p->newPicture[slot] = p->frames + p->held == 0 || !std::equal(rgb, rgb + FRAME_RGB_BYTES, before.begin());
    std::copy_n(rgb, FRAME_RGB_BYTES, p->ring[slot].begin());
    SceneSample sample;
    sceneSample(rgb, &sample);
    p->jumpBefore[slot] = p->cuts.started && std::fabs(sample.meanLuma - p->cuts.last.meanLuma) >= LIGHT_JUMP;
    p->cutBefore[slot] = sceneCut(&p->cuts, sample) && p->frames + p->held > 0;
    ++p->held;
}

bool rateNextFrame(Planner* p, bool sourceEnded, ReducedFrame* out) {
    if (p->held == 0 || (!sourceEnded && p->held < SURVEY_FRAMES)) return false;
    if (p->frames == 0) {
        chooseSetting(p);
        setLimit(p, p->sceneLimit);
    }
    p->cadence = heldGap(*p);
    startPartIfDue(p);
    holdPicture(p);
    planFrame(p, out);
    const int used = std::min(p->nextInterval, p->held);
    p->head = (p->head + used) % SURVEY_FRAMES;
    p->held -= used;
    return true;
}

void rateMeasureFrame(Planner* p, const ReducedFrame& frame) {
    ++p->trials;
    const SessionFrame done = sessionFrame(&p->session, frame, {p->nextInterval, p->plannedLimit});
    const double at = sessionFeed(&p->session, &p->sim, p->frames - p->partFirst);
    model::simFrameLateness(&p->sim, at, p->show - p->partShow, true);
    p->refused += !done.accepted;
    p->show += p->nextInterval;
    ++p->frames;
}

bool ratePartStarted(const Planner* p) { return p->frames > 1 && p->partFirst == p->frames - 1; }

FrameSetting rateLastSetting(const Planner* p) {
    if (p->changes.empty()) return {p->nextInterval, p->plannedLimit};
    return {p->changes.back().interval, p->changes.back().limit};
}

RateReport rateFinish(Planner* p) {
    endPart(p);
    RateReport r;
    r.frames = p->frames;
    r.trials = p->trials;
    r.refused = p->refused;
    r.lateFrames = p->partLate;
    r.soundGaps = p->partGaps;
    r.neededKiB = p->partNeeded;
    r.changes = p->changes;
    r.used = p->used;
    r.partStarts = p->partStarts;
    return r;
}

}  // namespace prep
