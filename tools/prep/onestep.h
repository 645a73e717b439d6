// vendrel-prep --encode: the streams written straight into OUTDIR by the
// encoder run in process, with no frame files, each the very bytes vendrel
// makes of the frames that the frames route would have written.
//
// One stream: the session that measures (or, with rate control, plans) the
// frames writes its stream into OUTDIR/movie.bin as well.
//
// Parts: the frames go through a pipe to a process of their own, the cutter,
// which encodes each part straight into its stream and finds its end as the
// frames route does (a part is encoded from its first frame until a frame
// would make it too large, then ended at the latest scene cut near there).
// The frames from the part's latest scene cut on wait in a spool file in its
// folder, to begin the next part with those past the end. With rate control
// a part also ends where the plan begins the next one. Each finished part
// is checked (and the rate it needs found) by a process of its own, at most
// --jobs - 1 at once, while the next part is encoded. With one job and no
// rate control everything runs in this process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/prep/encode_session.h"
#include "tools/prep/options.h"

namespace prep {

inline constexpr const char* STREAM_NAME = "movie.bin";  // in OUTDIR, or in each part's folder

// The pipes that carry pictures and frames from one process to the next hold
// this much (several frames; the usual 64 KiB is less than one), so that a
// process that is a frame slower for a moment does not stop the one before.
// Only a wish: a system that grants less still works, a little more in step.
inline constexpr int FRAME_PIPE_BYTES = 1 << 20;

// What the streams are made of besides the frames.
struct StreamJob {
    Options options;
    std::string wavPath;        // the whole film's sound, or "" for none
    int compressType;
    std::vector<uint8_t> boot;  // boot code at the top of each stream
};

// Reads the boot code: at most the first STREAM_BOOTCODE_MAX_BYTES bytes, as
// vendrel takes them. False after a message when it cannot be read.
bool readBootCode(const std::string& path, std::vector<uint8_t>* boot);

// Creates the stream file with the boot code at its top and makes the next
// session write into it. Returns its descriptor, or -1 after a message.
int beginStreamFile(Session* session, const std::string& path, const std::vector<uint8_t>& boot);

// After sessionFinish: closes the file and checks the stream with the
// viewer's decoder (every structural rule, the frames expected). On success
// fills summary with one line about it (and warns of blocks past the index);
// otherwise prints why and returns false.
bool endStreamFile(Session* session, int fd, const std::string& path, const StreamJob& job, int frames,
                   std::string* summary);

// The number of cores, for --jobs.
int coreCount();

class PartCutter;
struct CutterRecord;

// The cutter's process and the pipes to it; or, with one job and no rate
// control (when the preparation leaves the encoder free), the cutter in this
// process, which then encodes each part itself as soon as it is found.
struct Cutter {
    pid_t pid = -1;
    int frames = -1;  // frames go in here
    int report = -1;  // its report comes out here
    std::shared_ptr<PartCutter> here;
    std::shared_ptr<CutterRecord> record;  // the frame being handed over
    Options job;      // where the parts go
    bool failed = false;  // it took no more frames: its report says why
    bool missed = false;  // after cutterFinish: a part does not play at --rate (its line says so)
};

// Starts the cutter, which makes the folders OUTDIR/part001, ... False after
// a message.
bool cutterStart(const StreamJob& job, Cutter* cutter);

// Hands the next frame to the cutter; partStart: the plan begins a part with
// it (rate control), so the part before ends there. False when the cutter has
// ended (it failed).
bool cutterTake(Cutter* cutter, const ReducedFrame& frame, const FrameParams& params, bool partStart);

// No more frames: waits until every part is written and checked, prints the
// cutter's report. False when a part failed (its message printed); the parts'
// folders are then taken away. With --rate, sets missed when a part, played
// from its own start, does not play at the rate (the parts are kept).
bool cutterFinish(Cutter* cutter);

// After a failure of the preparation: ends the cutter at once and takes the
// parts' streams and spools away with their folders.
void cutterAbandon(Cutter* cutter);

}  // namespace prep
