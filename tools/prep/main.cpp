// vendrel-prep: from any video file to the numbered frames, the sound and the
// parameter file that vendrel encodes. ffmpeg decodes the input (as a child
// process, its output read on pipes); the colour reduction, the files and the
// timing are our own.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "format/audio.h"
#include "format/params.h"
#include "tools/common/folders.h"
#include "tools/common/progress.h"
#include "tools/common/child.h"
#include "tools/prep/options.h"
#include "tools/prep/onestep.h"
#include "tools/prep/outdir.h"
#include "tools/prep/output.h"
#include "tools/prep/parts.h"
#include "tools/prep/rate.h"
#include "tools/prep/reduce.h"

namespace {

using namespace prep;
using namespace proc;

constexpr const char* VERSION = "vendrel-prep 1.0";
constexpr int DECODE_RATE = AUDIO_SAMPLE_RATE_X2;  // pairs are averaged down to the player's rate
constexpr int AUDIO_READ_SAMPLES = 8192;
constexpr int NAME_BYTES = PATH_MAX + 32;
// The target's screen is 4:3, so its 320 x 200 pixels are 5:6 (narrower than
// tall); a picture of display aspect A covers A * 6 / 5 of it in pixel units.
constexpr const char* TARGET_ASPECT = "(dar*6/5)";

uint8_t frameRgb[FRAME_RGB_BYTES];
ReducedFrame reduced;
// The colour reduction of a run without rate control, and the planner (which
// with rate control reduces the frames itself).
Reducer reducer;
Planner planner;
int16_t audioSamples[AUDIO_READ_SAMPLES];
uint8_t audioBytes[AUDIO_READ_SAMPLES * 2];

// "1 frame", "2 frames".
std::string count(long n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

std::string seconds(double s) {
    char text[32];
    snprintf(text, sizeof text, "%.3f", s);
    return text;
}

// A still picture given a --duration is shown for that long.
bool loopStill = false;

std::vector<std::string> ffmpegStart(const Options& o) {
    std::vector<std::string> a = {"ffmpeg", "-hide_banner", "-nostdin", "-v", "error"};
    if (o.start > 0) a.insert(a.end(), {"-ss", seconds(o.start)});
    if (loopStill) a.insert(a.end(), {"-loop", "1"});
    a.insert(a.end(), {"-i", fileArgument(o.input)});
    if (o.duration > 0) a.insert(a.end(), {"-t", seconds(o.duration)});
    return a;
}

std::string scaleFilter(const Options& o) {
    if (o.fit == Fit::Stretch) return "scale=320:200,setsar=1";
    const std::string r = TARGET_ASPECT;
    std::string f = "scale=w='if(gte(" + r + ",8/5),320,max(2,round(200*" + r + ")))'";
    f += ":h='if(gte(" + r + ",8/5),max(2,round(320/" + r + ")),200)'";
    return f + ",setsar=1,pad=320:200:(ow-iw)/2:(oh-ih)/2:black";
}

// With rate control the source is decoded at the display rate (scaled
// first: the source has fewer frames) and the planner makes each frame the
// mean of the display frames it stays on screen.
std::string videoFilter(const Options& o) {
    if (o.rate > 0) return scaleFilter(o) + ",fps=" + std::to_string(DISPLAY_FRAMES_PER_SECOND);
    return "fps=" + std::to_string(DISPLAY_FRAMES_PER_SECOND) + "/" + std::to_string(o.interval) + "," + scaleFilter(o);
}

// firstOnly: the first frame alone, to see that the input can be decoded.
std::vector<std::string> videoCommand(const Options& o, bool firstOnly = false) {
    std::vector<std::string> a = ffmpegStart(o);
    a.insert(a.end(), {"-map", "0:v:0", "-an", "-sn", "-dn"});
    if (firstOnly) a.insert(a.end(), {"-frames:v", "1"});
    // The pictures are small: one filter thread does the scaling with less
    // work than several (the same pictures); decoding keeps its threads.
    a.insert(a.end(), {"-filter_threads", "1", "-vf", videoFilter(o), "-pix_fmt", "rgb24", "-f", "rawvideo", "pipe:1"});
    return a;
}

std::vector<std::string> audioCommand(const Options& o) {
    std::vector<std::string> a = ffmpegStart(o);
    a.insert(a.end(), {"-map", "0:a:0?", "-vn", "-sn", "-dn", "-ac", "1", "-ar", std::to_string(DECODE_RATE),
                       "-acodec", "pcm_s16le", "-f", "s16le", "pipe:1"});
    return a;
}

bool start(Child* child, const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    for (const std::string& s : args) argv.push_back(s.c_str());
    argv.push_back(nullptr);
    return childStart(child, argv.data());
}

// ffmpeg's own words, each line indented under ours.
void printChildMessage(const Child& child) {
    const char* text = childMessage(child);
    while (*text) {
        const char* end = strchr(text, '\n');
        const int length = end ? static_cast<int>(end - text) : static_cast<int>(strlen(text));
        if (length > 0) printf("  ffmpeg: %.*s\n", length, text);
        text += length + (end ? 1 : 0);
    }
}

// Decodes the input's first frame before anything is written or removed,
// so that an input ffmpeg cannot read (not a video, a --start past its end)
// leaves OUTDIR as it was. False after saying why.
bool firstFrameDecodes(const Options& o) {
    Child child;
    if (!start(&child, videoCommand(o, true))) {
        puts("vendrel-prep: ffmpeg could not be started");
        return false;
    }
    const bool got = childRead(&child, frameRgb, FRAME_RGB_BYTES) == FRAME_RGB_BYTES;
    const int status = childFinish(&child);
    if (got || childStopSignal() != 0) return got;
    if (status != 0) {
        printf("vendrel-prep: ffmpeg failed on %s after 0 frames\n", o.input.c_str());
        printChildMessage(child);
    } else {
        printf("vendrel-prep: no picture frames in %s\n", o.input.c_str());
    }
    return false;
}

// Film time to expect, for the progress line; 0 when unknown.
double expectedSeconds(const Options& o) {
    if (!programInPath("ffprobe")) return 0;
    const std::vector<std::string> args = {"ffprobe", "-v", "error", "-show_entries", "format=duration",
                                           "-of", "default=noprint_wrappers=1:nokey=1", fileArgument(o.input)};
    Child child;
    if (!start(&child, args)) return 0;
    char text[64] = {};
    childRead(&child, reinterpret_cast<uint8_t*>(text), sizeof text - 1);
    if (childFinish(&child) != 0) return 0;
    double length = strtod(text, nullptr) - o.start;
    if (o.duration > 0) length = std::min(length, o.duration);
    return length > 0 && std::isfinite(length) ? length : 0.0;
}

struct InputStreams {
    bool known;  // ffprobe told what the input holds
    bool video;
    bool audio;
    bool still;      // a single picture (PNG, JPEG, BMP, ...)
    double seconds;  // the input's length; below 0 when not known
};

// What the input holds, so that a missing stream is told in our words rather
// than by ffmpeg failing. Unknown without ffprobe, or when ffprobe cannot
// read the input (ffmpeg then says why).
InputStreams probeStreams(const Options& o) {
    InputStreams streams{false, false, false, false, -1.0};
    if (!programInPath("ffprobe")) return streams;
    const std::vector<std::string> args = {"ffprobe", "-v", "error", "-show_entries",
                                           "stream=codec_type:format=format_name,duration", "-of",
                                           "default=noprint_wrappers=1", fileArgument(o.input)};
    Child child;
    if (!start(&child, args)) return streams;
    char text[4096] = {};
    childRead(&child, reinterpret_cast<uint8_t*>(text), sizeof text - 1);
    if (childFinish(&child) != 0) return streams;
    // key=value, one a line; the format's come after the streams'.
    for (const char* line = text; *line;) {
        const std::string entry(line, strcspn(line, "\r\n"));
        const size_t eq = entry.find('=');
        const std::string key = entry.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : entry.substr(eq + 1);
        streams.video |= key == "codec_type" && value == "video";
        streams.audio |= key == "codec_type" && value == "audio";
        // ffmpeg reads single pictures through its image demuxers.
        if (key == "format_name")
            streams.still = value == "image2" || (value.size() > 5 && value.ends_with("_pipe"));
        if (key == "duration") {
            char* end = nullptr;
            const double v = strtod(value.c_str(), &end);
            if (end != value.c_str() && std::isfinite(v) && v >= 0) streams.seconds = v;
        }
        line += strcspn(line, "\n");
        if (*line) ++line;
    }
    streams.known = true;
    return streams;
}

// The vendrel that the printed command names: the one on PATH, else (before
// the tools are installed) the one built beside this program.
std::string vendrelProgram() {
    constexpr const char* NAME = "vendrel";
    if (programInPath(NAME)) return NAME;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return NAME;
    self[n] = '\0';
    const std::string beside = joinPath(folders::folderOf(self), NAME);
    return access(beside.c_str(), X_OK) == 0 ? beside : NAME;
}

struct VideoResult {
    int frames;
    int sceneCuts;
    bool ok;
    std::string decodeError;  // ffmpeg ended well but reported errors on the way: its first line
    std::vector<uint8_t> cutAt;  // per frame: 1 where a scene begins (for cutting into parts)
};

// The frames go to files, or with --encode to the stream: the session's own
// (one stream) or the cutter (parts).
VideoResult convertVideo(const Options& o, Cutter* cutter) {
    VideoResult result{0, 0, false, {}, {}};
    progress::Progress progress;
    progress::progressStart(&progress, 0.0);
    if (progress.shown) progress.totalSeconds = expectedSeconds(o);
    Child child;
    if (!start(&child, videoCommand(o))) {
        puts("vendrel-prep: ffmpeg could not be started");
        return result;
    }
    fcntl(child.out, F_SETPIPE_SZ, FRAME_PIPE_BYTES);
    const bool rateControl = o.rate > 0;
    if (!rateControl) reduceInit(&reducer, {o.colours, o.dither});
    char name[NAME_BYTES];
    const std::string prefix = joinPath(o.outdir, FRAME_PREFIX);
    bool written = true;
    long pictures = 0;  // decoded so far
    const double pictureSeconds = static_cast<double>(rateControl ? 1 : o.interval) / DISPLAY_FRAMES_PER_SECOND;
    // Every frame is also encoded in process: with rate control to plan it,
    // without to measure the rate the stream needs (the cutter measures each
    // part's).
    auto emit = [&] {
        result.sceneCuts += reduced.sceneCut && result.frames > 0;  // the start is no cut
        if (o.partBlocks > 0 && !cutter) result.cutAt.push_back(reduced.sceneCut);
        if (cutter) {
            const FrameSetting setting = rateControl ? rateLastSetting(&planner) : FrameSetting{o.interval, o.colours};
            written = cutterTake(cutter, reduced, {setting.interval, setting.limit}, rateControl && ratePartStarted(&planner));
        } else if (!o.encode) {
            snprintf(name, sizeof name, "%s%0*d%s", prefix.c_str(), FRAME_DIGITS, result.frames, FRAME_SUFFIX);
            written = writeFrameBmp(name, reduced);
        }
        if (!written) return;
        ++result.frames;
        progress::progressUpdate(&progress, result.frames, pictures * pictureSeconds);
    };
    while (written && childStopSignal() == 0) {
        const bool ended = childRead(&child, frameRgb, FRAME_RGB_BYTES) != FRAME_RGB_BYTES;
        if (childStopSignal() != 0) break;
        pictures += !ended;
        if (!rateControl) {
            // Each decoded picture is a frame.
            if (ended) break;
            reduceFrame(&reducer, frameRgb, &reduced);
            if (!cutter) rateMeasureFrame(&planner, reduced);
            emit();
            continue;
        }
        // The display frames go to the planner, which gives frames as they are due.
        if (!ended) rateAddDisplayFrame(&planner, frameRgb);
        while (written && rateNextFrame(&planner, ended, &reduced)) emit();
        if (ended) break;
    }
    const int status = childFinish(&child);
    progress::progressEnd(&progress);
    if (childStopSignal() != 0) return result;
    if (!written) {
        if (!cutter) printf("vendrel-prep: cannot write %s\n", name);
        return result;  // the cutter tells why it ended
    }
    if (status != 0) {
        printf("vendrel-prep: ffmpeg failed on %s after %s\n", o.input.c_str(), count(result.frames, "frame").c_str());
        printChildMessage(child);
        return result;
    }
    if (result.frames == 0) {
        if (o.start > 0)
            printf("vendrel-prep: no picture frames in %s from --start %g on\n", o.input.c_str(), o.start);
        else
            printf("vendrel-prep: no picture frames in %s\n", o.input.c_str());
        return result;
    }
    result.ok = true;
    const char* message = childMessage(child);
    result.decodeError.assign(message, strcspn(message, "\r\n"));
    return result;
}

struct AudioResult {
    bool ok;
    bool written;
    uint32_t samples;
    double gain;
};

AudioResult convertAudio(const Options& o, const InputStreams& streams, const std::string& path) {
    AudioResult result{false, false, 0, 1.0};
    Child child;
    if (!start(&child, audioCommand(o))) {
        puts("vendrel-prep: ffmpeg could not be started");
        return result;
    }
    WavWriter wav{};
    bool opened = false;
    size_t n = 0;
    while (childStopSignal() == 0 && (n = childRead(&child, audioBytes, sizeof audioBytes)) >= 2) {
        if (!opened && !wavOpen(&wav, path.c_str())) break;
        opened = true;
        const int count = static_cast<int>(n / 2);
        for (int i = 0; i < count; ++i) audioSamples[i] = static_cast<int16_t>(audioBytes[2 * i] | audioBytes[2 * i + 1] << 8);
        wavAddPairs(&wav, audioSamples, count);
        if (wav.failed) break;
    }
    const int status = childFinish(&child);
    if (childStopSignal() != 0) {
        if (opened) wavAbandon(&wav);
        return result;
    }
    if (!opened) {
        if (n >= 2) {
            printf("vendrel-prep: cannot write %s\n", path.c_str());
            return result;
        }
        // An input without sound is common and is only noted; a sound that
        // exists yet fails to decode, or gives nothing, is said as such. The
        // frames go on without it.
        const bool noStream = strstr(childMessage(child), "does not contain any stream") != nullptr;
        if (status != 0 && !noStream) {
            printf("vendrel-prep: ffmpeg failed on the sound of %s: audio.wav not written\n", o.input.c_str());
            printChildMessage(child);
        } else if (status == 0 && streams.known && streams.audio) {
            printf("vendrel-prep: the sound of %s gives no samples in the part taken: audio.wav not written\n",
                   o.input.c_str());
        } else {
            printf("vendrel-prep: no sound in %s: audio.wav not written\n", o.input.c_str());
        }
        result.ok = true;
        return result;
    }
    if (wav.failed) {
        wavAbandon(&wav);
        printf("vendrel-prep: cannot write %s\n", path.c_str());
        return result;
    }
    if (status != 0) {
        wavAbandon(&wav);
        printf("vendrel-prep: ffmpeg failed on the sound of %s\n", o.input.c_str());
        printChildMessage(child);
        return result;
    }
    result.samples = wav.samples;
    if (!wavFinish(&wav, &result.gain)) {
        printf("vendrel-prep: cannot write %s\n", path.c_str());
        return result;
    }
    result.ok = result.written = true;
    return result;
}

// With rate control the frame rate and the colour limit change on the way:
// changes holds frame 0's and every change.
bool writeParams(const Options& o, const std::vector<ParamChange>& changes, const std::string& path) {
    FILE* f = fopen(path.c_str(), "w");
    if (!f) return false;
    if (changes.empty()) {
        fprintf(f, "# vendrel-prep: %.4g frames per second, at most %d colours\n", decodedFps(o), o.colours);
        if (o.interval != DEFAULT_INTERVAL) fprintf(f, "%s %d\n", PARAM_VIDEO_INTERVAL, o.interval);
        if (o.colours < MAX_COLOURS) fprintf(f, "%s %d\n", PARAM_PALET_LIMIT, o.colours);
    } else {
        fprintf(f, "# vendrel-prep: at most %.4g frames per second and %d colours\n", decodedFps(o), o.colours);
    }
    int interval = DEFAULT_INTERVAL;
    int limit = MAX_COLOURS;
    for (const ParamChange& c : changes) {
        if (c.frame > 0) fprintf(f, "%s %d\n", PARAM_FRAME, c.frame);
        if (c.interval != interval) fprintf(f, "%s %d\n", PARAM_VIDEO_INTERVAL, c.interval);
        if (c.limit != limit || c.frame == 0) fprintf(f, "%s %d\n", PARAM_PALET_LIMIT, c.limit);
        interval = c.interval;
        limit = c.limit;
    }
    return fclose(f) == 0;
}

// The frames made, at the frame rates and colour limits the rate control chose.
void printFrames(const Options& o, const VideoResult& video, const RateReport& report) {
    if (o.rate <= 0) {
        printf("vendrel-prep: %s at %.4g fps (interval %d), at most %d colours, %s\n",
               count(video.frames, "frame").c_str(), decodedFps(o), o.interval, o.colours,
               count(video.sceneCuts, "scene cut").c_str());
        return;
    }
    const int shortest = report.used.shortestInterval;
    const int longest = report.used.longestInterval;
    const int fewest = report.used.fewestColours;
    const int most = report.used.mostColours;
    const double fastest = static_cast<double>(DISPLAY_FRAMES_PER_SECOND) / shortest;
    const double slowest = static_cast<double>(DISPLAY_FRAMES_PER_SECOND) / longest;
    printf("vendrel-prep: %s at ", count(video.frames, "frame").c_str());
    if (shortest == longest)
        printf("%.4g fps (interval %d)", fastest, shortest);
    else
        printf("%.4g to %.4g fps (intervals %d to %d)", slowest, fastest, shortest, longest);
    if (fewest == most)
        printf(", %d colours", most);
    else
        printf(", %d to %d colours", fewest, most);
    printf(", %s\n", count(video.sceneCuts, "scene cut").c_str());
}

// vendrel formats its frame and stream names with printf: a '%' of the
// folder's name must reach it doubled.
std::string asPattern(const std::string& path) {
    std::string out;
    for (char c : path) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

// One word of the printed command line, quoted for the shell when needed.
std::string shellWord(const std::string& word) {
    bool plain = !word.empty();
    for (unsigned char c : word)
        plain = plain && (isalnum(c) || strchr("%+,-./:=@_", c) != nullptr);
    if (plain) return word;
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

void printCommand(const Options& o, int compressType, int frames, bool audio, bool params) {
    std::vector<std::string> words = {vendrelProgram(), "-c" + std::to_string(compressType),
                                      "-e" + std::to_string(frames - 1)};
    if (audio) words.push_back("-a" + joinPath(o.outdir, AUDIO_NAME));
    if (params) words.push_back("-f" + joinPath(o.outdir, PARAMS_NAME));
    words.push_back(joinPath(asPattern(o.outdir), framePattern()));
    words.push_back(joinPath(asPattern(o.outdir), "movie.bin"));
    std::string line;
    for (const std::string& w : words) {
        if (!line.empty()) line += ' ';
        line += shellWord(w);
    }
    puts(line.c_str());
}

// Rounded up like the viewer's, so that the stream plays at the rate printed.
void printNeededRate(double kib) {
    if (kib <= 0.0)
        puts("vendrel-prep: the stream plays without stalls at any rate (player model)");
    else if (std::isinf(kib))
        puts("vendrel-prep: the stream does not play without stalls at any rate (player model)");
    else
        printf("vendrel-prep: the stream plays without stalls from %.1f KiB/s (player model)\n",
               std::ceil(kib * 10.0) / 10.0);
}

// True when the plan plays at the rate asked for.
bool printRateReport(double rate, const RateReport& r) {
    const bool plays = r.lateFrames == 0 && r.soundGaps == 0 && r.refused == 0;
    if (plays)
        printf("vendrel-prep: planned for %g KiB/s with %d trial encodes: no late frame, no sound gap\n", rate, r.trials);
    else
        printf("vendrel-prep: the stream does not play at %g KiB/s: %s, %s, %s\n", rate,
               count(r.lateFrames, "late frame").c_str(), count(r.soundGaps, "sound gap").c_str(),
               count(r.refused, "refused frame").c_str());
    return plays;
}

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

// The input is read more than once (probed, then its sound, then its
// pictures): it must be a file. False after saying why (the system's reason
// where it has one).
bool inputReadable(const std::string& path) {
    struct stat info;
    const char* problem = nullptr;
    if (stat(path.c_str(), &info) != 0)
        problem = strerror(errno);
    else if (S_ISDIR(info.st_mode))
        problem = strerror(EISDIR);
    else if (access(path.c_str(), R_OK) != 0)
        problem = strerror(errno);
    if (problem) {
        printf("vendrel-prep: cannot read %s: %s\n", path.c_str(), problem);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        printf("vendrel-prep: %s is a pipe or a device: give the input as a file\n", path.c_str());
        return false;
    }
    return true;
}

// Frames, sound and parameter file into a folder ready for them; 0 or the
// exit status of a failure.
// Done: all written; Missed: all written, but the plan does not play at the
// rate asked for; Failed: nothing of the run is kept.
enum class Outcome { Done, Missed, Failed };

// Only pictures: a sound whose last frame is cut short is common and harmless.
void warnDecodeErrors(const Options& o, const VideoResult& video) {
    if (!video.decodeError.empty())
        printf("vendrel-prep: warning: some pictures of %s could not be decoded, so frames may be missing or "
               "damaged (ffmpeg: %s)\n",
               o.input.c_str(), video.decodeError.c_str());
}

// --encode: the streams straight into OUTDIR, checked; the sound file goes
// once they hold it.
Outcome encodeStreams(const Options& o, const AudioResult& audio, const std::string& wavPath,
                      const std::vector<uint8_t>& boot) {
    const int compressType = o.rate > 0 ? 1 : 2;
    const StreamJob job{o, audio.written ? wavPath : std::string(), compressType, boot};
    const bool parts = o.partBlocks > 0;
    const std::string streamPath = joinPath(o.outdir, STREAM_NAME);
    Cutter cutter;
    int fd = -1;
    if (parts && !cutterStart(job, &cutter)) return Outcome::Failed;
    if (!parts && (fd = beginStreamFile(&planner.session, streamPath, boot)) < 0) {
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
    if (!rateBegin(&planner, {o.rate, o.interval, o.colours, compressType, o.dither == Dither::Ordered,
                    o.rate > 0 ? o.partBlocks : 0},
                   parts && o.rate <= 0 ? nullptr : (job.wavPath.empty() ? nullptr : job.wavPath.c_str()))) {
        printf("vendrel-prep: the encoder cannot take %s\n", wavPath.c_str());
        return abandon();
    }
    const VideoResult video = convertVideo(o, parts ? &cutter : nullptr);
    // Without rate control the parts' encoding measures each part; the
    // session may be the cutter's then.
    const RateReport report = parts && o.rate <= 0 ? RateReport{} : rateFinish(&planner);  // also ends the one stream
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
        written = endStreamFile(&planner.session, fd, streamPath, job, video.frames, &summary);
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

Outcome convert(const Options& o, const InputStreams& streams, const std::vector<uint8_t>& boot) {
    if (std::fabs(decodedFps(o) - o.fps) > 1e-9)
        printf("vendrel-prep: %g fps is no whole number of 1/60 s display frames: taking %.4g fps, %s\n", o.fps,
               decodedFps(o), decodedFps(o) < o.fps ? "the next rate below" : "the lowest a stream carries");

    // The sound first: the in-process encoding interleaves it with the frames.
    AudioResult audio{true, false, 0, 1.0};
    const std::string wavPath = joinPath(o.outdir, AUDIO_NAME);
    if (o.audio && streams.known && !streams.audio)
        printf("vendrel-prep: no sound in %s: audio.wav not written\n", o.input.c_str());
    else if (o.audio)
        audio = convertAudio(o, streams, wavPath);
    if (!audio.ok) return Outcome::Failed;
    if (audio.written)
        printf("vendrel-prep: sound: %u samples (%.2f s), raised by %.2f to full scale\n", audio.samples,
               audio.samples / AUDIO_SAMPLE_RATE, audio.gain);
    if (o.encode) return encodeStreams(o, audio, wavPath, boot);

    // With rate control the colour limit adapts and one page is encoded
    // (see rate.h).
    const int compressType = o.rate > 0 ? 1 : 2;
    if (!rateBegin(&planner, {o.rate, o.interval, o.colours, compressType, o.dither == Dither::Ordered, o.rate > 0 ? o.partBlocks : 0},
                   audio.written ? wavPath.c_str() : nullptr)) {
        printf("vendrel-prep: the encoder cannot take %s\n", wavPath.c_str());
        return Outcome::Failed;
    }
    const VideoResult video = convertVideo(o, nullptr);
    if (!video.ok) return Outcome::Failed;
    const RateReport report = rateFinish(&planner);
    printFrames(o, video, report);
    warnDecodeErrors(o, video);
    bool plays = o.rate <= 0 || printRateReport(o.rate, report);
    printNeededRate(report.neededKiB);

    std::vector<ParamChange> changes;
    if (o.rate > 0) changes = report.changes;
    const bool params = o.interval != DEFAULT_INTERVAL || o.colours < MAX_COLOURS || !changes.empty();
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

int run(const Options& o) {
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
    if (streams.still) loopStill = o.duration > 0;
    std::vector<uint8_t> boot;
    if (!readBootCode(o.boot, &boot)) return 1;
    // Before anything in OUTDIR is made or removed.
    if (!firstFrameDecodes(o)) {
        if (childStopSignal() != 0) endBySignal(nullptr);
        return 1;
    }
    RunFolder folder;
    if (!prepareFolder(o.outdir, o.overwrite, &folder, true)) return 1;
    if (streams.still) {
        if (loopStill)
            printf("vendrel-prep: %s is a still picture: shown for %g s\n", o.input.c_str(), o.duration);
        else
            printf("vendrel-prep: %s is a still picture: it makes one frame (give --duration S to show it for S "
                   "seconds)\n",
                   o.input.c_str());
    }
    const Outcome outcome = childStopSignal() != 0 ? Outcome::Failed : convert(o, streams, boot);
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
    return run(options);
}
