#include "encoder/stream/avindex.h"

#include <bit>
#include <cstring>

#include "encoder/audio/pcmtl.h"
#include "encoder/driver/log.h"
#include "format/endian.h"

AvIndexEntry hdr[2];
uint8_t avindex_table[AVINDEX_TABLE_BYTES];
int avindex_pos;

FILE* fpDst;
int curFrame;
int fileFrame;
int frameTime;
int audioBlock;
double audioSamplesVframe;
bool streamWriteFailed;

namespace {
bool indexFullReported;
bool writeErrorReported;
}  // namespace

void avEntrySetU16(AvIndexEntry* entry, int offset, uint16_t value) { putLeU16(entry->bytes + offset, value); }

uint16_t avEntryGetU16(const AvIndexEntry* entry, int offset) { return leU16(entry->bytes + offset); }

AvIndexEntry* avindexInit() {
    avindex_pos = 0;
    indexFullReported = false;
    std::memset(hdr, 0, sizeof hdr);
    std::memset(avindex_table, 0, sizeof avindex_table);
    return hdr;
}

void avindexReset() {
    avindexInit();
    fpDst = nullptr;
    curFrame = fileFrame = frameTime = audioBlock = 0;
    audioSamplesVframe = 0.0;
    streamWriteFailed = false;
    writeErrorReported = false;
}

void avindexSave(AvIndexState* s) {
    std::memcpy(s->header, hdr, sizeof s->header);
    std::memcpy(s->table, avindex_table, sizeof s->table);
    s->blocksIndexed = avindex_pos;
    s->current = curFrame;
    s->fileFrame = fileFrame;
    s->frameTime = frameTime;
    s->audioBlocks = audioBlock;
    s->writeFailed = streamWriteFailed;
}

void avindexRestore(const AvIndexState& s) {
    std::memcpy(hdr, s.header, sizeof s.header);
    std::memcpy(avindex_table, s.table, sizeof s.table);
    avindex_pos = s.blocksIndexed;
    curFrame = s.current;
    fileFrame = s.fileFrame;
    frameTime = s.frameTime;
    audioBlock = s.audioBlocks;
    streamWriteFailed = s.writeFailed;
}

void avindexAdd(int kind, int count) {
    for (int i = 0; i < count; ++i) {
        if (avindex_pos >= AVINDEX_MAX_BLOCKS) {
            // The player cannot reach blocks past the index; they are still written.
            if (!indexFullReported) {
                printf("warning: the stream has more than %d blocks; the player cannot reach the blocks past that limit\n",
                       AVINDEX_MAX_BLOCKS);
                indexFullReported = true;
            }
            return;
        }
        AvIndexEntry* entry = &hdr[kind];
        avEntrySetU16(entry, AVENTRY_BLOCK_COUNT,
                      static_cast<uint16_t>(avEntryGetU16(entry, AVENTRY_BLOCK_COUNT) + 1));
        if (kind == AVINDEX_KIND_AUDIO) avindex_table[avindex_pos >> 3] |= avIndexBlockMask(avindex_pos);
        ++avindex_pos;
    }
}

int avindexOut(FILE* stream) {
    if (fwrite(hdr, 1, sizeof hdr, stream) != sizeof hdr) return -1;
    if (fwrite(avindex_table, 1, sizeof avindex_table, stream) != sizeof avindex_table) return -1;
    return avindex_pos;
}

// audioSamplesVframe of a stream with sound is exactly this numerator / 2^55.
constexpr uint64_t AUDIO_BLOCKS_NUMERATOR = 1149816081334379ULL;
constexpr int AUDIO_BLOCKS_SHIFT = 55;
static_assert(AUDIO_BLOCKS_PER_DISPLAY_FRAME == static_cast<double>(AUDIO_BLOCKS_NUMERATOR) / (1ULL << AUDIO_BLOCKS_SHIFT));
static_assert(std::bit_cast<uint64_t>(AUDIO_BLOCKS_PER_DISPLAY_FRAME) == 0x3FA05701AC5701ACULL);

int audioBlocksDue(int frameTimeValue) {
    // The floor of audioSamplesVframe times the frame time is taken in exact
    // integer arithmetic, since a double product rounds up to an integer at
    // multiples of 19584.
    constexpr unsigned __int128 numerator = AUDIO_BLOCKS_NUMERATOR;
    if (frameTimeValue <= 0) return 2;
    const unsigned __int128 product = numerator * static_cast<unsigned __int128>(frameTimeValue);
    return static_cast<int>(product >> AUDIO_BLOCKS_SHIFT) + 2;
}

void streamReportWriteError(const char* what) {
    streamWriteFailed = true;
    if (writeErrorReported) return;
    writeErrorReported = true;
    printf("error: could not write the %s to the output stream (disk full?)\n", what);
}

void videoUpdateCB(const uint8_t* data, int offset, int length) {
    if (length > 0) {
        log_printf(LOG_STREAM_BLOCK, "FBLOCK[VIDEO,addr=%04X,frame[%4d-%4d]\n", offset, fileFrame, curFrame);
        const size_t written = fpDst ? fwrite(data + offset, 1, static_cast<size_t>(length), fpDst) : 0;
        if (fpDst && written != static_cast<size_t>(length)) streamReportWriteError("video block");
        if (written == 0) return;
        avindexAdd(AVINDEX_KIND_VIDEO, 1);
        fileFrame = curFrame;
    }
    if (audioSamplesVframe == 0.0) return;
    const int due = audioBlocksDue(frameTime);
    while (audioBlock < due) {
        printf("FBLOCK[AUDIO,%4d]\n", audioBlock);
        pcmtl_Encode();
        ++audioBlock;
    }
}
