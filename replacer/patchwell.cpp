// patchwell: overwrites a region of an existing file, from a given byte
// position on, with the whole contents of a second file. It copies bytes only
// and knows nothing of any file format.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// Reads the position with base detection (0x → hex, leading 0 → octal).
// Text after the number is ignored and text without digits gives 0, as the
// position has always been read. Returns false when the number lies outside
// the 32-bit signed range.
bool parsePosition(const char* text, int32_t* position) {
    errno = 0;
    const long long value = std::strtoll(text, nullptr, 0);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
    *position = static_cast<int32_t>(value);
    return true;
}

// Closes the target and reports whether everything written reached the file:
// buffered bytes are only flushed here, so a full disk may show up only now.
bool closeTarget(FileHandle& dst) { return std::fclose(dst.release()) == 0; }

}  // namespace

// Copies the whole of source into target from position on. Returns the bytes
// copied (0 for an empty source), or -1 when a file cannot be opened, the
// position cannot be reached, or the data could not be read or written.
// The count is kept in 64 bits so that a source beyond 2 GiB cannot wrap it.
int64_t patchwell(const char* target, const char* source, int32_t position) {
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
    if (!closeTarget(dst)) {
        std::puts("Write Error");
        return -1;
    }
    return copied;
}

int main(int argc, char* argv[]) {
    std::printf("Patchwell replacer Ver.%s\n", VERSION);
    if (argc != 4) {
        std::puts("patchwell [target_file] [reprace_file] [reprace_position]");
        return EXIT_FAILED;
    }
    int32_t position = 0;
    if (!parsePosition(argv[3], &position)) {
        std::printf("Position out of range: %s\n", argv[3]);
        return EXIT_FAILED;
    }
    const int64_t result = patchwell(argv[1], argv[2], position);
    if (result < 0) return EXIT_FAILED;
    if (result > 0) {
        std::printf("Complete : %lld(0x%llX) bytes\n", static_cast<long long>(result),
                    static_cast<unsigned long long>(result));
    }
    return 0;
}
