// Driving ffmpeg for vendrel-prep: the commands that decode the input, the
// probe of what it holds, and the loops that read its sound and its pictures.
#include "tools/prep/source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "format/audio.h"
#include "tools/common/child.h"
#include "tools/common/progress.h"
#include "tools/prep/outdir.h"
#include "tools/prep/output.h"
#include "tools/prep/report.h"

namespace prep {

using namespace proc;

namespace {

constexpr int DECODE_RATE = AUDIO_SAMPLE_RATE_X2;  // pairs are averaged down to the player's rate
constexpr int NAME_BYTES = PATH_MAX + 32;
// The target's screen is 4:3, so its 320 x 200 pixels are 5:6 (narrower than
// tall); a picture of display aspect A covers A * 6 / 5 of it in pixel units.
constexpr const char* TARGET_ASPECT = "(dar*6/5)";

std::vector<std::string> ffmpegStart(const Options& o, bool loopStill) {
    std::vector<std::string> a = {"ffmpeg", "-hide_banner", "-nostdin", "-v", "error"};
    if (o.start > 0) a.insert(a.end(), {"-ss", seconds(o.start)});
    if (loopStill) a.insert(a.end(), {"-loop", "1"});
    a.insert(a.end(), {"-i", fileArgument(o.input)});
    if (o.duration > 0) a.insert(a.end(), {"-t", seconds(o.duration)});
    return a;
}

// A source this many times the screen's size in both directions is scaled
// with the mean of the source pixels each screen pixel covers: from 720p up
// it differs from the default bicubic filter by some 50 dB (nothing a
// 4-bit level shows) at half its cost, an eighth of a whole run on 1080p.
// From smaller sources bicubic keeps a little more detail.
constexpr int AREA_SCALE_FACTOR = 3;

std::string scaleFilter(const Options& o, bool large) {
    const std::string flags = large ? ":flags=area" : "";
    if (o.fit == Fit::Stretch) return "scale=320:200" + flags + ",setsar=1";
    const std::string r = TARGET_ASPECT;
    std::string f = "scale=w='if(gte(" + r + ",8/5),320,max(2,round(200*" + r + ")))'";
    f += ":h='if(gte(" + r + ",8/5),max(2,round(320/" + r + ")),200)'" + flags;
    return f + ",setsar=1,pad=320:200:(ow-iw)/2:(oh-ih)/2:black";
}

// With rate control the source is decoded at the display rate (scaled
// first: the source has fewer frames) and the planner makes each frame the
// mean of the display frames it stays on screen.
std::string videoFilter(const Options& o, bool large) {
    if (o.rate > 0) return scaleFilter(o, large) + ",fps=" + std::to_string(DISPLAY_FRAMES_PER_SECOND);
    return "fps=" + std::to_string(DISPLAY_FRAMES_PER_SECOND) + "/" + std::to_string(o.interval) + "," +
           scaleFilter(o, large);
}

std::vector<std::string> videoCommand(const Options& o, const Conversion& c) {
    std::vector<std::string> a = ffmpegStart(o, c.loopStill);
    a.insert(a.end(), {"-map", "0:v:0", "-an", "-sn", "-dn"});
    // The pictures are small: one filter thread does the scaling with less
    // work than several (the same pictures); decoding keeps its threads.
    a.insert(a.end(), {"-filter_threads", "1", "-vf", videoFilter(o, c.largeSource), "-pix_fmt", "rgb24", "-f", "rawvideo", "pipe:1"});
    return a;
}

std::vector<std::string> audioCommand(const Options& o, bool loopStill) {
    std::vector<std::string> a = ffmpegStart(o, loopStill);
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

bool startDecoder(Conversion* c, const Options& o) {
    if (!start(&c->video, videoCommand(o, *c))) {
        puts("vendrel-prep: ffmpeg could not be started");
        return false;
    }
    fcntl(c->video.out, F_SETPIPE_SZ, FRAME_PIPE_BYTES);
    return true;
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

}  // namespace

bool firstFrameDecodes(Conversion* c, const Options& o) {
    Child& child = c->video;
    if (!startDecoder(c, o)) return false;
    c->firstFrameWaiting = childRead(&child, c->frameRgb, FRAME_RGB_BYTES) == FRAME_RGB_BYTES;
    if (c->firstFrameWaiting) return true;
    const int status = childFinish(&child);
    if (childStopSignal() != 0) return false;
    if (status != 0) {
        printf("vendrel-prep: ffmpeg failed on %s after 0 frames\n", o.input.c_str());
        printChildMessage(child);
    } else {
        printf("vendrel-prep: no picture frames in %s\n", o.input.c_str());
    }
    return false;
}

void endDecoder(Conversion* c) {
    if (c->video.pid > 0) childFinish(&c->video);
    c->firstFrameWaiting = false;
}

bool largeSource(const InputStreams& streams) {
    return streams.width >= AREA_SCALE_FACTOR * SCREEN_WIDTH && streams.height >= AREA_SCALE_FACTOR * SCREEN_HEIGHT;
}

InputStreams probeStreams(const Options& o) {
    InputStreams streams{false, false, false, false, -1.0, 0, 0};
    if (!programInPath("ffprobe")) return streams;
    const std::vector<std::string> args = {"ffprobe", "-v", "error", "-show_entries",
                                           "stream=codec_type,width,height:format=format_name,duration", "-of",
                                           "default=noprint_wrappers=1", fileArgument(o.input)};
    Child child;
    if (!start(&child, args)) return streams;
    char text[4096] = {};
    childRead(&child, reinterpret_cast<uint8_t*>(text), sizeof text - 1);
    if (childFinish(&child) != 0) return streams;
    // key=value, one a line; the format's come after the streams'.
    int videoStreams = 0;  // the first one is decoded
    for (const char* line = text; *line;) {
        const std::string entry(line, strcspn(line, "\r\n"));
        const size_t eq = entry.find('=');
        const std::string key = entry.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : entry.substr(eq + 1);
        streams.video |= key == "codec_type" && value == "video";
        streams.audio |= key == "codec_type" && value == "audio";
        videoStreams += key == "codec_type" && value == "video";
        if (videoStreams == 1 && key == "width") streams.width = atoi(value.c_str());
        if (videoStreams == 1 && key == "height") streams.height = atoi(value.c_str());
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

VideoResult convertVideo(Conversion* c, const Options& o, Cutter* cutter) {
    VideoResult result{0, 0, false, {}, {}};
    progress::Progress progress;
    progress::progressStart(&progress, 0.0);
    if (progress.shown) progress.totalSeconds = expectedSeconds(o);
    Child& child = c->video;
    bool firstWaiting = c->firstFrameWaiting;
    c->firstFrameWaiting = false;
    if (!firstWaiting && !startDecoder(c, o)) return result;
    const bool rateControl = o.rate > 0;
    if (!rateControl) reduceInit(&c->reducer, {o.colours, o.dither});
    char name[NAME_BYTES];
    const std::string prefix = joinPath(o.outdir, FRAME_PREFIX);
    bool written = true;
    long pictures = 0;  // decoded so far
    const double pictureSeconds = static_cast<double>(rateControl ? 1 : o.interval) / DISPLAY_FRAMES_PER_SECOND;
    // Every frame is also encoded in process: with rate control to plan it,
    // without to measure the rate the stream needs (the cutter measures each
    // part's).
    auto emit = [&] {
        result.sceneCuts += c->reduced.sceneCut && result.frames > 0;  // the start is no cut
        if (o.partBlocks > 0 && !cutter) result.cutAt.push_back(c->reduced.sceneCut);
        if (cutter) {
            const FrameSetting setting = rateControl ? rateLastSetting(&c->planner) : FrameSetting{o.interval, o.colours};
            written = cutterTake(cutter, c->reduced, {setting.interval, setting.limit}, rateControl && ratePartStarted(&c->planner));
        } else if (!o.encode) {
            snprintf(name, sizeof name, "%s%0*d%s", prefix.c_str(), FRAME_DIGITS, result.frames, FRAME_SUFFIX);
            written = writeFrameBmp(name, c->reduced);
        }
        if (!written) return;
        ++result.frames;
        progress::progressUpdate(&progress, result.frames, pictures * pictureSeconds);
    };
    while (written && childStopSignal() == 0) {
        const bool ended = !firstWaiting && childRead(&child, c->frameRgb, FRAME_RGB_BYTES) != FRAME_RGB_BYTES;
        firstWaiting = false;
        if (childStopSignal() != 0) break;
        pictures += !ended;
        if (!rateControl) {
            // Each decoded picture is a frame.
            if (ended) break;
            reduceFrame(&c->reducer, c->frameRgb, &c->reduced);
            if (!cutter) rateMeasureFrame(&c->planner, c->reduced);
            emit();
            continue;
        }
        // The display frames go to the planner, which gives frames as they are due.
        if (!ended) rateAddDisplayFrame(&c->planner, c->frameRgb);
        while (written && rateNextFrame(&c->planner, ended, &c->reduced)) emit();
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

AudioResult convertAudio(Conversion* c, const Options& o, const InputStreams& streams, const std::string& path) {
    AudioResult result{false, false, 0, 1.0};
    Child child;
    if (!start(&child, audioCommand(o, c->loopStill))) {
        puts("vendrel-prep: ffmpeg could not be started");
        return result;
    }
    WavWriter wav{};
    bool opened = false;
    size_t n = 0;
    while (childStopSignal() == 0 && (n = childRead(&child, c->audioBytes, sizeof c->audioBytes)) >= 2) {
        if (!opened && !wavOpen(&wav, path.c_str())) break;
        opened = true;
        const int count = static_cast<int>(n / 2);
        for (int i = 0; i < count; ++i) c->audioSamples[i] = static_cast<int16_t>(c->audioBytes[2 * i] | c->audioBytes[2 * i + 1] << 8);
        wavAddPairs(&wav, c->audioSamples, count);
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

}  // namespace prep
