// The files vendrel-view writes: pictures, sound, YUV4MPEG2, and the movie
// fed frame by frame, all under hidden names until the run succeeds.
#include "tools/view/outputs.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/audio.h"
#include "format/endian.h"
#include "format/screen.h"
#include "format/stream.h"
#include "tools/common/child.h"
#include "tools/common/folders.h"

namespace view {
namespace {

constexpr int NAME_BYTES = 4096;

uint8_t clampByte(double v) {
    const long r = std::lround(v);
    return static_cast<uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
}

// BT.601, limited range (Y 16-235, Cb and Cr 16-240): what YUV4MPEG2 readers
// assume when the header names no range.
void buildY4mTable(Outputs& out) {
    for (int r = 0; r < LEVELS; ++r) {
        for (int gr = 0; gr < LEVELS; ++gr) {
            for (int b = 0; b < LEVELS; ++b) {
                const double R = r / 15.0;
                const double G = gr / 15.0;
                const double B = b / 15.0;
                uint8_t* yuv = &out.y4mTable[3 * ((r * LEVELS + gr) * LEVELS + b)];
                yuv[0] = clampByte(16.0 + 65.481 * R + 128.553 * G + 24.966 * B);
                yuv[1] = clampByte(128.0 - 37.797 * R - 74.203 * G + 112.0 * B);
                yuv[2] = clampByte(128.0 + 112.0 * R - 93.786 * G - 18.214 * B);
            }
        }
    }
}

bool writeAll(FILE* f, const void* data, size_t n) { return fwrite(data, 1, n, f) == n; }

void outputFailed(Outputs& out, const char* what, const char* name) {
    if (!out.y4mToStdout) printf("cannot write %s %s\n", what, name);
    out.failed = true;
}

bool formatName(char* into, const char* pattern, int number) {
    const int n = snprintf(into, NAME_BYTES, pattern, number);
    return n > 0 && n < NAME_BYTES;
}

// Makes the folder that the file goes into, with its parents. A picture
// pattern names the same folder frame after frame, so only a change of
// folder costs more than a comparison.
bool makeFolderFor(Outputs& out, const char* file) {
    const char* slash = strrchr(file, '/');
    if (!slash) return true;
    const size_t length = slash == file ? 1 : static_cast<size_t>(slash - file);
    if (out.lastFolder.compare(0, std::string::npos, file, length) == 0) return true;
    out.lastFolder.assign(file, length);
    std::string failed;
    const int reason = folders::makeFolders(out.lastFolder, &failed, &out.madeFolders);
    if (reason == 0) return true;
    if (!out.y4mToStdout) printf("cannot make the folder %s for %s: %s\n", failed.c_str(), file, strerror(reason));
    out.lastFolder.clear();
    out.failed = true;
    return false;
}

bool isRegularFile(const char* name) {
    struct stat info;
    return lstat(name, &info) == 0 && S_ISREG(info.st_mode);
}

// The text of a printf pattern without conversions, %% read as %; false
// when it holds a conversion.
bool literalText(const std::string& pattern, std::string* text) {
    text->clear();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%') {
            if (i + 1 >= pattern.size() || pattern[i + 1] != '%') return false;
            ++i;
        }
        *text += pattern[i];
    }
    return true;
}

// The number a frame pattern gives this name for, or -1.
long frameNumberOf(const std::string& namePattern, const std::string& name) {
    // The conversion: the first % that is not %%.
    size_t at = 0;
    while ((at = namePattern.find('%', at)) != std::string::npos && at + 1 < namePattern.size() &&
           namePattern[at + 1] == '%')
        at += 2;
    if (at == std::string::npos) return -1;
    const size_t end = namePattern.find_first_of("diouxX", at + 1);
    std::string prefix;
    std::string suffix;
    if (end == std::string::npos || !literalText(namePattern.substr(0, at), &prefix) ||
        !literalText(namePattern.substr(end + 1), &suffix))
        return -1;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return -1;
    const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    const char kind = namePattern[end];
    const int base = kind == 'o' ? 8 : kind == 'x' || kind == 'X' ? 16 : 10;
    char* stop = nullptr;
    errno = 0;
    const long number = strtol(middle.c_str(), &stop, base);
    if (errno != 0 || *stop != '\0' || number < 0 || number > INT32_MAX) return -1;
    char again[NAME_BYTES];
    if (!formatName(again, namePattern.c_str(), static_cast<int>(number)) || name != again) return -1;
    return number;
}

// The files in the pattern's folder that are frames of it, whatever their
// number: frames of an earlier preview, which a new one would mix with. None
// when the number is part of a folder's name (a folder per frame).
std::vector<EarlierFrame> earlierFramesOf(const char* option, const char* pattern) {
    std::vector<EarlierFrame> found;
    const std::string whole = pattern;
    const size_t slash = whole.find_last_of('/');
    std::string folder;
    if (slash != std::string::npos && !literalText(whole.substr(0, slash + 1), &folder)) return found;
    const std::string namePattern = slash == std::string::npos ? whole : whole.substr(slash + 1);
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return found;
    while (const dirent* entry = readdir(dir)) {
        const long number = frameNumberOf(namePattern, entry->d_name);
        if (number >= 0) found.push_back({option, folder + entry->d_name, number});
    }
    closedir(dir);
    std::sort(found.begin(), found.end(), [](const EarlierFrame& a, const EarlierFrame& b) { return a.number < b.number; });
    return found;
}

// After the run: frames of an earlier preview that the new frames do not
// replace would stay beside them. With --overwrite they go; without, the
// run is refused (false), so that a folder never holds two previews.
bool settleEarlierFrames(Outputs& out) {
    std::vector<const EarlierFrame*> staying;
    for (const EarlierFrame& e : out.earlierFrames)
        if (e.number >= out.framesBegun) staying.push_back(&e);
    if (staying.empty()) return true;
    if (!out.settings->overwrite) {
        if (!out.y4mToStdout)
            printf("%s: %zu frames of an earlier preview (%s) would stay beside the new ones: give --overwrite to "
                   "remove them, or another folder\n",
                   staying[0]->option, staying.size(), staying[0]->name.c_str());
        return false;
    }
    int removed = 0;
    for (const EarlierFrame* e : staying) removed += isRegularFile(e->name.c_str()) && unlink(e->name.c_str()) == 0;
    if (!out.y4mToStdout) printf("removed %d frames of an earlier preview\n", removed);
    return true;
}

// Makes the file of one picture (under a temporary name until the run
// succeeds); false after saying so.
bool beginPicture(Outputs& out, const char* what, const char* name, bool open) {
    outfile::OutFile file;
    if (!outfile::begin(&file, name, open)) {
        outputFailed(out, what, name);
        return false;
    }
    out.pictureFiles.push_back(std::move(file));
    return true;
}

// Names frame `number`'s picture by `pattern`, makes its folder and begins it.
bool startPicture(Outputs& out, const char* what, const char* pattern, int number, bool open, char* name) {
    if (!formatName(name, pattern, number)) {
        outputFailed(out, what, pattern);
        return false;
    }
    return makeFolderFor(out, name) && beginPicture(out, what, name, open);
}

bool writePng(Outputs& out, int number) {
    char name[NAME_BYTES];
    if (!startPicture(out, "PNG", out.settings->png, number, false, name)) return false;
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = SCREEN_WIDTH;
    image.height = SCREEN_HEIGHT;
    image.format = PNG_FORMAT_RGB;
    const std::string& written = outfile::writtenName(out.pictureFiles.back());
    if (!png_image_write_to_file(&image, written.c_str(), 0, out.rgb8.data(), 0, nullptr)) {
        outputFailed(out, "PNG", name);
        png_image_free(&image);
        return false;
    }
    return true;
}

bool writeRaw(Outputs& out, int number) {
    char name[NAME_BYTES];
    if (!startPicture(out, "raw picture", out.settings->rgb, number, true, name)) return false;
    // Closed now: a film has more frames than a process may hold files open.
    outfile::OutFile& picture = out.pictureFiles.back();
    const bool written = writeAll(picture.file, out.rgb8.data(), out.rgb8.size());
    const bool ok = fclose(picture.file) == 0 && written;
    picture.file = nullptr;
    if (!ok) outputFailed(out, "raw picture", name);
    return ok;
}

// One video frame lasts its interval in display frames; the picture is
// repeated that often (not at all for an interval of 0).
bool writeY4m(Outputs& out, const Frame& frame) {
    constexpr int PLANE = SCREEN_WIDTH * SCREEN_HEIGHT;
    for (int i = 0; i < PLANE; ++i) {
        const uint8_t* levels = frame.rgb + 3 * i;
        const uint8_t* c = &out.y4mTable[3 * ((levels[0] * LEVELS + levels[1]) * LEVELS + levels[2])];
        out.yuv[i] = c[0];
        out.yuv[PLANE + i] = c[1];
        out.yuv[2 * PLANE + i] = c[2];
    }
    for (int repeat = 0; repeat < frame.interval; ++repeat) {
        if (!writeAll(out.y4m, "FRAME\n", 6) || !writeAll(out.y4m, out.yuv.data(), out.yuv.size())) {
            outputFailed(out, "YUV4MPEG2 stream", out.settings->y4m);
            return false;
        }
    }
    return true;
}

// After SIGINT, SIGTERM or SIGHUP the decoding stops and the run ends as a
// failure, so that nothing of it stays.
bool stopNoted(Outputs& out) {
    if (proc::childStopSignal() == 0) return false;
    out.failed = true;
    return true;
}

bool onFrame(void* context, const Frame& frame) {
    Outputs& out = *static_cast<Outputs*>(context);
    if (stopNoted(out)) return false;
    for (int i = 0; i < RGB_BYTES; ++i) out.rgb8[i] = static_cast<uint8_t>(frame.rgb[i] * LEVEL_SCALE);
    out.framesBegun = frame.number + 1;
    if (out.settings->png && !writePng(out, frame.number)) return false;
    if (out.settings->rgb && !writeRaw(out, frame.number)) return false;
    if (out.y4m && !writeY4m(out, frame)) return false;
    if (out.movie && !movieFrame(out.movie, out.rgb8.data(), frame.interval)) return false;
    if (out.movie && out.settings->video) {
        out.bytesRead += frame.bytes;
        out.displayFrames += frame.interval;
        const double film = static_cast<double>(out.displayFrames) / DISPLAY_FRAMES_PER_SECOND;
        if (out.bytesRead > 0) out.progress.totalSeconds = film * out.streamBytes / out.bytesRead;
        progress::progressUpdate(&out.progress, frame.number + 1, film);
    }
    return true;
}

bool writeWavHeader(FILE* f, long long samples) {
    uint8_t h[WAV_HEADER_BYTES];
    wavSoundHeader(h, static_cast<uint32_t>(samples * 2));
    return fseek(f, 0, SEEK_SET) == 0 && writeAll(f, h, sizeof h) && fseek(f, 0, SEEK_END) == 0;
}

bool onAudio(void* context, const int16_t* samples, int count) {
    Outputs& out = *static_cast<Outputs*>(context);
    if (stopNoted(out)) return false;
    if (!out.wav) return true;
    uint8_t bytes[2 * AUDIO_SAMPLES_PER_BLOCK];
    for (int i = 0; i < count; ++i) putLeU16(bytes + 2 * i, static_cast<uint16_t>(samples[i]));
    if (!writeAll(out.wav, bytes, 2 * static_cast<size_t>(count))) {
        outputFailed(out, "WAV file", out.settings->wav);
        return false;
    }
    out.wavSamples += count;
    return true;
}

bool onBlock(void* context, int kind, const uint8_t* bytes) {
    Outputs& out = *static_cast<Outputs*>(context);
    if (stopNoted(out)) return false;
    if (!out.layoutStarted) {
        model::layoutBegin(out.layout, out.layoutInto, out.summary->startInterval);
        out.layoutStarted = true;
    }
    if (kind == AVINDEX_KIND_AUDIO) {
        model::layoutAddAudioBlock(out.layout);
    } else {
        model::layoutAddVideoBlock(out.layout, bytes);
    }
    return true;
}

}  // namespace

// After a failure: takes away every file and folder this run made, so that
// no partial preview is mistaken for a whole one. A file that was there
// before stays as it was.
void removeOutputs(Outputs& out) {
    for (outfile::OutFile& picture : out.pictureFiles) outfile::discard(&picture);
    out.pictureFiles.clear();
    outfile::discard(&out.wavFile);
    outfile::discard(&out.y4mFile);
    for (auto it = out.madeFolders.rbegin(); it != out.madeFolders.rend(); ++it) rmdir(it->c_str());
}

[[noreturn]] void endBySignal(const Outputs& out) {
    const int number = proc::childStopSignal();
    const char* name = number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
    if (!out.y4mToStdout) printf("vendrel-view: stopped by %s: the files of this run are removed\n", name);
    fflush(stdout);
    signal(number, SIG_DFL);
    raise(number);
    _exit(128 + number);
}

bool openOutputs(Outputs& out) {
    const Settings& s = *out.settings;
    out.rgb8.assign(RGB_BYTES, 0);
    if (s.y4m) {
        out.y4mToStdout = strcmp(s.y4m, "-") == 0;
        if (!out.y4mToStdout && !makeFolderFor(out, s.y4m)) return false;
        if (out.y4mToStdout)
            out.y4m = stdout;
        else if (outfile::begin(&out.y4mFile, s.y4m, true))
            out.y4m = out.y4mFile.file;
        if (!out.y4m) {
            printf("cannot create %s: %s\n", s.y4m, strerror(errno));
            return false;
        }
        out.yuv.assign(RGB_BYTES, 0);
        out.y4mTable.assign(3 * LEVELS * LEVELS * LEVELS, 0);
        buildY4mTable(out);
        char header[96];
        const int n = snprintf(header, sizeof header, "YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C444 XCOLORRANGE=LIMITED\n",
                               SCREEN_WIDTH, SCREEN_HEIGHT, DISPLAY_FRAMES_PER_SECOND);
        if (!writeAll(out.y4m, header, static_cast<size_t>(n))) {
            outputFailed(out, "YUV4MPEG2 stream", s.y4m);
            return false;
        }
    }
    if (s.video && !makeFolderFor(out, s.video)) return false;
    if (s.wav) {
        if (!makeFolderFor(out, s.wav)) return false;
        if (outfile::begin(&out.wavFile, s.wav, true)) out.wav = out.wavFile.file;
        if (!out.wav || !writeWavHeader(out.wav, 0)) {
            if (!out.y4mToStdout) printf("cannot create %s: %s\n", s.wav, strerror(errno));
            return false;
        }
    }
    return true;
}

// Completes the outputs; false when something could not be completed. The
// files are put in place by commitOutputs.
bool closeOutputs(Outputs& out) {
    bool ok = !out.failed;
    if (out.wav) {
        if (!writeWavHeader(out.wav, out.wavSamples)) ok = false;
        if (fflush(out.wav) != 0) ok = false;
        if (!ok && !out.failed) outputFailed(out, "WAV file", out.settings->wav);
        out.wav = nullptr;
    }
    if (out.y4m) {
        const bool closed = fflush(out.y4m) == 0;
        if (!closed) {
            ok = false;
            outputFailed(out, "YUV4MPEG2 stream", out.settings->y4m);
        }
        out.y4m = nullptr;
    }
    return ok;
}

// After a run that succeeded: the files written take the names asked for.
bool commitOutputs(Outputs& out) {
    if (!settleEarlierFrames(out)) return false;
    bool ok = true;
    for (outfile::OutFile& picture : out.pictureFiles) {
        if (outfile::commit(&picture)) continue;
        outputFailed(out, "picture", picture.path.c_str());
        ok = false;
    }
    out.pictureFiles.clear();
    if (!out.wavFile.path.empty() && !outfile::commit(&out.wavFile)) {
        outputFailed(out, "WAV file", out.settings->wav);
        ok = false;
    }
    if (!out.y4mFile.path.empty() && !outfile::commit(&out.y4mFile)) {
        outputFailed(out, "YUV4MPEG2 stream", out.settings->y4m);
        ok = false;
    }
    return ok;
}

// What the run may write, before anything is: the stream must be a file,
// no output may be the stream, and --video replaces a file only with
// --overwrite. The frames the picture patterns name before the run go into
// earlier. False after one line saying why.
bool outputsAllowed(const Settings& s, std::vector<EarlierFrame>* earlier) {
    struct stat info;
    if (stat(s.stream, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        printf("%s is a pipe or a device: give the stream as a file\n", s.stream);
        return false;
    }
    const std::pair<const char*, const char*> files[] = {
        {"--wav", s.wav}, {"--y4m", s.y4m}, {"--video", s.video}, {"--rate-table", s.rateTable}};
    for (const auto& [option, name] : files) {
        if (name && outfile::sameFile(name, s.stream)) {
            printf("%s: %s is the stream itself: choose another name\n", option, name);
            return false;
        }
    }
    if (s.video && !s.overwrite && stat(s.video, &info) == 0 && S_ISREG(info.st_mode)) {
        printf("vendrel-view: %s exists: give --overwrite to replace it\n", s.video);
        return false;
    }
    const std::pair<const char*, const char*> patterns[] = {{"--png", s.png}, {"--rgb", s.rgb}};
    for (const auto& [option, pattern] : patterns) {
        if (!pattern) continue;
        const std::vector<EarlierFrame> found = earlierFramesOf(option, pattern);
        for (const EarlierFrame& e : found) {
            if (outfile::sameFile(e.name, s.stream)) {
                printf("%s: %s names the stream itself: choose another pattern\n", option, pattern);
                return false;
            }
        }
        earlier->insert(earlier->end(), found.begin(), found.end());
    }
    return true;
}

Sink outputSink(Outputs* out) {
    Sink sink;
    sink.context = out;
    sink.frame = onFrame;
    sink.audio = onAudio;
    sink.block = onBlock;
    return sink;
}

}  // namespace view
