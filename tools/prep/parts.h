// Long films as several streams: the index of a stream describes at most
// 32512 blocks, so vendrel-prep can cut its output into parts, each a stream
// of its own that holds at most a given number of blocks. How many blocks a
// run of frames makes is found by encoding them in process with the
// encoder's own modules, exactly as vendrel would.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/prep/options.h"
#include "tools/prep/rate.h"

namespace prep {

// A part that ends within this share of its largest possible length ends at
// a scene cut there, if there is one, so that no scene is split.
inline constexpr int SCENE_CUT_REACH_PERCENT = 10;

// The frames a part that could hold `longest` keeps: up to `latestCut` (its
// latest frame that begins a scene, counted from the part's first; 0 for
// none) when that lies within the last stretch, all of them otherwise.
inline int framesToKeep(int longest, int latestCut) {
    const int reach = std::max(1, longest * SCENE_CUT_REACH_PERCENT / 100);
    return latestCut > longest - reach ? latestCut : longest;
}

struct Part {
    int first;   // frame number in OUTDIR
    int frames;
    int blocks;  // of its stream, index entries
    double neededKiB;  // with --rate: the least rate at which its stream plays
};

// What the whole output holds when it is cut.
struct Prepared {
    int frames;
    const std::vector<uint8_t>* sceneCuts;   // per frame: 1 where a scene begins
    bool audio;                              // OUTDIR/audio.wav
    int compressType;                        // of the printed commands
    const std::vector<ParamChange>* changes;  // interval and colour limit changes (rate control), or empty
    const std::vector<int>* partStarts;       // where the plan began parts (rate control), or empty
};

// Finds the parts: every frame in exactly one, each at most o.partBlocks
// blocks. A part also ends where the plan began the next one (whole.partStarts).
// False after a one-line message (a frame too large for a part, the encoder
// failing).
bool planParts(const Options& o, const Prepared& whole, std::vector<Part>* parts);

// The folder of part k (from 1): OUTDIR/part001, ...
std::string partFolder(const Options& o, int k);

// Moves the frames into the parts' folders, numbered from 0 in each, and
// cuts the sound at the same moments; the whole's sound goes. False after a
// one-line message, with nothing of the parts left.
bool writeParts(const Options& o, const Prepared& whole, const std::vector<Part>& parts);

// After a later failure: takes the parts' files and folders away again.
void removeParts(const Options& o, int count);

// With --overwrite: the parts from `from` on of an earlier run (all of them
// when this run is not cut) lose their frames, sound and parameter file as
// OUTDIR's would, and go when nothing else is left in them.
void removeStaleParts(const Options& o, int from);

// The interval and colour limit changes of a part, its frames numbered from
// 0: the setting in force at its first frame, then the changes within it.
std::vector<ParamChange> partChanges(const Prepared& whole, const Part& part);

// The display time (in display frames) at which frame f begins.
int64_t frameShowTime(const Options& o, const Prepared& whole, int frame);

// The sample of the sound at a display time (7812.5 per second).
uint32_t showSample(int64_t showTime);

}  // namespace prep
