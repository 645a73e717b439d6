// Shared by the fuzz harnesses: the readers under test take file names, so
// each input is written to a scratch file of this process first.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace fuzzsupport {

inline const std::string& scratchPath(const char* suffix) {
    static const std::string path = "/tmp/vendrel-fuzz-" + std::to_string(getpid()) + suffix;
    return path;
}

inline const char* writeScratch(const uint8_t* data, size_t size, const char* suffix) {
    const std::string& path = scratchPath(suffix);
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return nullptr;
    if (size) fwrite(data, 1, size, f);
    fclose(f);
    return path.c_str();
}

// The programs print their progress to standard output; a harness keeps it quiet.
inline void silenceStdout() {
    static bool done = false;
    if (done) return;
    done = true;
    if (!freopen("/dev/null", "w", stdout)) return;
}

}  // namespace fuzzsupport
