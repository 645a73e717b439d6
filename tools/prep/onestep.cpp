// Streams straight into OUTDIR: the stream file, the cutter that encodes the
// parts, and the processes that check the parts it has finished.
#include "tools/prep/onestep.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/model/player_model.h"
#include "tools/prep/outdir.h"
#include "tools/prep/output.h"
#include "tools/prep/parts.h"
#include "tools/view/stream_decoder.h"

namespace prep {

// One frame as it goes through the pipe and waits in a spool: both ends are
// this program, so the record goes as it lies in memory.
struct CutterRecord {
    ReducedFrame frame;
    FrameParams params;
    bool partStart;  // the plan begins a part with this frame
};

namespace {
using Record = CutterRecord;

constexpr const char* SPOOL_NAME = "frames.spool";  // a part's frames from its latest scene cut on
constexpr int PART_TEXT_BYTES = 512;
// The cutter's exit status when every part is written and checked but some
// part does not play at the rate asked for.
constexpr int MISSED_STATUS = 3;

// What a part's check hands back.
struct PartResult {
    bool ok;
    bool plays;                  // at the rate asked for (or none asked for)
    char text[PART_TEXT_BYTES];  // its line, or why it failed
};

bool writeAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Bytes read, fewer than n only at the end of the data.
size_t readAll(int fd, void* data, size_t n) {
    char* p = static_cast<char*>(data);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

bool readRecordAt(int fd, int index, Record* record) {
    const off_t at = static_cast<off_t>(index) * static_cast<off_t>(sizeof(Record));
    return pread(fd, record, sizeof(Record), at) == static_cast<ssize_t>(sizeof(Record));
}

void partText(PartResult* r, const char* format, ...) __attribute__((format(printf, 2, 3)));
void partText(PartResult* r, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(r->text, sizeof r->text, format, args);
    va_end(args);
}

// A part's stream, finished: checked with the decoder, and the rate it needs
// found, here or in a process of its own.
PartResult checkPart(Session* session, const StreamJob& job, const std::string& path, int fd, int first, int frames) {
    PartResult r{false, true, {}};
    const double kib = model::neededRate(sessionLayout(session)) / model::KIB;
    std::string summary;
    if (!endStreamFile(session, fd, path, job, frames, &summary)) {
        partText(&r, "vendrel-prep: %s was not written whole", path.c_str());
        return r;
    }
    char rate[96];
    if (kib <= 0.0)
        snprintf(rate, sizeof rate, "plays without stalls at any rate");
    else if (std::isinf(kib))
        snprintf(rate, sizeof rate, "does not play without stalls at any rate");
    else
        snprintf(rate, sizeof rate, "plays without stalls from %.1f KiB/s", std::ceil(kib * 10.0) / 10.0);
    partText(&r, "  %s: frames %d to %d of the whole, %s; %s", path.c_str(), first, first + frames - 1,
             summary.c_str(), rate);
    // The plan begins parts where it foresees them; a part cut elsewhere (a
    // frame did not fit) plays from a black screen the plan did not expect.
    r.plays = job.options.rate <= 0 || kib <= job.options.rate;
    r.ok = true;
    return r;
}

// A part's checking process and the pipe its result comes back on.
struct Running {
    pid_t pid;
    int result;
    int number;
};

}  // namespace

// The cutter: encodes each part straight into its stream as the frames come.
// After every frame the stream is ended, its blocks counted and the end taken
// back; the first frame that would make the part too large ends it at the
// latest scene cut near there (the state there was kept), or right there, and
// the frames past the end begin the next part again from the spool.
class PartCutter {
public:
    explicit PartCutter(const StreamJob& job) : job_(job), limit_(job.options.partBlocks) {
        jobs_ = job.options.jobs > 0 ? job.options.jobs : coreCount();
    }

    bool take(const Record& record) {
        if (failed_) return false;
        if (record.partStart && frames_ > 0) {
            // The plan ends the part here: no frame goes on to the next.
            const int spool = spool_;
            const bool ended = endPart(frames_, false);
            close(spool);
            if (!ended) return false;
        }
        if (frames_ == 0 && !beginPart()) return false;
        if (record.frame.sceneCut && frames_ > 0) {
            atCut_ = after_[(frames_ - 1) % 2];
            cutAt_ = frames_;
            // A part never ends before its latest scene cut: the frames
            // before it are not needed again.
            if (ftruncate(spool_, 0) != 0 || lseek(spool_, 0, SEEK_SET) != 0)
                return fail("vendrel-prep: cannot write " + spoolPath_);
        }
        sessionFrame(&session_, record.frame, record.params);
        // The part may end here; then only the stream's end is needed.
        sessionSaveForEnd(&session_, &after_[frames_ % 2]);
        const int blocks = sessionBlocksIfEnded(&session_);
        if (blocks <= limit_) {
            if (!writeAll(spool_, &record, sizeof record)) return fail("vendrel-prep: cannot write " + spoolPath_);
            intervals_.push_back(record.params.interval);
            ++frames_;
            return true;
        }
        if (frames_ == 0) {
            char text[160];
            snprintf(text, sizeof text,
                     "vendrel-prep: frame %d alone makes a stream of more than %d blocks: raise --part-blocks", first_,
                     limit_);
            return fail(text);
        }
        // The part ends at the latest scene cut in its last stretch, or here.
        const int longest = frames_;
        const int frames = framesToKeep(longest, cutAt_);
        sessionRestoreForEnd(&session_, frames == cutAt_ ? atCut_ : after_[(longest - 1) % 2]);
        const int spool = spool_;
        const int spoolFirst = cutAt_;
        const std::string spoolPath = spoolPath_;
        if (!endPart(frames, false)) return false;
        // The frames past the end begin the next part.
        auto tail = std::make_unique<Record>();
        bool ok = true;
        for (int i = frames; ok && i < longest; ++i) {
            ok = readRecordAt(spool, i - spoolFirst, tail.get());
            if (!ok) fail("vendrel-prep: cannot read back " + spoolPath);
            ok = ok && take(*tail);
        }
        close(spool);
        return ok && take(record);
    }

    // The source has ended: the last part, then every result in order.
    bool finish() {
        if (!failed_ && frames_ > 0) {
            const int spool = spool_;
            endPart(frames_, true);
            close(spool);
        }
        while (!running_.empty()) collect();
        for (const std::string& line : lines_) puts(line.c_str());
        for (size_t k = 0; !failed_ && k < missed_.size(); ++k)
            printf("vendrel-prep: %s does not play at %g KiB/s: it starts from a black screen, which the plan "
                   "did not foresee\n",
                   joinPath(partFolder(job_.options, missed_[k]), STREAM_NAME).c_str(), job_.options.rate);
        if (failed_) {
            if (!message_.empty()) puts(message_.c_str());
            removeParts();
        } else if (job_.options.overwrite) {
            removeStaleParts();
        }
        fflush(stdout);
        return !failed_;
    }

    // Every part written, yet some part does not play at the rate asked for.
    bool missed() const { return !missed_.empty(); }

    // Nothing of the parts stays.
    void abandon() {
        fail("");
        while (!running_.empty()) collect();
        removeParts();
    }

private:
    bool fail(const std::string& message) {
        if (!failed_) message_ = message;
        failed_ = true;
        return false;
    }

    bool beginPart() {
        RunFolder folder;
        folder.path = partFolder(job_.options, part_);
        if (!prepareFolder(folder.path, job_.options.overwrite, &folder)) return fail("");
        spoolPath_ = joinPath(folder.path, SPOOL_NAME);
        spool_ = open(spoolPath_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (spool_ < 0) return fail("vendrel-prep: cannot write " + spoolPath_);
        streamPath_ = joinPath(folder.path, STREAM_NAME);
        stream_ = beginStreamFile(&session_, streamPath_, job_.boot);
        if (stream_ < 0) return fail("vendrel-prep: cannot write " + streamPath_);
        // The part's sound begins with its first frame.
        SessionSetup setup;
        setup.wavPath = job_.wavPath.empty() ? nullptr : job_.wavPath.c_str();
        setup.compressType = job_.compressType;
        setup.soundFrom = static_cast<int32_t>(showSample(show_));
        if (!sessionOpen(&session_, setup)) return fail("vendrel-prep: the encoder cannot take " + job_.wavPath);
        intervals_.clear();
        cutAt_ = 0;
        return true;
    }

    // Ends the part's stream after its first `frames` frames (the session
    // stands there) and has it checked; the next part begins after them.
    bool endPart(int frames, bool last) {
        int64_t showEnd = show_;
        for (int i = 0; i < frames; ++i) showEnd += intervals_[static_cast<size_t>(i)];
        sessionFinish(&session_);
        // Its sound ends where the next part's begins.
        if (!last && !job_.wavPath.empty() && !sessionSilenceFrom(&session_, showSample(showEnd) - int64_t{showSample(show_)}))
            return fail("vendrel-prep: cannot write " + streamPath_);
        lines_.resize(static_cast<size_t>(part_));
        const bool alone = jobs_ <= 1;
        while (!alone && static_cast<int>(running_.size()) >= std::max(1, jobs_ - 1)) collect();
        int pipeFds[2] = {-1, -1};
        pid_t pid = 0;
        if (!alone) {
            fflush(stdout);
            if (pipe2(pipeFds, O_CLOEXEC) != 0) return fail("vendrel-prep: cannot start a process for a part");
            pid = fork();
            if (pid < 0) {
                close(pipeFds[0]);
                close(pipeFds[1]);
                return fail("vendrel-prep: cannot start a process for a part");
            }
        }
        if (pid == 0) {
            const PartResult r = checkPart(&session_, job_, streamPath_, stream_, first_, frames);
            if (alone) {
                if (!r.ok) return fail(r.text);
                lines_[static_cast<size_t>(part_ - 1)] = r.text;
                if (!r.plays) missed_.push_back(part_);
            } else {
                writeAll(pipeFds[1], &r, sizeof r);
                _exit(r.ok ? 0 : 1);
            }
        } else {
            close(pipeFds[1]);
            close(stream_);
            running_.push_back({pid, pipeFds[0], part_});
        }
        stream_ = -1;
        unlink(spoolPath_.c_str());  // still open for the frames past the end
        spool_ = -1;
        ++part_;
        first_ += frames;
        show_ = showEnd;
        frames_ = 0;
        return true;
    }

    // Waits for the oldest part's check and keeps its line.
    void collect() {
        const Running r = running_.front();
        running_.erase(running_.begin());
        PartResult result{false, true, {}};
        const bool read = readAll(r.result, &result, sizeof result) == sizeof result;
        close(r.result);
        int status = 0;
        while (waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.text[PART_TEXT_BYTES - 1] = '\0';
        if (!read || !result.ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fail(read && result.text[0] ? result.text : "vendrel-prep: a part's check ended without a result");
            return;
        }
        lines_[static_cast<size_t>(r.number - 1)] = result.text;
        if (!result.plays) missed_.push_back(r.number);
    }

    // With --overwrite: the further parts of an earlier, longer run lose
    // their streams and the files of the frames route, and go when empty.
    void removeStaleParts() {
        for (int k = part_;; ++k) {
            const RunFolder stale{partFolder(job_.options, k), {}};
            struct stat info;
            if (stat(stale.path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
            unlink(joinPath(stale.path, STREAM_NAME).c_str());
            removeRunOutput(stale);
            rmdir(stale.path.c_str());
        }
    }

    void removeParts() {
        if (stream_ >= 0) close(stream_);
        for (int k = 1; k <= part_; ++k) {
            const std::string folder = partFolder(job_.options, k);
            unlink(joinPath(folder, STREAM_NAME).c_str());
            unlink(joinPath(folder, SPOOL_NAME).c_str());
            rmdir(folder.c_str());
        }
        lines_.clear();
    }

    const StreamJob& job_;
    int limit_;
    int jobs_;
    int part_ = 1;       // the part being encoded, from 1
    int first_ = 0;      // its first frame in the whole
    int64_t show_ = 0;   // its first frame's display time
    int frames_ = 0;     // its frames so far
    int cutAt_ = 0;      // its latest frame that begins a scene (0: none)
    int spool_ = -1;     // its frames from cutAt_ on, to begin the next part with those past its end
    std::string spoolPath_;
    int stream_ = -1;
    std::string streamPath_;
    Session session_;           // the encoder run on the part's frames
    SessionSnapshot after_[2];  // the session's end state after the last frame and after the one before
    SessionSnapshot atCut_;     // that before frame cutAt_
    std::vector<int> intervals_;
    std::vector<Running> running_;
    std::vector<std::string> lines_;  // per part, in order
    std::vector<int> missed_;         // the parts that do not play at the rate asked for
    bool failed_ = false;
    std::string message_;
};

namespace {

// The cutter's process: frames from `in` until it ends.
int runCutter(const StreamJob& job, int in) {
    auto cutter = std::make_unique<PartCutter>(job);  // large: kept out of the stack
    auto record = std::make_unique<Record>();
    bool ok = true;
    while (ok && readAll(in, record.get(), sizeof(Record)) == sizeof(Record)) ok = cutter->take(*record);
    close(in);
    if (!cutter->finish()) return 1;
    return cutter->missed() ? MISSED_STATUS : 0;
}

}  // namespace

bool readBootCode(const std::string& path, std::vector<uint8_t>* boot) {
    boot->clear();
    if (path.empty()) return true;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        printf("vendrel-prep: cannot read %s\n", path.c_str());
        return false;
    }
    boot->resize(static_cast<size_t>(STREAM_BOOTCODE_MAX_BYTES));
    const size_t n = fread(boot->data(), 1, boot->size(), f);
    const bool failed = ferror(f) != 0;
    fclose(f);
    boot->resize(n);
    if (failed) {
        printf("vendrel-prep: cannot read %s\n", path.c_str());
        return false;
    }
    return true;
}

int beginStreamFile(Session* session, const std::string& path, const std::vector<uint8_t>& boot) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (!writeAll(fd, boot.data(), boot.size())) {
        close(fd);
        return -1;
    }
    sessionWriteInto(session, fd, static_cast<int64_t>(boot.size()));
    return fd;
}

bool endStreamFile(Session* session, int fd, const std::string& path, const StreamJob& job, int frames, std::string* summary) {
    const bool written = !sessionWriteFailed(session);
    if (close(fd) != 0 || !written) {
        printf("vendrel-prep: cannot write %s\n", path.c_str());
        return false;
    }
    view::DecodeOptions options;
    options.pages = job.compressType == 2 ? 2 : 1;
    options.bootSize = static_cast<long>(job.boot.size());
    options.quiet = true;
    view::Summary s;
    if (view::decodeStream(path.c_str(), options, view::Sink{}, s) != 0 || s.problemTotal != 0 ||
        s.frames != frames) {
        printf("vendrel-prep: %s does not check clean: %d faults, %d of %d frames\n", path.c_str(), s.problemTotal,
               s.frames, frames);
        return false;
    }
    struct stat info;
    const long long bytes = stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : 0;
    char text[160];
    snprintf(text, sizeof text, "%d frames, %d blocks (%d video, %d audio), %lld bytes, checked", s.frames,
             s.videoBlocks + s.audioBlocks, s.videoBlocks, s.audioBlocks, bytes);
    *summary = text;
    if (s.unindexedBlocks > 0)
        printf("vendrel-prep: warning: %s holds %d blocks past the %d its index describes, which the player "
               "does not reach: --parts cuts a long film into streams that fit\n",
               path.c_str(), s.unindexedBlocks, AVINDEX_MAX_BLOCKS);
    return true;
}

int coreCount() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(std::min<long>(n, MAX_JOBS)) : 1;
}

bool cutterStart(const StreamJob& job, Cutter* cutter) {
    const int jobs = job.options.jobs > 0 ? job.options.jobs : coreCount();
    if (jobs == 1 && job.options.rate <= 0) {
        *cutter = Cutter{};
        cutter->here = std::make_shared<PartCutter>(job);
        return true;
    }
    int frames[2];
    int report[2];
    if (pipe2(frames, O_CLOEXEC) != 0) {
        puts("vendrel-prep: cannot start the process that cuts the parts");
        return false;
    }
    if (pipe2(report, O_CLOEXEC) != 0) {
        close(frames[0]);
        close(frames[1]);
        puts("vendrel-prep: cannot start the process that cuts the parts");
        return false;
    }
    fcntl(frames[1], F_SETPIPE_SZ, FRAME_PIPE_BYTES);
    signal(SIGPIPE, SIG_IGN);  // a cutter that failed is told by its report
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {frames[0], frames[1], report[0], report[1]}) close(fd);
        puts("vendrel-prep: cannot start the process that cuts the parts");
        return false;
    }
    if (pid == 0) {
        close(frames[1]);
        close(report[0]);
        dup2(report[1], STDOUT_FILENO);
        close(report[1]);
        const int status = runCutter(job, frames[0]);
        fflush(stdout);
        _exit(status);
    }
    close(frames[0]);
    close(report[1]);
    *cutter = Cutter{pid, frames[1], report[0], nullptr, nullptr, job.options};
    return true;
}

bool cutterTake(Cutter* cutter, const ReducedFrame& frame, const FrameParams& params, bool partStart) {
    if (!cutter->record) cutter->record = std::make_shared<CutterRecord>();  // once: a frame is large
    CutterRecord& record = *cutter->record;
    record.frame = frame;
    record.params = params;
    record.partStart = partStart;
    const bool taken = cutter->here ? cutter->here->take(record) : writeAll(cutter->frames, &record, sizeof record);
    cutter->failed = !taken;
    return taken;
}

void cutterAbandon(Cutter* cutter) {
    if (cutter->here) {
        cutter->here->abandon();
        return;
    }
    close(cutter->frames);
    close(cutter->report);
    kill(cutter->pid, SIGKILL);
    int status = 0;
    while (waitpid(cutter->pid, &status, 0) < 0 && errno == EINTR) {
    }
    for (int k = 1;; ++k) {
        const std::string folder = partFolder(cutter->job, k);
        struct stat info;
        if (stat(folder.c_str(), &info) != 0) break;
        unlink(joinPath(folder, STREAM_NAME).c_str());
        unlink(joinPath(folder, SPOOL_NAME).c_str());
        rmdir(folder.c_str());
    }
}

bool cutterFinish(Cutter* cutter) {
    if (cutter->here) {
        const bool ok = cutter->here->finish();
        cutter->missed = ok && cutter->here->missed();
        return ok;
    }
    close(cutter->frames);
    std::string report;
    char buffer[4096];
    for (size_t n; (n = readAll(cutter->report, buffer, sizeof buffer)) > 0;) report.append(buffer, n);
    close(cutter->report);
    int status = 0;
    while (waitpid(cutter->pid, &status, 0) < 0 && errno == EINTR) {
    }
    fputs(report.c_str(), stdout);
    cutter->missed = WIFEXITED(status) && WEXITSTATUS(status) == MISSED_STATUS;
    return WIFEXITED(status) && (WEXITSTATUS(status) == 0 || cutter->missed);
}

}  // namespace prep
