// Fuzzes the WAV reader in all four views. The reader ends the process on a
// file it cannot use; here its exit hook throws instead, so every input runs
// through to the end.
#include <cstdint>

#include "encoder/audio/wavlib.h"
#include "tools/fuzz/fuzz_common.h"

namespace {

struct WavRejected {};

void throwOnFail() { throw WavRejected{}; }

template <typename Record, typename Alloc, typename Read, typename Free>
void readAs(Alloc alloc, Read read, Free release, const char* path) {
    Record* record = alloc();
    try {
        read(record, path);
    } catch (const WavRejected&) {
    }
    release(record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::silenceStdout();
    wavFailHook = throwOnFail;
    const char* path = fuzzsupport::writeScratch(data, size, ".wav");
    if (!path) return 0;
    readAs<Mono_Native>(alloc_Mono_Native, wavread_Mono_Native, free_Mono_Native, path);
    readAs<Mono>(alloc_Mono, wavread_Mono, free_Mono, path);
    readAs<Stereo_Native>(alloc_Stereo_Native, wavread_Stereo_Native, free_Stereo_Native, path);
    readAs<Stereo>(alloc_Stereo, wavread_Stereo, free_Stereo, path);
    return 0;
}
