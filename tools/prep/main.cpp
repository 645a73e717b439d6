// vendrel-prep: from any video file to the numbered frames, the sound and the
// parameter file that vendrel encodes. ffmpeg decodes the input (as a child
// process, its output read on pipes); the colour reduction, the files and the
// timing are our own.
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "format/audio.h"
#include "tools/common/child.h"
#include "tools/prep/options.h"
#include "tools/prep/onestep.h"
#include "tools/prep/outdir.h"
#include "tools/prep/parts.h"
#include "tools/prep/rate.h"
#include "tools/prep/report.h"
#include "tools/prep/source.h"

namespace {

using namespace prep;
using namespace proc;

constexpr const char* VERSION = "vendrel-prep 1.0";

// Cuts the output into parts of at most o.partBlocks blocks, each with its
// own parameter file, and prints each part's command line. With --rate,
// *plays turns false when a part's stream does not play at the rate.
bool cutIntoParts(const Options& o, const VideoResult& video, bool audio, int compressType, bool params,
                  const std::vector<ParamChange>& changes, const std::vector<int>& partStarts, bool* plays) {
    const Prepared whole{video.frames, &video.cutAt, audio, compressType, &changes, &partStarts};
    std::vector<Part> parts;
    if (!planParts(o, whole, &parts) || !writeParts(o, whole, parts)) return false;
    for (size_t k = 0; params && k < parts.size(); ++k) {
        const std::string path = joinPath(partFolder(o, static_cast<int>(k) + 1), PARAMS_NAME);
        if (!writeParams(o, partChanges(whole, parts[k]), path)) {
            printf("vendrel-prep: cannot write %s\n", path.c_str());
            removeParts(o, static_cast<int>(parts.size()));
            return false;
        }
    }
    if (params) unlink(joinPath(o.outdir, PARAMS_NAME).c_str());
    printf("vendrel-prep: %zu part%s of at most %d blocks:\n", parts.size(), parts.size() == 1 ? "" : "s",
           o.partBlocks);
    for (size_t k = 0; k < parts.size(); ++k) {
        const Part& p = parts[k];
        const std::string folder = partFolder(o, static_cast<int>(k) + 1);
        printf("  %s: frames %d to %d of the whole (%s), %s\n", folder.c_str(), p.first,
               p.first + p.frames - 1, count(p.frames, "frame").c_str(), count(p.blocks, "block").c_str());
    }
    for (size_t k = 0; o.rate > 0 && k < parts.size(); ++k) {
        if (parts[k].neededKiB <= o.rate) continue;
        printf("vendrel-prep: %s does not play at %g KiB/s: it starts from a black screen, which the plan did "
               "not foresee\n",
               joinPath(partFolder(o, static_cast<int>(k) + 1), STREAM_NAME).c_str(), o.rate);
        *plays = false;
    }
    puts("vendrel-prep: encode them with (each part is a stream of its own; they may run side by side):");
    for (size_t k = 0; k < parts.size(); ++k) {
        Options part = o;
        part.outdir = partFolder(o, static_cast<int>(k) + 1);
        printCommand(part, compressType, parts[k].frames, audio, params);
    }
    return true;
}

// Frames, sound and parameter file into a folder ready for them; 0 or the
// exit status of a failure.
// Done: all written; Missed: all written, but the plan does not play at the
// rate asked for; Failed: nothing of the run is kept.
enum class Outcome { Done, Missed, Failed };

// --encode: the streams straight into OUTDIR, checked; the sound file goes
// once they hold it.
// What the planner works to: with rate control the options are the highest
// frame rate and colours, and without --fps rate to spare may go past it.
RateSettings rateSettings(const Options& o, int compressType) {
    return {o.rate, o.interval, o.colours, compressType, o.dither == Dither::Ordered,
            o.rate > 0 ? o.partBlocks : 0, o.fpsGiven ? 0 : SPARE_INTERVAL};
}

Outcome encodeStreams(Conversion* work, const Options& o, const AudioResult& audio, const std::string& wavPath,
                      const std::vector<uint8_t>& boot) {
    const int compressType = o.rate > 0 ? 1 : 2;
    const StreamJob job{o, audio.written ? wavPath : std::string(), compressType, boot};
    const bool parts = o.partBlocks > 0;
    const std::string streamPath = joinPath(o.outdir, STREAM_NAME);
    Cutter cutter;
    int fd = -1;
    if (parts && !cutterStart(job, &cutter)) return Outcome::Failed;
    if (!parts && (fd = beginStreamFile(&work->planner.session, streamPath, boot)) < 0) {
        printf("vendrel-prep: cannot write %s\n", streamPath.c_str());
        return Outcome::Failed;
    }
    const auto abandon = [&] {
        if (parts && cutter.failed) {
            cutterFinish(&cutter);  // tells why, and takes the parts away
        } else if (parts) {
            cutterAbandon(&cutter);
        } else {
            close(fd);
            unlink(streamPath.c_str());
        }
        return Outcome::Failed;
    };
    // With parts this session writes no stream: without rate control it is
    // idle, with it the plan depends on when sound blocks come, not on what
    // they hold, yet it takes the film's sound as the parts' streams do (a
    // window at a time), and begins the parts itself (see rateBegin).
    if (!rateBegin(&work->planner, rateSettings(o, compressType),
                   parts && o.rate <= 0 ? nullptr : (job.wavPath.empty() ? nullptr : job.wavPath.c_str()))) {
        printf("vendrel-prep: the encoder cannot take %s\n", wavPath.c_str());
        return abandon();
    }
    const VideoResult video = convertVideo(work, o, parts ? &cutter : nullptr);
    // Without rate control the parts' encoding measures each part; the
    // session may be the cutter's then.
    const RateReport report = parts && o.rate <= 0 ? RateReport{} : rateFinish(&work->planner);  // also ends the one stream
    if (!video.ok) return abandon();
    printFrames(o, video, report);
    warnDecodeErrors(o, video);
    bool plays = o.rate <= 0 || printRateReport(o.rate, report);
    bool written = false;
    if (parts) {
        printf("vendrel-prep: streams of at most %d blocks:\n", o.partBlocks);
        written = cutterFinish(&cutter);
        plays = plays && !cutter.missed;
    } else {
        std::string summary;
        written = endStreamFile(&work->planner.session, fd, streamPath, job, video.frames, &summary);
        if (written) {
            printf("vendrel-prep: wrote %s: %s\n", streamPath.c_str(), summary.c_str());
            printNeededRate(report.neededKiB);
        } else {
            unlink(streamPath.c_str());
        }
    }
    if (!written) return Outcome::Failed;
    if (audio.written) unlink(wavPath.c_str());
    return plays ? Outcome::Done : Outcome::Missed;
}

Outcome convert(Conversion* work, const Options& o, const InputStreams& streams, const std::vector<uint8_t>& boot) {
    if (std::fabs(decodedFps(o) - o.fps) > 1e-9)
        printf("vendrel-prep: %g fps is no whole number of 1/60 s display frames: taking %.4g fps, %s\n", o.fps,
               decodedFps(o), decodedFps(o) < o.fps ? "the next rate below" : "the lowest a stream carries");

    // The sound first: the in-process encoding interleaves it with the frames.
    AudioResult audio{true, false, 0, 1.0};
    const std::string wavPath = joinPath(o.outdir, AUDIO_NAME);
    if (o.audio && streams.known && !streams.audio)
        printf("vendrel-prep: no sound in %s: audio.wav not written\n", o.input.c_str());
    else if (o.audio)
        audio = convertAudio(work, o, streams, wavPath);
    if (!audio.ok) return Outcome::Failed;
    if (audio.written)
        printf("vendrel-prep: sound: %u samples (%.2f s), raised by %.2f to full scale\n", audio.samples,
               audio.samples / AUDIO_SAMPLE_RATE, audio.gain);
    if (o.encode) return encodeStreams(work, o, audio, wavPath, boot);

    // With rate control the colour limit adapts and one page is encoded
    // (see rate.h).
    const int compressType = o.rate > 0 ? 1 : 2;
    if (!rateBegin(&work->planner, rateSettings(o, compressType),
                   audio.written ? wavPath.c_str() : nullptr)) {
        printf("vendrel-prep: the encoder cannot take %s\n", wavPath.c_str());
        return Outcome::Failed;
    }
    const VideoResult video = convertVideo(work, o, nullptr);
    if (!video.ok) return Outcome::Failed;
    const RateReport report = rateFinish(&work->planner);
    printFrames(o, video, report);
    warnDecodeErrors(o, video);
    bool plays = o.rate <= 0 || printRateReport(o.rate, report);
    printNeededRate(report.neededKiB);

    std::vector<ParamChange> changes;
    if (o.rate > 0) changes = report.changes;
    const bool params = o.interval != DEFAULT_VIDEO_INTERVAL || o.colours < MAX_COLOURS || !changes.empty();
    const std::string paramsPath = joinPath(o.outdir, PARAMS_NAME);
    if (params && !writeParams(o, changes, paramsPath)) {
        printf("vendrel-prep: cannot write %s\n", paramsPath.c_str());
        return Outcome::Failed;
    }
    if (o.partBlocks > 0) {
        if (!cutIntoParts(o, video, audio.written, compressType, params, changes, report.partStarts, &plays))
            return Outcome::Failed;
        return plays ? Outcome::Done : Outcome::Missed;
    }
    if (o.overwrite) removeStaleParts(o, 1);  // an earlier run in parts
    puts("vendrel-prep: encode them with:");
    printCommand(o, compressType, video.frames, audio.written, params);
    return plays ? Outcome::Done : Outcome::Missed;
}

// After SIGINT, SIGTERM or SIGHUP: what the run wrote goes, as after a
// failure; the program then ends by the signal, as the shell expects.
[[noreturn]] void endBySignal(const RunFolder* folder) {
    const int number = childStopSignal();
    if (folder) removeRunOutput(*folder);
    const char* name = number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
    printf("vendrel-prep: stopped by %s: %s\n", name,
           folder ? "the files of this run are removed" : "nothing was written");
    fflush(stdout);
    signal(number, SIG_DFL);
    raise(number);
    _exit(128 + number);
}

int run(Conversion* work, const Options& o) {
    childStopOnSignals();
    if (!inputReadable(o.input)) return 1;
    if (!programInPath("ffmpeg")) {
        puts("vendrel-prep: ffmpeg is not installed (apt-get install ffmpeg)");
        return 1;
    }
    const InputStreams streams = probeStreams(o);
    if (childStopSignal() != 0) endBySignal(nullptr);
    if (streams.known && !streams.video) {
        printf("vendrel-prep: %s has no video stream\n", o.input.c_str());
        return 1;
    }
    if (o.start > 0 && streams.seconds >= 0 && o.start >= streams.seconds) {
        printf("vendrel-prep: --start %g is past the end of %s, which lasts %.3f s\n", o.start, o.input.c_str(),
               streams.seconds);
        return 1;
    }
    if (o.overwrite && holdsRunFile(o.outdir, o.input)) {
        printf("vendrel-prep: %s is one of the files --overwrite would remove from %s: move it out first\n",
               o.input.c_str(), o.outdir.c_str());
        return 1;
    }
    if (streams.still) work->loopStill = o.duration > 0;
    work->largeSource = largeSource(streams);
    std::vector<uint8_t> boot;
    if (!readBootCode(o.boot, &boot)) return 1;
    // Before anything in OUTDIR is made or removed.
    if (!firstFrameDecodes(work, o)) {
        if (childStopSignal() != 0) endBySignal(nullptr);
        return 1;
    }
    // The decoder runs on from the first frame; a run that stops before it
    // has read them all ends it.
    struct DecoderEnd {
        Conversion* work;
        ~DecoderEnd() { endDecoder(work); }
    } decoderEnd{work};
    RunFolder folder;
    if (!prepareFolder(o.outdir, o.overwrite, &folder, true)) return 1;
    if (streams.still) {
        if (work->loopStill)
            printf("vendrel-prep: %s is a still picture: shown for %g s\n", o.input.c_str(), o.duration);
        else
            printf("vendrel-prep: %s is a still picture: it makes one frame (give --duration S to show it for S "
                   "seconds)\n",
                   o.input.c_str());
    }
    const Outcome outcome = childStopSignal() != 0 ? Outcome::Failed : convert(work, o, streams, boot);
    if (childStopSignal() != 0 && outcome == Outcome::Failed) endBySignal(&folder);
    if (outcome == Outcome::Failed) removeRunOutput(folder);
    return outcome == Outcome::Done ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string message;
    switch (parseOptions(argc, argv, &options, &message)) {
        case Parsed::Help:
            printUsage();
            return 0;
        case Parsed::Version:
            puts(VERSION);
            return 0;
        case Parsed::Error:
            puts(message.c_str());
            return 2;
        case Parsed::Run:
            break;
    }
    // Static: about 30 MB, and zeroed before its first use.
    static Conversion work;
    return run(&work, options);
}
