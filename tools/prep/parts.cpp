// Cutting vendrel-prep's output into parts that each fit a stream's index.
//
// Each part is encoded once, in process, by the encoder's own modules: a
// fresh stream from its first frame on. After every frame the stream is
// ended, its blocks counted and the end taken back again, so the true block
// count of the part ending at each frame is known; encoding stops at the
// first frame that would make the part too large, and the cut is made at the
// latest scene cut near there, or right there. With rate control a part also
// ends where the plan began the next one (the plan foresees the cut).
#include "tools/prep/parts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>

#include "tools/common/child.h"
#include "tools/prep/encode_session.h"
#include "tools/prep/outdir.h"
#include "tools/prep/output.h"

namespace prep {
namespace {

constexpr int NAME_BYTES = PATH_MAX + 32;

// What finding a part works in: the session after the latest frame kept and
// after the one before, and before the part's latest scene cut; the frame
// read back; the encoder run on them. Large (some 2 MB): made once a part, on the heap.
struct PartWork {
    Session session;
    SessionSnapshot after[2];
    SessionSnapshot atCut;
    ReducedFrame frame;
    char frameFile[NAME_BYTES];
};

std::string frameName(const std::string& folder, int number) {
    char name[32];
    snprintf(name, sizeof name, "%s%0*d%s", FRAME_PREFIX, FRAME_DIGITS, number, FRAME_SUFFIX);
    return joinPath(folder, name);
}

// The interval and colour limit in force at frame f, as the parameter file
// sets them. Frames come in order: *next is the first change not yet in force.
FrameParams paramsAt(const Options& o, const Prepared& whole, int f, size_t* next) {
    const std::vector<ParamChange>& changes = *whole.changes;
    while (*next < changes.size() && changes[*next].frame <= f) ++*next;
    if (*next == 0) return {o.interval, o.colours};
    return {changes[*next - 1].interval, changes[*next - 1].limit};
}

// The blocks of the stream if it ended after the frames encoded so far; the
// stream goes on (its end state there kept in `state`).
int blocksIfEndedHere(Session* session, SessionSnapshot* state) {
    sessionSaveForEnd(session, state);
    return sessionBlocksIfEnded(session);
}

// Encodes frames from `first` on as long as a part ending with them stays
// within the limit: totals[i] = blocks of the part of frames first .. first + i.
// The sound only has to be there: how many of its blocks a stream holds
// follows from the frames' timing alone.
bool encodeUntilFull(const Options& o, const Prepared& whole, int first, int end, PartWork* w, std::vector<int>* totals) {
    totals->clear();
    totals->reserve(static_cast<size_t>(end - first));
    const std::string wav = joinPath(o.outdir, AUDIO_NAME);
    SessionSetup setup;
    setup.wavPath = whole.audio ? wav.c_str() : nullptr;
    setup.compressType = whole.compressType;
    if (!sessionOpen(&w->session, setup)) {
        printf("vendrel-prep: the encoder cannot take %s\n", wav.c_str());
        return false;
    }
    const std::string prefix = joinPath(o.outdir, FRAME_PREFIX);
    size_t nextChange = 0;
    for (int f = first; f < end; ++f) {
        if (proc::childStopSignal() != 0) return false;  // the run ends, and says why
        snprintf(w->frameFile, sizeof w->frameFile, "%s%0*d%s", prefix.c_str(), FRAME_DIGITS, f, FRAME_SUFFIX);
        if (!readFrameBmp(w->frameFile, &w->frame)) {
            printf("vendrel-prep: cannot read back %s\n", w->frameFile);
            return false;
        }
        if ((*whole.sceneCuts)[f] && f > first) sessionSaveForEnd(&w->session, &w->atCut);
        sessionFrame(&w->session, w->frame, paramsAt(o, whole, f, &nextChange));
        const int blocks = blocksIfEndedHere(&w->session, &w->after[(f - first) % 2]);
        if (blocks > o.partBlocks) break;
        totals->push_back(blocks);
    }
    return true;
}

// The frames of a part that could hold `longest`: up to the latest scene
// cut in the last stretch of it, or all of them.
int framesToCut(const Prepared& whole, int first, int longest) {
    int latestCut = 0;
    for (int n = longest; n > 0 && latestCut == 0; --n)
        if ((*whole.sceneCuts)[first + n]) latestCut = n;  // frame first + n begins a scene
    return framesToKeep(longest, latestCut);
}

// The frame where the plan begins the next part after `first`, or the end.
int plannedEnd(const Prepared& whole, int first) {
    if (whole.partStarts)
        for (int start : *whole.partStarts)
            if (start > first) return std::min(start, whole.frames);
    return whole.frames;
}

// Finds the part that begins at `first`: until the plan's next part, or
// shorter when it would not fit.
bool planPart(const Options& o, const Prepared& whole, int first, Part* part) {
    std::vector<int> totals;
    const int end = plannedEnd(whole, first);
    const auto work = std::make_unique<PartWork>();
    if (!encodeUntilFull(o, whole, first, end, work.get(), &totals)) return false;
    const int longest = static_cast<int>(totals.size());
    if (longest == 0) {
        printf("vendrel-prep: frame %d alone makes a stream of more than %d blocks: raise --part-blocks\n", first,
               o.partBlocks);
        return false;
    }
    const int frames = first + longest < end ? framesToCut(whole, first, longest) : longest;
    *part = {first, frames, totals[frames - 1], 0.0};
    if (o.rate > 0) {
        // The rate the part's own stream needs: it plays from a black screen.
        sessionRestoreForEnd(&work->session, frames == longest ? work->after[(longest - 1) % 2] : work->atCut);
        sessionFinish(&work->session);
        part->neededKiB = model::neededRate(sessionLayout(&work->session)) / model::KIB;
    }
    return true;
}

// The part's folder is new, or (with --overwrite) cleared of an earlier
// run's files like OUTDIR itself.
bool writePart(const Options& o, const Prepared& whole, const Part& part, RunFolder* runFolder, bool last) {
    if (!prepareFolder(runFolder->path, o.overwrite, runFolder)) return false;
    const std::string& folder = runFolder->path;
    for (int i = 0; i < part.frames; ++i) {
        const std::string to = frameName(folder, i);
        if (rename(frameName(o.outdir, part.first + i).c_str(), to.c_str()) != 0) {
            printf("vendrel-prep: cannot move a frame to %s\n", to.c_str());
            return false;
        }
    }
    if (whole.audio) {
        const uint32_t from = showSample(frameShowTime(o, whole, part.first));
        // The last part keeps whatever sound follows its last frame.
        const uint32_t count =
            last ? UINT32_MAX - from : showSample(frameShowTime(o, whole, part.first + part.frames)) - from;
        const std::string to = joinPath(folder, AUDIO_NAME);
        if (!wavCopyPart(joinPath(o.outdir, AUDIO_NAME).c_str(), to.c_str(), from, count)) {
            printf("vendrel-prep: cannot write %s\n", to.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int64_t frameShowTime(const Options& o, const Prepared& whole, int frame) {
    int64_t time = 0;
    size_t next = 0;
    for (int f = 0; f < frame; ++f) time += paramsAt(o, whole, f, &next).interval;
    return time;
}

uint32_t showSample(int64_t showTime) {
    const long long doubled = showTime * AUDIO_SAMPLE_RATE_X2;
    return static_cast<uint32_t>((doubled + DISPLAY_FRAMES_PER_SECOND) / (2 * DISPLAY_FRAMES_PER_SECOND));  // rounded
}

std::string partFolder(const Options& o, int k) {
    char name[32];
    snprintf(name, sizeof name, "part%03d", k);
    return joinPath(o.outdir, name);
}

bool planParts(const Options& o, const Prepared& whole, std::vector<Part>* parts) {
    parts->clear();
    for (int first = 0; first < whole.frames;) {
        Part part{};
        if (!planPart(o, whole, first, &part)) return false;
        parts->push_back(part);
        first += part.frames;
    }
    return true;
}

bool writeParts(const Options& o, const Prepared& whole, const std::vector<Part>& parts) {
    std::vector<RunFolder> written(parts.size());
    for (size_t k = 0; k < parts.size(); ++k) {
        written[k].path = partFolder(o, static_cast<int>(k) + 1);
        if (writePart(o, whole, parts[k], &written[k], k + 1 == parts.size())) continue;
        // Nothing of the parts stays; the caller clears OUTDIR.
        for (size_t j = 0; j <= k; ++j) removeRunOutput(written[j]);
        return false;
    }
    if (o.overwrite) removeStaleParts(o, static_cast<int>(parts.size()) + 1);
    if (whole.audio) unlink(joinPath(o.outdir, AUDIO_NAME).c_str());
    return true;
}

void removeStaleParts(const Options& o, int from) {
    for (int k = from;; ++k) {
        const RunFolder stale{partFolder(o, k), {}};
        struct stat info;
        if (stat(stale.path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
        removeRunOutput(stale);
        rmdir(stale.path.c_str());
    }
}

void removeParts(const Options& o, int count) {
    for (int k = 1; k <= count; ++k) {
        const RunFolder part{partFolder(o, k), {}};
        removeRunOutput(part);
        rmdir(part.path.c_str());
    }
}

std::vector<ParamChange> partChanges(const Prepared& whole, const Part& part) {
    std::vector<ParamChange> changes;
    if (whole.changes->empty()) return changes;
    changes.push_back((*whole.changes)[0]);
    for (const ParamChange& c : *whole.changes) {
        if (c.frame <= part.first)
            changes[0] = {0, c.interval, c.limit};
        else if (c.frame < part.first + part.frames)
            changes.push_back({c.frame - part.first, c.interval, c.limit});
    }
    return changes;
}

}  // namespace prep
