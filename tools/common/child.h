// Running ffmpeg (or ffprobe) as a child process: no shell, its standard
// output on a pipe we read, its standard error collected for messages.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace proc {

inline constexpr int CHILD_MESSAGE_BYTES = 2048;

struct Child {
    pid_t pid;
    int out;   // the child's standard output, -1 once closed
    int err;   // the child's standard error, -1 once closed
    std::array<char, CHILD_MESSAGE_BYTES> message;  // the start of what it wrote to standard error
    int messageLength;
};

// True when an executable file of that name lies in a folder of PATH.
bool programInPath(const char* name);

// A file's name as ffmpeg and ffprobe must be given it: "file:" before a
// name that holds a colon ("clip:1.mp4", "pipe:0") or begins with '-', so
// that it is read as a file, never as a protocol or an option.
std::string fileArgument(const std::string& path);

// From now on SIGINT, SIGTERM and SIGHUP are noted instead of ending the
// program at once, so that it can remove what it wrote and say so. A child
// read in progress then ends early, and childFinish ends a child that is
// still running.
void childStopOnSignals();

// The signal noted since childStopOnSignals, or 0.
int childStopSignal();

// Starts argv[0] (looked up in PATH) with standard input from /dev/null.
bool childStart(Child* child, const char* const* argv);

// Reads up to n bytes of the child's output, waiting until all n have come or
// the output ends; meanwhile collects its error text. Returns the bytes read.
size_t childRead(Child* child, uint8_t* buffer, size_t n);

// Closes the pipes, waits for the child and returns its exit status
// (-1 when it did not exit normally). The message stays readable.
int childFinish(Child* child);

// The collected error text with its line ends, or "" when there is none.
const char* childMessage(const Child& child);

// The descriptors a child is started with: its standard input, output and
// error, and descriptor 3. -1 gives it /dev/null (for descriptor 3: nothing).
struct ChildFds {
    int in = -1;
    int out = -1;
    int err = -1;
    int extra = -1;
};

// Starts argv[0] (looked up in PATH) with those descriptors; every other
// descriptor of ours is closed in the child when it was opened close-on-exec.
bool childSpawn(pid_t* pid, const char* const* argv, const ChildFds& fds);

// Waits for a child started by childSpawn: its exit status, -1 when it did
// not exit normally.
int childWait(pid_t pid);

}  // namespace proc
