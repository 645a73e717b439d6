// Child processes for the tools (ffmpeg, ffprobe, ffplay). The child's standard error is read
// alongside its output so that a talkative child can never fill that pipe
// and stall while we wait for picture bytes.
#include "tools/common/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <cstdio>

extern char** environ;

namespace proc {
namespace {

volatile sig_atomic_t stopSignal = 0;

void noteSignal(int number) { stopSignal = number; }

void closeFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// Keeps the first CHILD_MESSAGE_BYTES - 1 bytes of the error text; the rest
// is read and dropped.
void drainErrors(Child* child) {
    char buffer[512];
    const ssize_t n = read(child->err, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        closeFd(&child->err);
        return;
    }
    const int room = CHILD_MESSAGE_BYTES - 1 - child->messageLength;
    const int take = std::min(static_cast<int>(n), room);
    if (take > 0) {
        memcpy(child->message.data() + child->messageLength, buffer, static_cast<size_t>(take));
        child->messageLength += take;
    }
    child->message[child->messageLength] = '\0';
}

}  // namespace

bool programInPath(const char* name) {
    const char* path = getenv("PATH");
    if (!path || !*path) path = "/usr/bin:/bin";
    for (const char* begin = path;; ++begin) {
        const char* end = strchr(begin, ':');
        const int length = end ? static_cast<int>(end - begin) : static_cast<int>(strlen(begin));
        char file[PATH_MAX];
        // An empty folder in PATH means the current one.
        const int n = length == 0 ? snprintf(file, sizeof file, "./%s", name)
                                  : snprintf(file, sizeof file, "%.*s/%s", length, begin, name);
        struct stat info;
        if (n > 0 && n < static_cast<int>(sizeof file) && stat(file, &info) == 0 && S_ISREG(info.st_mode) &&
            access(file, X_OK) == 0)
            return true;
        if (!end) return false;
        begin = end;
    }
}

std::string fileArgument(const std::string& path) {
    const bool plain = !path.empty() && path[0] != '-' && path.find(':') == std::string::npos;
    return plain ? path : "file:" + path;
}

void childStopOnSignals() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a wait in progress returns
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

int childStopSignal() { return stopSignal; }

bool childStart(Child* child, const char* const* argv) {
    *child = Child{};
    child->pid = -1;
    child->out = -1;
    child->err = -1;
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return false;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    pid_t pid = -1;
    const int failed =
        posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (failed != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return false;
    }
    child->pid = pid;
    child->out = outPipe[0];
    child->err = errPipe[0];
    return true;
}

size_t childRead(Child* child, uint8_t* buffer, size_t n) {
    size_t got = 0;
    while (got < n && child->out >= 0 && stopSignal == 0) {
        pollfd fds[2] = {{child->out, POLLIN, 0}, {child->err, POLLIN, 0}};
        const nfds_t count = child->err >= 0 ? 2 : 1;
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (count == 2 && fds[1].revents != 0) drainErrors(child);
        if (fds[0].revents == 0) continue;
        const ssize_t r = read(child->out, buffer + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            closeFd(&child->out);
            break;
        }
        got += static_cast<size_t>(r);
    }
    return got;
}

int childFinish(Child* child) {
    closeFd(&child->out);  // a child still writing gets a broken pipe and ends
    if (stopSignal != 0 && child->pid >= 0) kill(child->pid, SIGTERM);
    while (child->err >= 0) drainErrors(child);
    if (child->pid < 0) return -1;
    int status = 0;
    while (waitpid(child->pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    child->pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const char* childMessage(const Child& child) { return child.message.data(); }

bool childSpawn(pid_t* pid, const char* const* argv, const ChildFds& fds) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // In descriptor order, so that a source that is itself a lower target has
    // been copied before it is replaced.
    const int wanted[] = {fds.in, fds.out, fds.err, fds.extra};
    for (int target = 0; target < 4; ++target) {
        if (wanted[target] >= 0)
            posix_spawn_file_actions_adddup2(&actions, wanted[target], target);
        else if (target < 3)
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    const int failed = posix_spawnp(pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0;
}

int childWait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace proc
