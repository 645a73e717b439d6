#include "tools/model/player_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "format/v2format.h"

namespace model {
namespace {

// ---- The layout: units, frame ends and display times -------------------------

// A palette update's length is known only by walking its entry headers; every
// byte looked at lies before the block's page-end marker.
int paletteLength(const uint8_t* block, int offset) {
    if (offset + 2 > FIFO_PAGE_LAST) return 0;
    const int count = block[offset + 1];
    int at = offset + 2;
    for (int e = 0; e < count; ++e) {
        if (at >= FIFO_PAGE_LAST) return 0;
        at += v2PaletEntryLength(block[at]);
    }
    return at - offset;
}

// Length of the command at offset, or 0 when it cannot be followed: no
// command, or one that reaches the block's last byte (the page-end marker's).
int commandLength(const uint8_t* block, int offset) {
    const uint8_t op = block[offset];
    const int entries = v2CommandEntries(op);
    int length = 0;
    if (op <= V2OP_PAGE_ADVANCE_MAX) {
        length = 1;  // NOP or page advance
    } else if (const int w = v2DrawWidth(op)) {
        length = v2DrawLength(w, entries);
    } else if ((op & 0xF0) == V2OP_FIL1) {
        length = v2Fil1Length(entries);
    } else {
        switch (op) {
            case V2OP_PALET: length = paletteLength(block, offset); break;
            case V2OP_OPTION:
            case V2OP_PAGE_SET: length = 2; break;
            case V2OP_FRAME_END:
            case V2OP_STREAM_END: length = 1; break;
            default: length = 0; break;  // a page-end marker too early, or no opcode
        }
    }
    return offset + length <= FIFO_PAGE_LAST ? length : 0;
}

// ---- The buffer --------------------------------------------------------------

// Orders the buffer as a heap whose top leaves first.
bool leavesLater(const Sim::Held& a, const Sim::Held& b) { return a.leaveAt > b.leaveAt; }

double unitSeconds(const Sim& sim) { return UNIT_BYTES / sim.rate; }

// Playback starts at `at`: every unit held gets the moment it leaves.
void startPlayback(Sim* sim, double at) {
    sim->started = true;
    sim->start = at;
    for (int i = 0; i < sim->held; ++i) {
        Sim::Held& h = sim->buffer[i];
        h.leaveAt = std::max(h.readAt, at + h.due);
    }
    std::make_heap(sim->buffer, sim->buffer + sim->held, leavesLater);
}

void leaveFirst(Sim* sim) {
    std::pop_heap(sim->buffer, sim->buffer + sim->held, leavesLater);
    --sim->held;
}

// The moment the next unit starts to be read: when the previous one is in and
// the buffer has room. Before S nothing but frame 0 leaves, so the first unit
// that finds the buffer full fixes S.
double nextReadStart(Sim* sim) {
    double t = sim->now;
    if (!sim->started && sim->held == BUFFER_UNITS) startPlayback(sim, t);
    if (!sim->started) return t;
    while (sim->held > 0 && sim->buffer[0].leaveAt <= t) leaveFirst(sim);
    if (sim->held == BUFFER_UNITS) {
        t = sim->buffer[0].leaveAt;
        leaveFirst(sim);
    }
    return t;
}

// Reads the next unit; due is how long after S its use is over.
double readUnit(Sim* sim, double due) {
    const double readAt = nextReadStart(sim) + unitSeconds(*sim);
    sim->now = readAt;
    Sim::Held& h = sim->buffer[sim->held++];
    h.readAt = readAt;
    h.due = due;
    if (sim->started) {
        h.leaveAt = std::max(readAt, sim->start + due);
        std::push_heap(sim->buffer, sim->buffer + sim->held, leavesLater);
    }
    return readAt;
}

double audioPlayFrom(int32_t block, int32_t j) { return block * AUDIO_BLOCK_SECONDS + j * AUDIO_UNIT_SECONDS; }

// How late an audio unit read at readAt is for its play; 0 when on time.
double audioLateness(const Sim& sim, double readAt, int32_t block, int32_t j) {
    if (!sim.started) return 0.0;
    return std::max(0.0, readAt - (sim.start + audioPlayFrom(block, j)));
}

}  // namespace

// ---- Layout --------------------------------------------------------------------

void layoutBegin(LayoutBuilder* builder, Layout* layout, int startInterval) {
    *builder = LayoutBuilder{};
    builder->layout = layout;
    builder->interval = startInterval;
    layout->units.clear();
    layout->frameEndUnit.clear();
    layout->showTime.clear();
}

void layoutAddVideoBlock(LayoutBuilder* builder, const uint8_t* block) {
    Layout& layout = *builder->layout;
    const int64_t first = static_cast<int64_t>(layout.units.size());
    int unit = 0;
    // Units whose last byte lies at or before `offset` belong to the frame of
    // the next frame end at or after that byte: the frames ended so far.
    const auto unitsThrough = [&](int offset) {
        for (; unit * UNIT_BYTES + UNIT_BYTES - 1 <= offset; ++unit) {
            const auto owner = static_cast<int32_t>(layout.frameEndUnit.size());
            layout.units.push_back(Unit{false, 0, 0, owner});
        }
    };
    for (int offset = 0; !builder->ended && offset < FIFO_PAGE_LAST;) {
        const int length = commandLength(block, offset);
        if (length == 0) {
            builder->malformed = true;
            break;
        }
        const uint8_t op = block[offset];
        if (op == V2OP_FRAME_END) {
            unitsThrough(offset);
            layout.frameEndUnit.push_back(first + offset / UNIT_BYTES);
            layout.showTime.push_back(builder->time);
            builder->time += builder->interval;
        } else if (op == V2OP_OPTION && block[offset + 1] <= V2OPT_INTERVAL_MAX) {
            builder->interval = block[offset + 1];
        } else if (op == V2OP_STREAM_END) {
            builder->ended = true;
        }
        offset += length;
    }
    unitsThrough(FIFO_PAGE_LAST);  // fill and marker: they belong to the next frame
}

void layoutAddAudioBlock(LayoutBuilder* builder) {
    for (int j = 0; j < AUDIO_BLOCK_UNITS; ++j) {
        builder->layout->units.push_back(Unit{true, builder->audioBlocks, j, 0});
    }
    ++builder->audioBlocks;
}

bool layoutFromStream(const uint8_t* blocks, int64_t size, const uint8_t* bitmap, int blockCount,
                      int startInterval, Layout* layout) {
    LayoutBuilder builder;
    layoutBegin(&builder, layout, startInterval);
    const int count = std::clamp(blockCount, 0, AVINDEX_MAX_BLOCKS);
    int64_t at = 0;
    if (count > 0 && !bitmap) return false;
    for (int k = 0; k < count; ++k) {
        const bool audio = avIndexBlockIsAudio(bitmap, static_cast<size_t>(k));
        const int64_t bytes = audio ? AUDIO_BLOCK_BYTES : FIFO_PAGE_BYTES;
        if (!blocks || at + bytes > size) return false;  // the stream is cut short
        if (audio) {
            layoutAddAudioBlock(&builder);
        } else {
            layoutAddVideoBlock(&builder, blocks + at);
        }
        at += bytes;
    }
    return !builder.malformed;
}

// ---- The model fed unit by unit ------------------------------------------------

void simInit(Sim* sim, double bytesPerSecond) {
    *sim = Sim{};
    sim->rate = bytesPerSecond;
}

double simAddVideoUnit(Sim* sim, int32_t owner, int64_t ownerStart) {
    // Frame 0's commands run as soon as they are read: its units leave at once.
    const double due = owner > 0 ? static_cast<double>(ownerStart) / DISPLAY_FRAMES_PER_SECOND : -1.0;
    if (owner > 0 || sim->started) return readUnit(sim, due);
    const double readAt = nextReadStart(sim) + unitSeconds(*sim);
    sim->now = readAt;
    return readAt;
}

double simAddAudioUnit(Sim* sim, int32_t block, int32_t j) {
    const double readAt = readUnit(sim, audioPlayFrom(block, j) + AUDIO_UNIT_SECONDS);
    const double late = audioLateness(*sim, readAt, block, j);
    if (late > 0.0) {
        if (block != sim->lastGapBlock) ++sim->soundGaps;
        sim->lastGapBlock = block;
        sim->worstSound = std::max(sim->worstSound, late);
    }
    return readAt;
}

void simFrameZeroDone(Sim* sim) { sim->frameZeroDone = true; }

double simFrameLateness(Sim* sim, double readAt, int64_t showTime, bool count) {
    if (!sim->started) return 0.0;
    const double deadline = sim->start + static_cast<double>(showTime + PICTURE_SLACK) / DISPLAY_FRAMES_PER_SECOND;
    const double late = readAt - deadline;
    if (late <= 0.0) return 0.0;
    if (count) {
        ++sim->lateFrames;
        sim->worstFrame = std::max(sim->worstFrame, late);
    }
    return late;
}

void simFinish(Sim* sim) {
    if (!sim->started) startPlayback(sim, sim->now);
}

// ---- Whole streams ---------------------------------------------------------------

Result simulate(const Layout& layout, double bytesPerSecond) {
    Result result;
    Sim sim;
    simInit(&sim, bytesPerSecond);
    const size_t frames = std::min(layout.frameEndUnit.size(), layout.showTime.size());
    size_t frame = 0;
    int32_t gapBlock = -1;
    for (size_t k = 0; k < layout.units.size(); ++k) {
        const Unit& u = layout.units[k];
        double readAt;
        if (u.audio) {
            readAt = simAddAudioUnit(&sim, u.block, u.j);
            const double late = audioLateness(sim, readAt, u.block, u.j);
            if (late > 0.0 && u.block != gapBlock) {
                result.soundGaps.push_back(Late{u.block, u.j, late});
                gapBlock = u.block;
            }
        } else {
            const size_t owner = std::min(static_cast<size_t>(std::max(u.owner, 0)), frames);
            readAt = simAddVideoUnit(&sim, static_cast<int32_t>(owner), owner > 0 ? layout.showTime[owner - 1] : 0);
        }
        for (; frame < frames && layout.frameEndUnit[frame] <= static_cast<int64_t>(k); ++frame) {
            if (frame == 0) simFrameZeroDone(&sim);
            const double late = simFrameLateness(&sim, readAt, layout.showTime[frame], true);
            if (late > 0.0) result.lateFrames.push_back(Late{static_cast<int32_t>(frame), 0, late});
        }
    }
    simFinish(&sim);
    result.start = sim.start;
    result.worstFrame = sim.worstFrame;
    result.worstSound = sim.worstSound;
    return result;
}

double neededRate(const Layout& layout, double relTolerance) {
    // Below the floor a stream plays only because it fits the buffer, above
    // the ceiling only because the rate no longer matters.
    constexpr double FLOOR = 16.0;                      // bytes per second
    constexpr double CEILING = 1024.0 * 1024.0 * KIB;   // 1 GiB per second
    constexpr double FIRST_GUESS = 64.0 * KIB;
    const double tolerance = std::max(relTolerance, 1e-6);
    const auto plays = [&](double rate) { return simulate(layout, rate).plays(); };

    double lo = FIRST_GUESS;
    double hi = FIRST_GUESS;
    if (plays(hi)) {
        do {
            hi = lo;
            lo /= 2.0;
            if (lo < FLOOR) return 0.0;
        } while (plays(lo));
    } else {
        do {
            lo = hi;
            hi *= 2.0;
            if (hi > CEILING) return std::numeric_limits<double>::infinity();
        } while (!plays(hi));
    }
    while (hi > lo * (1.0 + tolerance)) {
        const double mid = std::sqrt(lo * hi);
        (plays(mid) ? hi : lo) = mid;
    }
    return hi;
}

}  // namespace model
