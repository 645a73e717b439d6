// Fuzzes the parameter file: every line is read, converted and acted on, with
// the frame loop's calls (frame numbers rising by the file's own step).
#include <cstdint>
#include <cstdio>

#include "encoder/driver/streaminfo.h"
#include "encoder/image/decode_bmp.h"
#include "encoder/stream/avindex.h"
#include "encoder/video/compress.h"
#include "tools/fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::silenceStdout();
    const char* path = fuzzsupport::writeScratch(data, size, ".txt");
    if (!path) return 0;
    decode_bmp_init();
    compressGramInit(nullptr, avindexInit());
    StreamInfo info;
    streamInfoInit(&info);
    info.fp = fopen(path, "rt");
    if (!info.fp) return 0;
    // A frame loop of bounded length: at most 200 frames, whatever the steps.
    long long frame = 0;
    for (int i = 0; i < 200 && frame <= 0x7FFFFFFF; ++i) {
        info.frame = static_cast<int>(frame);
        streamInfoUpdate(&info);
        decode_bmp_setColorLimit(info.paletLimit);
        if (info.videoSkip < 1) __builtin_trap();  // the step must stay positive
        frame += info.videoSkip;
    }
    streamInfoTerm(&info);
    return 0;
}
