// patchwell: overwrites a region of an existing file, from a given byte
// position on, with the whole contents of a second file. It copies bytes only
// and knows nothing of any file format.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

constexpr const char* VERSION = "2020.9.6";
constexpr size_t COPY_PIECE = 0x10000;

// The source is copied through this buffer one piece at a time, so a source
// of any size needs no more memory than this.
unsigned char fileBuf[COPY_PIECE];

constexpr int EXIT_FAILED = 1;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// Reads the position with base detection (0x → hex, leading 0 → octal),
// after optional blanks and a sign. The whole argument must be that number:
// text after it ("8k", "1e3"), a digit the base does not have ("08") or no
// digits at all ("", "abc", "0x") would otherwise send the copy to a place the
// user did not name. Returns false, with the reason in *problem, for such text
// and for a number outside the 32-bit signed range.
bool parsePosition(const char* text, int32_t* position, const char** problem) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 0);
    if (end == text || *end != '\0') {
        *problem = "Position is not a whole number";
        return false;
    }
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        *problem = "Position out of range";
        return false;
    }
    *position = static_cast<int32_t>(value);
    return true;
}

struct TargetSizes {
    long long before = 0;
    long long after = 0;
};

// The size of an open file, or -1 when it cannot be told.
long long fileSize(FILE* f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return -1;
    return std::ftell(f);
}

// Closes the target and reports whether everything written reached the file:
// buffered bytes are only flushed here, so a full disk may show up only now.
bool closeTarget(FileHandle& dst) { return std::fclose(dst.release()) == 0; }

}  // namespace

// Copies the whole of source into target from position on. Returns the bytes
// copied (0 for an empty source), or -1 when a file cannot be opened, the two
// names are one file, the position cannot be reached, or the data could not be
// read or written. *grown receives the target's size before and after when
// the copy made it longer, and stays zero otherwise.
// The count is kept in 64 bits so that a source beyond 2 GiB cannot wrap it.
int64_t patchwell(const char* target, const char* source, int32_t position, TargetSizes* grown) {
    *grown = {};
    std::printf("replacer '%s' to '%s'.Address=%d(0x%08X)\n", source, target, position,
                static_cast<uint32_t>(position));

    FileHandle src(std::fopen(source, "rb"));
    if (!src) {
        std::puts("Can't open src file");
        return -1;
    }
    // "r+b": read and write, the file must exist and is not truncated.
    FileHandle dst(std::fopen(target, "r+b"));
    if (!dst) {
        std::puts("Can't open dst file");
        return -1;
    }
    // Copying a file into itself reads back what it has just written: from a
    // position past the start the file grows without end, and before that the
    // copy reads bytes it has already overwritten. Any two names of one file
    // (links, "./f") are caught, as both are open by now.
    std::error_code sameError;
    if (std::filesystem::equivalent(target, source, sameError)) {
        std::puts("Source and target are the same file");
        return -1;
    }
    const long long sizeBefore = fileSize(dst.get());
    if (std::fseek(dst.get(), position, SEEK_SET) != 0) {
        std::puts("Seek error");
        closeTarget(dst);
        return -1;
    }

    int64_t copied = 0;
    for (;;) {
        const size_t got = std::fread(fileBuf, 1, sizeof fileBuf, src.get());
        if (got == 0) break;
        if (std::fwrite(fileBuf, 1, got, dst.get()) != got) {
            std::puts("Write Error");
            closeTarget(dst);
            return -1;
        }
        copied += static_cast<int64_t>(got);
    }
    // A source that cannot be read (a folder, a failing disk) must not pass
    // as a short or empty copy.
    if (std::ferror(src.get())) {
        std::puts("Read Error");
        closeTarget(dst);
        return -1;
    }
    // Flushed here, before the size is taken, so that a full disk shows.
    const bool flushed = std::fflush(dst.get()) == 0;
    const long long sizeAfter = flushed ? fileSize(dst.get()) : -1;
    if (!closeTarget(dst) || !flushed) {
        std::puts("Write Error");
        return -1;
    }
    if (sizeBefore >= 0 && sizeAfter > sizeBefore) *grown = {sizeBefore, sizeAfter};
    return copied;
}

int main(int argc, char* argv[]) {
    std::printf("Patchwell replacer Ver.%s\n", VERSION);
    if (argc != 4) {
        std::puts("patchwell [target_file] [reprace_file] [reprace_position]");
        return EXIT_FAILED;
    }
    int32_t position = 0;
    const char* problem = nullptr;
    if (!parsePosition(argv[3], &position, &problem)) {
        std::printf("%s: %s\n", problem, argv[3]);
        return EXIT_FAILED;
    }
    TargetSizes grown;
    const int64_t result = patchwell(argv[1], argv[2], position, &grown);
    if (result < 0) return EXIT_FAILED;
    if (result > 0) {
        std::printf("Complete : %lld(0x%llX) bytes\n", static_cast<long long>(result),
                    static_cast<unsigned long long>(result));
    }
    // A disk image that changes size may no longer fit its drive.
    if (grown.after > grown.before) {
        std::printf("Warning: the target grew by %lld bytes, from %lld to %lld\n", grown.after - grown.before,
                    grown.before, grown.after);
    }
    return 0;
}
