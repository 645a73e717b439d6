// What vendrel-view reports of a stream: its buffering mode, the summary and
// how it plays at a rate.
#include "tools/view/report.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "format/audio.h"
#include "format/stream.h"
#include "format/v2format.h"
#include "tools/common/outfile.h"

namespace view {
namespace {

constexpr int FLASH_POSITIONS = 16;             // the flash option carries a position's low 4 bits
constexpr int RATE_TABLE_ROWS = 41;             // from a quarter to four times the needed rate
constexpr double RATE_TABLE_SPAN = 16.0;
constexpr double RATE_TABLE_DEFAULT_KIB = 128.0;  // the table's middle when any rate plays, or none

const char* modeName(int pages) { return pages == DOUBLE_BUFFERED ? "double (-c2)" : "single (-c1)"; }

// What a reading shows of a wrong mode, for the summary and the warning.
std::string describeTraces(const ModeTraces& t) {
    if (t.unannounced > 0) return std::to_string(t.unannounced) + " palette numbers are used but never announced";
    if (t.repeated > 0) return std::to_string(t.repeated) + " palette entries change nothing on their page";
    return "nothing amiss";
}

void printBuffering(const Settings& settings, const Buffering& b) {
    printf("buffering: %s, ", modeName(settings.pages));
    if (b.given) {
        printf("as given\n");
    } else if (b.guess.certain) {
        const int other = otherPages(settings.pages);
        printf("found (read %s, %s)\n", other == DOUBLE_BUFFERED ? "double" : "single",
               describeTraces(b.guess.traces[other - 1]).c_str());
    } else {
        printf("found (neither reading shows a trace of a wrong mode; give -c2 if it was encoded so)\n");
    }
}

void printOptions(const Summary& s) {
    printf("option commands:");
    bool any = false;
    for (int v = 0; v < 256; ++v) {
        if (s.optionCount[v] == 0) continue;
        any = true;
        const char* kind = v <= V2OPT_INTERVAL_MAX ? "interval" : v < V2OPT_FLASH + FLASH_POSITIONS ? "flash" : "other";
        printf(" %s 0x%02X x%d", kind, v, s.optionCount[v]);
    }
    printf(any ? "\n" : " none\n");
}

void printPaletteNumbers(uint64_t set) {
    if (set == 0) {
        printf(" none");
        return;
    }
    for (int p = 0; p < 64; ++p) {
        if (set & (uint64_t{1} << p)) printf(" %d", p);
    }
}

double toKiB(double bytesPerSecond) { return bytesPerSecond / model::KIB; }

}  // namespace

// Without -c1 or -c2 the stream is read both ways first and the mode that
// announces every palette number it uses is taken.
Buffering settleBuffering(Settings& s) {
    Buffering b{s.pages != 0, {}};
    if (!b.given) {
        b.guess = guessBuffering(s.stream, s.bootSize);
        s.pages = b.guess.pages;
    }
    return b;
}

// A given mode whose reading shows traces of a wrong mode is suspect when the
// other mode shows fewer: the stream was likely encoded that way.
void warnOnLikelyMode(const Settings& s, bool quiet, Summary& summary) {
    const ModeTraces here = tracesOf(summary);
    if (here.unannounced == 0 && here.repeated == 0) return;
    const int other = otherPages(s.pages);
    const ModeTraces there = readForTraces(s.stream, s.bootSize, other);
    if (!fewerTraces(there, here)) return;
    ++summary.warnings;
    if (quiet) return;
    printf("warning: read with -c%d, %s; read with -c%d, %s: the stream was likely encoded with -c%d\n", s.pages,
           describeTraces(here).c_str(), other, describeTraces(there).c_str(), other);
}

// lateViolations: late frames and sound gaps at --rate, counted as violations
// with --check.
void printSummary(const Settings& settings, const Buffering& buffering, const Summary& s,
                  int lateViolations) {
    printf("stream: %s\n", settings.stream);
    printf("index at offset %ld (%s)\n", s.indexOffset, s.indexScanned ? "found by scanning" : "given by --boot");
    printBuffering(settings, buffering);
    printf("starting interval: %d\n", s.startInterval);
    printf("blocks: %d video, %d audio (index: %d video, %d audio", s.videoBlocks, s.audioBlocks, s.indexedVideo,
           s.indexedAudio);
    if (s.unindexedBlocks > 0) printf("; %d blocks beyond the index", s.unindexedBlocks);
    printf(")\n");
    printf("frames: %d, display time %lld display frames (%.3f s)\n", s.frames, s.displayFrames,
           static_cast<double>(s.displayFrames) / DISPLAY_FRAMES_PER_SECOND);
    if (s.frames > 0) {
        printf("bytes per frame: mean %.1f, max %ld (frame", static_cast<double>(s.frameBytesTotal) / s.frames,
               s.frameBytesMax);
        const int listed = s.largestCount < LARGEST_FRAMES_KEPT ? s.largestCount : LARGEST_FRAMES_KEPT;
        for (int i = 0; i < listed; ++i) printf(" %d", s.largestFrames[i]);
        if (s.largestCount > listed) printf(" and %d more", s.largestCount - listed);
        printf(")\n");
    }
    printOptions(s);
    printf("audio: %lld samples (%.3f s)\n", s.audioSamples, static_cast<double>(s.audioSamples) / AUDIO_SAMPLE_RATE);
    if (s.leadKnown) {
        printf("audio lead over the picture: minimum %.3f s, at video block %d\n", s.minLeadSeconds, s.minLeadBlock);
    }
    printf("palette numbers used but never announced: page 0:");
    printPaletteNumbers(s.unannounced[0]);
    if (settings.pages == 2) {
        printf("; page 1:");
        printPaletteNumbers(s.unannounced[1]);
    }
    printf("\n");
    printf("stream end: %s\n", s.streamEnded ? "yes" : "no");
    printf("violations: %d", s.problemTotal + lateViolations);
    if (s.problemTotal + lateViolations > 0) {
        const char* separator = " (";
        for (int k = 0; k < PROBLEM_KINDS; ++k) {
            if (s.problems[k] == 0) continue;
            printf("%s%s %d", separator, problemName(static_cast<Problem>(k)), s.problems[k]);
            separator = ", ";
        }
        if (lateViolations > 0) printf("%slate at %.1f KiB/s %d", separator, settings.rateKiB, lateViolations);
        printf(")");
    }
    printf(", warnings: %d\n", s.warnings);
}

// Lists the late frames and sound gaps at --rate, at most maxReports lines;
// returns how many there are.
int reportLate(const Settings& settings, const model::Result& r, int maxReports) {
    const int total = static_cast<int>(r.lateFrames.size() + r.soundGaps.size());
    int shown = 0;
    for (const model::Late& late : r.lateFrames) {
        if (shown++ >= maxReports) break;
        printf("late: frame %d by %.3f s at %.1f KiB/s\n", late.frame, late.seconds, settings.rateKiB);
    }
    for (const model::Late& gap : r.soundGaps) {
        if (shown++ >= maxReports) break;
        printf("sound gap: audio block %d from unit %d, %.3f s late at %.1f KiB/s\n", gap.frame, gap.unit,
               gap.seconds, settings.rateKiB);
    }
    if (total > maxReports) {
        printf("late: %d more late frames and sound gaps are counted, not shown\n", total - maxReports);
    }
    return total;
}

void printPlayback(const Settings& settings, const Playback& p) {
    if (p.atRate) {
        const size_t late = p.result.lateFrames.size();
        const size_t gaps = p.result.soundGaps.size();
        printf("at %.1f KiB/s: %zu frame%s late", settings.rateKiB, late, late == 1 ? "" : "s");
        if (!p.result.lateFrames.empty()) printf(" (worst %.3f s)", p.result.worstFrame);
        printf(", %zu sound gap%s", gaps, gaps == 1 ? "" : "s");
        if (!p.result.soundGaps.empty()) printf(" (worst %.3f s)", p.result.worstSound);
        printf("\n");
    }
    const char* note = p.layoutComplete ? "" : " (commands that could not be followed are left out)";
    if (p.neededRate <= 0.0) {
        printf("playback: plays without stalls at any rate%s\n", note);
    } else if (std::isinf(p.neededRate)) {
        printf("playback: does not play without stalls at any rate%s\n", note);
    } else {
        // Rounded up, so that the stream plays at the rate printed.
        printf("playback: plays without stalls from %.1f KiB/s%s\n", std::ceil(toKiB(p.neededRate) * 10.0) / 10.0,
               note);
    }
}

// The rate table: lateness at rates spread evenly on a log scale around the
// needed rate, one CSV row each.
bool writeRateTable(const char* name, const Playback& p) {
    outfile::OutFile table;
    if (!outfile::begin(&table, name, true)) return false;
    FILE* f = table.file;
    const bool known = p.neededRate > 0.0 && !std::isinf(p.neededRate);
    const double middle = known ? p.neededRate : RATE_TABLE_DEFAULT_KIB * model::KIB;
    const double lowest = middle / std::sqrt(RATE_TABLE_SPAN);
    bool ok = fprintf(f, "rate_kib_s,late_frames,sound_gaps,worst_frame_s,worst_sound_s\n") > 0;
    for (int row = 0; ok && row < RATE_TABLE_ROWS; ++row) {
        const double rate = lowest * std::pow(RATE_TABLE_SPAN, static_cast<double>(row) / (RATE_TABLE_ROWS - 1));
        const model::Result r = model::simulate(p.layout, rate);
        ok = fprintf(f, "%.2f,%zu,%zu,%.4f,%.4f\n", toKiB(rate), r.lateFrames.size(), r.soundGaps.size(),
                     r.worstFrame, r.worstSound) > 0;
    }
    if (!ok) {
        outfile::discard(&table);
        return false;
    }
    return outfile::commit(&table);
}

}  // namespace view
