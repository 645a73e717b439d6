#include "encoder/audio/pcmtl.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "encoder/audio/wavlib.h"

namespace {

// The audio ring in the target's memory: two blocks at 0x8000 and 0x9000.
constexpr uint32_t kFifoTop = AUDIO_FIFO_TOP;
constexpr uint32_t kFifoEnd = AUDIO_FIFO_END;
constexpr uint32_t kBlockBytes = AUDIO_BLOCK_BYTES;
constexpr uint32_t kPageBytes = AUDIO_PAGE_BYTES;

uint8_t pcm2tl[0x10000];
uint8_t memory_buf[0x10000];  // image of the target's address space
uint32_t memAddress;
uint32_t fifo_addr_top = kFifoTop;
uint32_t fifo_addr_end = kFifoEnd;
FILE* fpOut;                    // borrowed from the driver
Mono_Native* mono_pcm;          // the whole sample sequence
int32_t srcPos;                 // next sample to encode
PcmtlSource source;             // or the caller's samples, one by one
void* sourceContext;
int32_t sourceCount;

// A sample's code: the attenuation below full scale in 0.75 dB steps, with
// bit 7 set for a negative sample; silence has a code of its own.
void buildCodeTable() {
    for (int32_t s = -32768; s <= 32767; ++s) {
        uint8_t code = AUDIO_CODE_SILENCE;
        if (s != 0) {
            const int32_t m = s < 0 ? -s : s;
            const double level = 20.0 * std::log10(m / AUDIO_FULL_SCALE);
            code = static_cast<uint8_t>(static_cast<int>((level - AUDIO_LEVEL_OFFSET_DB) / -AUDIO_STEP_DB));
            if (s < 0) code |= AUDIO_CODE_SIGN;
        }
        pcm2tl[static_cast<uint16_t>(s)] = code;
    }
}

uint8_t nextCode() {
    if (source) return srcPos < sourceCount ? pcm2tl[static_cast<uint16_t>(source(sourceContext, srcPos++))] : AUDIO_CODE_SILENCE;
    if (!mono_pcm || srcPos >= mono_pcm->numData) return AUDIO_CODE_SILENCE;
    return pcm2tl[static_cast<uint16_t>(mono_pcm->data[srcPos++])];
}

bool canOpen(const char* path) {
    FILE* fp = fopen(path, "rb");
    if (!fp) return false;
    fclose(fp);
    return true;
}

// The samples are taken as 16-bit mono at the player's rate, whatever the file
// holds: another rate plays at the wrong speed, stereo at half speed, another
// depth at the wrong loudness. The stream stays as it has always been made;
// the user is told how to convert the file.
void warnOfFormat(const char* path) {
    PCMINFO info{};
    if (!wavreadFormat(&info, path)) return;
    const bool rateFits = info.sampleRate == AUDIO_WAV_RATE || info.sampleRate == AUDIO_WAV_RATE + 1;
    if (rateFits && info.numBits == 16 && info.numChannels == 1) return;
    printf("Warning: '%s' is %lld Hz, %d-bit, %d channel%s, but is encoded as 16-bit mono at %d Hz: convert it with "
           "vendrel-prep, or with ffmpeg -i '%s' -ac 1 -ar %d -c:a pcm_s16le OUT.wav\n",
           path, static_cast<long long>(info.sampleRate), info.numBits, info.numChannels,
           info.numChannels == 1 ? "" : "s", AUDIO_WAV_RATE, path, AUDIO_WAV_RATE);
}

// The ring empty, the code table, the audio index entry.
void startRing(AvIndexEntry* entry) {
    fifo_addr_top = kFifoTop;
    fifo_addr_end = kFifoEnd;
    memAddress = kFifoTop;
    buildCodeTable();

    avEntrySetU16(entry, AVENTRY_FIFO_TOP, static_cast<uint16_t>(kFifoTop));
    avEntrySetU16(entry, AVENTRY_FIFO_END, static_cast<uint16_t>(kFifoEnd));
    avEntrySetU16(entry, AVENTRY_BLOCK_SIZE, static_cast<uint16_t>(kBlockBytes));
    avEntrySetU16(entry, AVENTRY_KIND_PARAM, AUDIO_KIND_PARAM);
}

}  // namespace

const uint8_t* pcmtlCodeTable() { return pcm2tl; }

int pcmtl_Init(FILE* fp, const char* path, AvIndexEntry* entry) {
    fpOut = fp;
    // The reader has no way back for a file it cannot open; check first so the
    // driver can end the run itself.
    if (!path || !*path || !canOpen(path)) {
        printf("Error!: Can't open the audio file '%s'.\n", path ? path : "");
        return -1;
    }
    pcmtl_End();
    mono_pcm = alloc_Mono_Native();
    wavread_Mono_Native(mono_pcm, path);
    srcPos = 0;
    printf("sampleRate:%d\n", static_cast<int>(static_cast<uint32_t>(mono_pcm->sampleRate)));
    printf("numBits:%d\n", mono_pcm->numBits);
    printf("numData:%d\n", mono_pcm->numData);
    warnOfFormat(path);

    startRing(entry);
    return 0;
}

void pcmtl_InitSource(FILE* fp, PcmtlSource from, void* context, int32_t count, AvIndexEntry* entry) {
    fpOut = fp;
    pcmtl_End();
    source = from;
    sourceContext = context;
    sourceCount = count;
    srcPos = 0;
    startRing(entry);
}

void pcmtl_Reset() {
    pcmtl_End();
    std::memset(pcm2tl, 0, sizeof pcm2tl);
    std::memset(memory_buf, 0, sizeof memory_buf);
    memAddress = 0;
    fifo_addr_top = kFifoTop;
    fifo_addr_end = kFifoEnd;
    fpOut = nullptr;
    srcPos = 0;
}

int pcmtl_Encode() {
    uint32_t a = memAddress;
    if (a >= fifo_addr_end) {
        a -= fifo_addr_end - fifo_addr_top;
        memAddress = a;
    }
    // Each page starts with the high byte of the page that follows it, so the
    // player can tell where its next page is.
    for (uint32_t p = a; p < a + kBlockBytes; ++p) {
        memory_buf[p & 0xFFFF] = (p & 0xFF) == 0 ? static_cast<uint8_t>((p >> 8) + 1) : nextCode();
    }
    memAddress = a + kBlockBytes;
    // The block's last page points at itself: the next block may go elsewhere.
    const uint32_t lastPage = a + kBlockBytes - kPageBytes;
    memory_buf[lastPage & 0xFFFF] = static_cast<uint8_t>(lastPage >> 8);

    const uint8_t* block = memory_buf + (a & 0xFFFF);
    if (!fpOut || fwrite(block, 1, kBlockBytes, fpOut) != kBlockBytes) streamReportWriteError("audio block");
    avindexAdd(AVINDEX_KIND_AUDIO, 1);
    return 0;
}

PcmtlPosition pcmtlTell() { return {memAddress, srcPos}; }

void pcmtlSeek(const PcmtlPosition& position) {
    memAddress = position.memAddress;
    srcPos = position.srcPos;
}

int pcmtl_End() {
    source = nullptr;
    sourceContext = nullptr;
    sourceCount = 0;
    if (mono_pcm) {
        free_Mono_Native(mono_pcm);
        mono_pcm = nullptr;
    }
    return 0;
}
