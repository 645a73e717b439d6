// Fuzzes the BMP reader followed by the colour reduction and GRAM conversion
// of the frame, as the frame loop runs them.
#include <cstdint>

#include "encoder/image/bmp.h"
#include "encoder/image/decode_bmp.h"
#include "tools/fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::silenceStdout();
    const char* path = fuzzsupport::writeScratch(data, size, ".bmp");
    if (!path) return 0;
    BmpImage* image = bmpReadFile(path);
    if (!image) return 0;
    // The first bytes also pick the colour limit, so that every limit is reached.
    decode_bmp_init();
    decode_bmp_setColorLimit(size > 0 ? 64 >> (data[0] % 6) : 64);
    decode_bmp_gram(0, image);
    decode_bmp_gram(0, image);  // the same frame again on the updated page
    bmpFree(image);
    return 0;
}
