#include "encoder/video/compress.h"

#include "encoder/driver/log.h"
#include "encoder/video/fifo.h"
#include "encoder/video/v2encode.h"
#include "format/stream.h"

namespace {

// The interval the compressor assumes the player starts with.

}  // namespace

int32_t encode_v2 = 1;
int32_t updatePerCRTCframe = DEFAULT_VIDEO_INTERVAL;

namespace {

uint8_t optionByte(int type, int value) {
    switch (type) {
    case COMPRESS_OPTION_OVERLAY:
        return static_cast<uint8_t>((value - V2OPT_OVERLAY_BIAS) & 0xFF);
    case COMPRESS_OPTION_FRAMETIME:
        return static_cast<uint8_t>(value & 0xFF);
    case COMPRESS_OPTION_FLASH:
        return static_cast<uint8_t>(V2OPT_FLASH + (value & 0x0F));
    case COMPRESS_OPTION_PLAY:
        return static_cast<uint8_t>((value - V2OPT_PLAY_BIAS) & 0xFF);
    default:
        return V2OPT_FADER;
    }
}

// The flash entry moves: the old position becomes an ordinary one again and the
// colour reduction keeps the new one out of its palettes and updates.
void moveFlashEntry(int value) {
    constexpr int FLASH_BIT = 4;
    if (paletFlashColor >= 0) decode_bmp_palet_unlock(paletFlashColor, FLASH_BIT);
    paletFlashColor = value;
    decode_bmp_palet_lock(value, 0, 0, FLASH_BIT);
}

}  // namespace

int V2optiomCommand(int type, int value) {
    static constexpr const char* traceLine[] = {"optionOverlay(%02X)\n", "optionFrametime(%02X)\n",
                                                "optionFlash(%02X)\n", "optionPlay(%02X)\n",
                                                "optionFader(%02X)\n"};
    if (static_cast<unsigned>(type) > static_cast<unsigned>(COMPRESS_OPTION_FADER)) return 0;
    log_printf(LOG_V2_OPTION, traceLine[type], value);
    if (type == COMPRESS_OPTION_FRAMETIME) {
        // Sent only on a change; a request above the limit differs from the
        // clamped value kept, so it goes out again every frame.
        if (value == updatePerCRTCframe) return 0;
        updatePerCRTCframe = value > V2OPT_INTERVAL_MAX ? V2OPT_INTERVAL_MAX : value;
        value = updatePerCRTCframe;
    } else if (type == COMPRESS_OPTION_FLASH) {
        moveFlashEntry(value);
    }
    const uint8_t command[2] = {V2OP_OPTION, optionByte(type, value)};
    return packetFIFOWrite(command, 2);
}

int V2compressGramInit(FILE* /*out*/, AvIndexEntry* header) {
    packetFIFOReset();
    if (header != nullptr) {
        avEntrySetU16(header, AVENTRY_FIFO_TOP, static_cast<uint16_t>(FIFO_RING_TOP));
        avEntrySetU16(header, AVENTRY_FIFO_END, static_cast<uint16_t>(FIFO_RING_END));
        avEntrySetU16(header, AVENTRY_BLOCK_SIZE, static_cast<uint16_t>(FIFO_PAGE_BYTES));
    }
    updatePerCRTCframe = DEFAULT_VIDEO_INTERVAL;
    paletFlashColor = NO_FLASH_COLOR;
    return 0;
}

void compressSave(CompressState* s) {
    s->interval = updatePerCRTCframe;
    fifoSave(&s->fifo);
}

void compressRestore(const CompressState& s) {
    updatePerCRTCframe = s.interval;
    fifoRestore(s.fifo);
}

void compressReset() {
    encode_v2 = 1;
    updatePerCRTCframe = DEFAULT_VIDEO_INTERVAL;
    fifoReset();
}

int V2compressGramEnd() {
    // 0x7F up to the ring top: every page on the way is closed and handed over,
    // the last one with the LOOP marker. The two bytes at the top stay unsent.
    packetFIFOWriteByte(V2OP_STREAM_END);
    while (fifo_buffer_address - 1 > fifo_buffer_top) packetFIFOWriteByte(V2OP_STREAM_END);
    return packetFIFOWriteByte(V2OP_STREAM_END);
}

int compressGramInit(FILE* out, AvIndexEntry* header) {
    if (!encode_v2) return 0;
    return V2compressGramInit(out, header);
}

int compressOption(int type, int value) {
    printf("compressOption(%02X,%02X)\n", type, value);
    if (!encode_v2) return 0;
    return V2optiomCommand(type, value);
}

int compressFrameTimeSet(int interval) {
    if (!encode_v2) return 0;
    return V2optiomCommand(COMPRESS_OPTION_FRAMETIME, interval);
}

int compressGram(uint8_t* prev, const uint8_t* next, const PaletUpdate* list) {
    if (!encode_v2 || prev == nullptr || next == nullptr) return 0;
    return V2compressEncodeFrame(prev, next, list);
}

int compressGramEnd() {
    if (!encode_v2) return 0;
    return V2compressGramEnd();
}
