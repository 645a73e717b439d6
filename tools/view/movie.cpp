// The viewer's movie output: ffmpeg (and ffplay) as child processes fed on
// pipes. Both pipes are written without blocking and pumped together, so
// that ffmpeg, which reads its two inputs at its own pace, never waits for
// one while we wait on the other.
#include "tools/view/movie.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/common/child.h"

namespace view {
namespace {

constexpr int MESSAGE_BYTES = 2048;
constexpr int FIRST_HIGH_FD = 10;  // above the descriptors a child is given

// The extensions whose container takes H.264 and AAC.
constexpr const char* H264_AAC_EXTENSIONS[] = {".mp4", ".m4v", ".mov"};

// A pipe whose ends are close-on-exec and lie above the descriptors the
// children are given, so that handing them over never clobbers one another.
bool makePipe(int ends[2]) {
    int raw[2];
    if (pipe2(raw, O_CLOEXEC) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        ends[i] = fcntl(raw[i], F_DUPFD_CLOEXEC, FIRST_HIGH_FD);
        close(raw[i]);
    }
    if (ends[0] >= 0 && ends[1] >= 0) return true;
    for (int i = 0; i < 2; ++i)
        if (ends[i] >= 0) close(ends[i]);
    return false;
}

void closeFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

bool endsWith(const std::string& text, const char* tail) {
    const size_t n = strlen(tail);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (tolower(static_cast<unsigned char>(text[text.size() - n + i])) != tail[i]) return false;
    return true;
}

std::vector<std::string> ffmpegArguments(const Movie& m) {
    const std::string size = std::to_string(SCREEN_WIDTH) + "x" + std::to_string(SCREEN_HEIGHT);
    // The target's 4:3 screen shows its 320 x 200 pixels 5:6 (taller than wide).
    const std::string look = "scale=" + std::to_string(SCREEN_WIDTH * MOVIE_SCALE) + ":" +
                             std::to_string(SCREEN_HEIGHT * MOVIE_SCALE) + ":flags=neighbor,setsar=5/6";
    std::vector<std::string> a = {"ffmpeg", "-hide_banner", "-nostdin", "-v", "error", "-y",
                                  "-f", "rawvideo", "-pix_fmt", "rgb24", "-video_size", size,
                                  "-framerate", std::to_string(DISPLAY_FRAMES_PER_SECOND), "-i", "pipe:0",
                                  "-f", "s16le", "-ar", std::to_string(MOVIE_SOUND_RATE), "-ac", "1", "-i", "pipe:3",
                                  "-map", "0:v:0", "-map", "1:a:0", "-vf", look, "-pix_fmt", "yuv420p",
                                  "-ar", "48000"};
    if (m.kind == MovieKind::Play) {
        a.insert(a.end(), {"-c:v", "rawvideo", "-c:a", "pcm_s16le", "-f", "nut", "pipe:1"});
        return a;
    }
    const std::string name = m.file;
    for (const char* extension : H264_AAC_EXTENSIONS) {
        // veryfast: a film of flat 64-colour pictures loses nothing to see
        // by it, and it runs more than twice as fast as the default.
        if (endsWith(name, extension)) a.insert(a.end(), {"-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac"});
    }
    a.push_back(proc::fileArgument(outfile::writtenName(m.output)));
    return a;
}

std::vector<std::string> ffplayArguments(const char* stream) {
    return {"ffplay", "-hide_banner", "-v", "error", "-nostats", "-autoexit", "-window_title", stream,
            "-f", "nut", "pipe:0"};
}

bool spawn(pid_t* pid, const std::vector<std::string>& args, const proc::ChildFds& fds) {
    std::vector<const char*> argv;
    for (const std::string& s : args) argv.push_back(s.c_str());
    argv.push_back(nullptr);
    return proc::childSpawn(pid, argv.data(), fds);
}

// ---- Sound -----------------------------------------------------------------

bool collectSound(void* context, const int16_t* samples, int count) {
    auto* m = static_cast<Movie*>(context);
    m->samples.insert(m->samples.end(), samples, samples + count);
    return true;
}

// The next piece of sound in the stage: each stored sample twice, silence
// after the stream's sound ends, nothing past the display time.
void fillStage(Movie* m) {
    int n = 0;
    while (n + 2 <= MOVIE_SOUND_STAGE && m->soundSent < m->soundTotal) {
        const size_t i = static_cast<size_t>(m->soundSent / 2);
        const auto v = static_cast<uint16_t>(i < m->samples.size() ? m->samples[i] : 0);
        m->stage[n] = static_cast<uint8_t>(v & 0xFF);
        m->stage[n + 1] = static_cast<uint8_t>(v >> 8);
        n += 2;
        ++m->soundSent;
    }
    m->stageLength = n;
    m->stagePosition = 0;
}

// Writes what the sound pipe takes now; closes it when all is sent.
void pumpSound(Movie* m) {
    if (m->stagePosition == m->stageLength) fillStage(m);
    if (m->stageLength == 0) {
        closeFd(&m->sound);
        return;
    }
    const ssize_t w = write(m->sound, m->stage.data() + m->stagePosition,
                            static_cast<size_t>(m->stageLength - m->stagePosition));
    if (w > 0) {
        m->stagePosition += static_cast<int>(w);
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        closeFd(&m->sound);
        m->broken = true;
    }
}

// ---- Pictures --------------------------------------------------------------

bool sendPicture(Movie* m, const uint8_t* data, size_t n) {
    while (n > 0 && !m->broken) {
        pollfd fds[2] = {{m->picture, POLLOUT, 0}, {m->sound, POLLOUT, 0}};
        const nfds_t count = m->sound >= 0 ? 2 : 1;
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            m->broken = true;
            break;
        }
        if (count == 2 && fds[1].revents != 0) pumpSound(m);
        if (fds[0].revents == 0) continue;
        const ssize_t w = write(m->picture, data, n);
        if (w > 0) {
            data += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
            m->broken = true;
        }
    }
    return !m->broken;
}

// ---- Reports ---------------------------------------------------------------

// What a child wrote to its error file, each line indented under ours; the
// temporary name of the video file is given as the name asked for.
void printMessages(FILE* errors, const char* who, const outfile::OutFile* output = nullptr) {
    if (!errors) return;
    char raw[MESSAGE_BYTES];
    rewind(errors);
    const size_t n = fread(raw, 1, sizeof raw - 1, errors);
    std::string all(raw, n);
    if (output && !output->temp.empty()) {
        for (size_t at = 0; (at = all.find(output->temp, at)) != std::string::npos; at += output->path.size())
            all.replace(at, output->temp.size(), output->path);
    }
    const char* text = all.c_str();
    for (const char* line = text; *line;) {
        const char* end = strchr(line, '\n');
        const int length = end ? static_cast<int>(end - line) : static_cast<int>(strlen(line));
        if (length > 0) printf("  %s: %.*s\n", who, length, line);
        line += length + (end ? 1 : 0);
    }
}

// The video pictures in the file written, counted by ffprobe without
// decoding; -1 when ffprobe cannot read the file, -2 without ffprobe.
long long picturesInFile(const std::string& name) {
    if (!proc::programInPath("ffprobe")) return -2;
    const char* argv[] = {"ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0", "-show_entries",
                          "stream=nb_read_packets", "-of", "csv=p=0", nullptr, nullptr};
    const std::string file = proc::fileArgument(name);
    argv[10] = file.c_str();
    proc::Child child;
    if (!proc::childStart(&child, argv)) return -2;
    char text[64] = {};
    proc::childRead(&child, reinterpret_cast<uint8_t*>(text), sizeof text - 1);
    if (proc::childFinish(&child) != 0 || !isdigit(static_cast<unsigned char>(text[0]))) return -1;
    return atoll(text);
}

// ffmpeg ends with 0 also when the disk filled up under it: the file it
// wrote must be there, not empty, and hold every picture sent.
bool fileIsWhole(const Movie& m) {
    const std::string& name = outfile::writtenName(m.output);
    struct stat info;
    if (stat(name.c_str(), &info) != 0) return false;
    if (!S_ISREG(info.st_mode)) return true;  // a device or a pipe: nothing to look at
    if (info.st_size == 0) return false;
    const long long pictures = picturesInFile(name);
    return pictures == -2 || pictures >= m.displayFrames;
}

void closeFile(FILE** f) {
    if (*f) fclose(*f);
    *f = nullptr;
}

}  // namespace

bool movieProgramsPresent(MovieKind kind) {
    if (!proc::programInPath("ffmpeg")) {
        puts("vendrel-view: ffmpeg is not installed (apt-get install ffmpeg)");
        return false;
    }
    if (kind == MovieKind::Play && !proc::programInPath("ffplay")) {
        puts("vendrel-view: ffplay is not installed (it comes with ffmpeg: apt-get install ffmpeg)");
        return false;
    }
    // ffplay needs a display (or an SDL video driver named for it).
    const auto set = [](const char* name) {
        const char* v = getenv(name);
        return v && *v;
    };
    if (kind == MovieKind::Play && !set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("SDL_VIDEODRIVER")) {
        puts("vendrel-view: no display found (DISPLAY and WAYLAND_DISPLAY are not set): --play needs one; "
             "--video FILE writes a video file instead");
        return false;
    }
    return true;
}

bool movieStart(Movie* m, MovieKind kind, const char* file, const char* stream, const DecodeOptions& options) {
    m->kind = kind;
    m->file = file;
    m->ffmpeg = m->ffplay = -1;
    m->picture = m->sound = -1;
    m->ffmpegErrors = m->ffplayErrors = nullptr;
    m->samples.clear();
    m->soundSent = m->displayFrames = 0;
    m->stageLength = m->stagePosition = 0;
    m->broken = false;
    m->output = outfile::OutFile{};

    Sink sink;
    sink.context = m;
    sink.audio = collectSound;
    Summary summary;
    if (decodeStream(stream, options, sink, summary) < 0) return false;
    if (summary.displayFrames == 0) {
        printf("vendrel-view: %s shows no picture for any time: nothing to %s\n", stream,
               kind == MovieKind::Play ? "play" : "write");
        return false;
    }
    m->withSound = !m->samples.empty();
    m->soundTotal = (summary.displayFrames * MOVIE_SOUND_RATE + DISPLAY_FRAMES_PER_SECOND / 2) /
                    DISPLAY_FRAMES_PER_SECOND;
    const size_t kept = static_cast<size_t>((m->soundTotal + 1) / 2);
    if (m->samples.size() > kept) m->samples.resize(kept);

    if (kind == MovieKind::File && !outfile::begin(&m->output, file, false)) {
        printf("vendrel-view: cannot create %s: %s\n", file, strerror(errno));
        return false;
    }

    // A closed reader must show as a failed write, not end us.
    signal(SIGPIPE, SIG_IGN);
    int picture[2] = {-1, -1};
    int sound[2] = {-1, -1};
    int onward[2] = {-1, -1};  // ffmpeg to ffplay
    bool ok = makePipe(picture) && makePipe(sound) && (kind == MovieKind::File || makePipe(onward));
    m->ffmpegErrors = ok ? tmpfile() : nullptr;  // unnamed: gone when closed
    if (kind == MovieKind::Play && m->ffmpegErrors) m->ffplayErrors = tmpfile();
    ok = ok && m->ffmpegErrors && (kind == MovieKind::File || m->ffplayErrors);
    if (ok) {
        ok = spawn(&m->ffmpeg, ffmpegArguments(*m), {picture[0], onward[1], fileno(m->ffmpegErrors), sound[0]});
        if (!ok) m->ffmpeg = -1;
    }
    if (ok && kind == MovieKind::Play) {
        ok = spawn(&m->ffplay, ffplayArguments(stream), {onward[0], -1, fileno(m->ffplayErrors), -1});
        if (!ok) m->ffplay = -1;
    }
    closeFd(&picture[0]);
    closeFd(&sound[0]);
    closeFd(&onward[0]);
    closeFd(&onward[1]);
    m->picture = picture[1];
    m->sound = sound[1];
    if (ok) {
        ok = fcntl(m->picture, F_SETFL, O_NONBLOCK) == 0 && fcntl(m->sound, F_SETFL, O_NONBLOCK) == 0;
    }
    if (!ok) {
        printf("vendrel-view: %s could not be started\n", kind == MovieKind::Play ? "ffmpeg and ffplay" : "ffmpeg");
        m->broken = true;
        movieFinish(m);
        return false;
    }
    return true;
}

bool movieFrame(Movie* m, const uint8_t* rgb8, int interval) {
    for (int i = 0; i < interval && !m->broken; ++i) {
        if (sendPicture(m, rgb8, RGB_BYTES)) ++m->displayFrames;
    }
    return !m->broken || m->kind == MovieKind::Play;
}

bool movieFinish(Movie* m) {
    closeFd(&m->picture);
    while (m->sound >= 0 && !m->broken) {
        pollfd fd = {m->sound, POLLOUT, 0};
        if (poll(&fd, 1, -1) < 0 && errno != EINTR) break;
        pumpSound(m);
    }
    closeFd(&m->sound);
    const int ffmpegStatus = m->ffmpeg >= 0 ? proc::childWait(m->ffmpeg) : -1;
    const int ffplayStatus = m->ffplay >= 0 ? proc::childWait(m->ffplay) : -1;
    const bool started = m->ffmpeg >= 0 && (m->kind == MovieKind::File || m->ffplay >= 0);
    m->ffmpeg = m->ffplay = -1;
    bool ok = true;
    if (!started || proc::childStopSignal() != 0) {
        ok = false;  // already reported, or the run was stopped by a signal
    } else if (m->kind == MovieKind::File && (ffmpegStatus != 0 || m->broken)) {
        printf("vendrel-view: ffmpeg could not write %s\n", m->file);
        printMessages(m->ffmpegErrors, "ffmpeg", &m->output);
        ok = false;
    } else if (m->kind == MovieKind::File && !fileIsWhole(*m)) {
        printf("vendrel-view: %s is cut short or broken, though ffmpeg ended well (a full disk?)\n", m->file);
        printMessages(m->ffmpegErrors, "ffmpeg", &m->output);
        ok = false;
    } else if (m->kind == MovieKind::Play && ffplayStatus != 0) {
        // A player closed by its user ends with 0; ffmpeg then meets a
        // broken pipe, which is no fault of its own.
        puts("vendrel-view: ffplay could not play the stream");
        printMessages(m->ffplayErrors, "ffplay");
        printMessages(m->ffmpegErrors, "ffmpeg");
        ok = false;
    }
    closeFile(&m->ffmpegErrors);
    closeFile(&m->ffplayErrors);
    std::vector<int16_t>().swap(m->samples);
    return ok;
}

bool movieCommit(Movie* m) {
    if (m->kind != MovieKind::File || outfile::commit(&m->output)) return true;
    printf("vendrel-view: cannot write %s: %s\n", m->file, strerror(errno));
    return false;
}

void movieRemoveFile(Movie* m) {
    if (m->kind == MovieKind::File) outfile::discard(&m->output);
}

void movieReport(const Movie& m) {
    if (m.kind != MovieKind::File) return;
    printf("video: %s, %.3f s %s\n", m.file, static_cast<double>(m.displayFrames) / DISPLAY_FRAMES_PER_SECOND,
           m.withSound ? "with sound" : "silent (the stream has no sound)");
}

}  // namespace view
