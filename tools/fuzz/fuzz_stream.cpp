// Fuzzes the stream viewer's decoder on whole stream files, in both buffering
// modes, with every frame and all sound taken by the sinks.
#include <cstdint>

#include "format/endian.h"
#include "format/stream.h"
#include "tools/fuzz/fuzz_common.h"
#include "tools/model/player_model.h"
#include "tools/view/stream_decoder.h"

namespace {

bool takeFrame(void* context, const view::Frame& frame) {
    auto* sum = static_cast<uint32_t*>(context);
    for (int i = 0; i < view::RGB_BYTES; ++i) *sum += frame.rgb[i];  // touch every pixel
    return true;
}

bool takeAudio(void* context, const int16_t* samples, int count) {
    auto* sum = static_cast<uint32_t*>(context);
    for (int i = 0; i < count; ++i) *sum += static_cast<uint16_t>(samples[i]);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::silenceStdout();
    const char* path = fuzzsupport::writeScratch(data, size, ".bin");
    if (!path) return 0;
    uint32_t sum = 0;
    view::Sink sink;
    sink.context = &sum;
    sink.frame = takeFrame;
    sink.audio = takeAudio;
    for (int pages = 1; pages <= 2; ++pages) {
        view::DecodeOptions options;
        options.pages = pages;
        options.quiet = true;
        view::Summary summary;
        view::decodeStream(path, options, sink, summary);
    }
    // The player model's own walk of the blocks, taking the input as an
    // index followed by blocks.
    constexpr size_t INDEX_BYTES = view::INDEX_BYTES;
    if (size >= INDEX_BYTES) {
        const int blocks = leU16(data + AVENTRY_BLOCK_COUNT) + leU16(data + AVINDEX_ENTRY_BYTES + AVENTRY_BLOCK_COUNT);
        model::Layout layout;
        model::layoutFromStream(data + INDEX_BYTES, static_cast<int64_t>(size - INDEX_BYTES),
                                data + AVINDEX_HEADER_BYTES, blocks, data[AVENTRY_KIND_PARAM], &layout);
        model::neededRate(layout);
    }
    return 0;
}
