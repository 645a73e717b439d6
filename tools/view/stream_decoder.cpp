#include "tools/view/stream_decoder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

// Only the format's constants come from the encoder's headers.
#include "encoder/audio/pcmtl.h"
#include "encoder/image/decode_bmp.h"
#include "encoder/stream/avindex.h"
#include "encoder/video/fifo.h"
#include "encoder/video/v2format.h"

namespace view {
namespace {

// ---- The container -------------------------------------------------------

constexpr int INDEX_BYTES = AVINDEX_HEADER_BYTES + AVINDEX_TABLE_BYTES;  // 4096
constexpr int ENTRY_BYTES = static_cast<int>(sizeof(AvIndexEntry));  // 16
constexpr int VIDEO_ENTRY_FIXED_BYTES = 6;  // fifoTop, fifoEnd, blockSize

constexpr int VIDEO_BLOCK_BYTES = FIFO_PAGE_BYTES;
constexpr int VIDEO_RING_SLOTS = (FIFO_RING_END - FIFO_RING_TOP) / FIFO_PAGE_BYTES;  // 4

constexpr int AUDIO_RING_SLOTS = (AUDIO_FIFO_END - AUDIO_FIFO_TOP) / AUDIO_BLOCK_BYTES;  // 2
constexpr int AUDIO_PAGES = AUDIO_BLOCK_BYTES / AUDIO_PAGE_BYTES;  // 16
constexpr int AUDIO_CODES_PER_PAGE = AUDIO_PAGE_BYTES - 1;        // byte 0 is the page marker
static_assert(AUDIO_PAGES * AUDIO_CODES_PER_PAGE == AUDIO_SAMPLES_PER_BLOCK);

// ---- GRAM ----------------------------------------------------------------

// Component order in the stored levels (r, g, b) and the stream order (g, r, b).
enum Component { RED = 0, GREEN = 1, BLUE = 2 };
constexpr int STREAM_COMPONENT[3] = {GREEN, RED, BLUE};
constexpr uint8_t HEADER_COMPONENT_BIT[3] = {V2PAL_HDR_GREEN, V2PAL_HDR_RED, V2PAL_HDR_BLUE};

// ---- Decoder state (one decoder per process) -------------------------------

struct Decoder {
    FILE* file;
    long long fileSize;
    long long blockOffset;  // file offset of the block being decoded
    DecodeOptions options;
    const Sink* sink;
    Summary* summary;

    uint8_t index[INDEX_BYTES];
    int indexedBlocks;  // entries the bitmap speaks for

    uint8_t gram[2][GRAM_PAGE_BYTES];
    uint8_t level[2][PALET_NUMBERS][3];  // 4-bit levels r, g, b per page
    uint64_t announced[2];
    uint8_t block[VIDEO_BLOCK_BYTES];
    int16_t samples[AUDIO_SAMPLES_PER_BLOCK];
    uint8_t rgb[RGB_BYTES];

    int blockNo;  // over all blocks of the file
    int videoNo;  // within the kind, for the block being decoded
    int audioNo;
    int currentKind;
    int page;      // GRAM page the current frame draws into
    int high;      // the high address byte H
    int interval;  // display frames per video frame in force
    bool ended;
    int lastVideoBlock;  // video block the stream end requires last (ring's last page)
    bool frameOpen;      // drawing or palette commands since the last frame end
    bool drawing;        // page, DRAW or FIL1 commands since the last frame end
    bool pageSetInFrame; // the frame's absolute page set met (or its absence reported)
    bool nopFill;        // a NOP met in the block: only NOPs may follow up to the marker
    bool optionsPending;
    long long lastFrameEnd;  // stream position (video bytes) just after the last frame end
    bool leadPending;
    int leadBlock;
    long long leadDisplayFrames;
    int reports;
    bool warnedUnindexed;
};

Decoder g;

void resetDecoder(const DecodeOptions& options, const Sink& sink, Summary& summary) {
    g.file = nullptr;
    g.fileSize = 0;
    g.blockOffset = 0;
    g.options = options;
    g.sink = &sink;
    g.summary = &summary;
    summary = Summary{};
    std::memset(g.index, 0, sizeof g.index);
    g.indexedBlocks = 0;
    std::memset(g.gram, 0, sizeof g.gram);
    // Every level starts at 0: the encoder's initial palettes differ from
    // black only in the bits below the 4 that reach the target.
    std::memset(g.level, 0, sizeof g.level);
    g.announced[0] = g.announced[1] = 0;
    g.blockNo = g.videoNo = g.audioNo = 0;
    g.currentKind = AVINDEX_KIND_VIDEO;
    g.page = 0;
    g.high = 0;
    g.interval = 0;
    g.ended = false;
    g.lastVideoBlock = -1;
    g.frameOpen = false;
    g.drawing = false;
    g.pageSetInFrame = false;
    g.nopFill = false;
    g.optionsPending = false;
    g.lastFrameEnd = 0;
    g.leadPending = false;
    g.leadBlock = 0;
    g.leadDisplayFrames = 0;
    g.reports = 0;
    g.warnedUnindexed = false;
}

// ---- Messages --------------------------------------------------------------

__attribute__((format(printf, 1, 2))) void message(const char* format, ...) {
    if (g.options.quiet) return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void vreport(const char* where, const char* format, va_list args) {
    if (g.options.quiet) return;
    if (g.reports >= g.options.maxReports) {
        if (g.reports == g.options.maxReports && g.options.maxReports > 0) {
            printf("violation: (further violations are counted, not shown)\n");
        }
        ++g.reports;
        return;
    }
    ++g.reports;
    printf("violation: %s: ", where);
    vprintf(format, args);
    printf("\n");
}

void countProblem(Problem kind) {
    ++g.summary->problems[static_cast<int>(kind)];
    ++g.summary->problemTotal;
}

// A fault inside the block being decoded, at offset within it.
__attribute__((format(printf, 3, 4))) void blockProblem(Problem kind, int offset, const char* format, ...) {
    countProblem(kind);
    char where[96];
    const bool video = g.currentKind == AVINDEX_KIND_VIDEO;
    snprintf(where, sizeof where, "block %d (%s %d) offset 0x%04X", g.blockNo, video ? "video" : "audio",
             video ? g.videoNo : g.audioNo, offset);
    va_list args;
    va_start(args, format);
    vreport(where, format, args);
    va_end(args);
}

__attribute__((format(printf, 3, 4))) void indexProblem(Problem kind, int offset, const char* format, ...) {
    countProblem(kind);
    char where[64];
    snprintf(where, sizeof where, "index offset 0x%03X", offset);
    va_list args;
    va_start(args, format);
    vreport(where, format, args);
    va_end(args);
}

__attribute__((format(printf, 2, 3))) void streamProblem(Problem kind, const char* format, ...) {
    countProblem(kind);
    va_list args;
    va_start(args, format);
    vreport("stream", format, args);
    va_end(args);
}

__attribute__((format(printf, 1, 2))) void warning(const char* format, ...) {
    ++g.summary->warnings;
    if (g.options.quiet) return;
    va_list args;
    va_start(args, format);
    printf("warning: ");
    vprintf(format, args);
    printf("\n");
    va_end(args);
}

// ---- File access -----------------------------------------------------------

unsigned u16At(const uint8_t* bytes) { return bytes[0] | bytes[1] << 8; }

// Reads up to n bytes at the current position; returns the count read.
long readBytes(uint8_t* into, long n) { return static_cast<long>(fread(into, 1, static_cast<size_t>(n), g.file)); }

bool seekTo(long long offset) { return fseeko(g.file, static_cast<off_t>(offset), SEEK_SET) == 0; }

// The video entry's fixed fields at the given bytes: fifoTop, fifoEnd, blockSize.
bool videoEntryAt(const uint8_t* bytes) {
    return u16At(bytes + AVENTRY_FIFO_TOP) == FIFO_RING_TOP && u16At(bytes + AVENTRY_FIFO_END) == FIFO_RING_END &&
           u16At(bytes + AVENTRY_BLOCK_SIZE) == VIDEO_BLOCK_BYTES;
}

// Finds the index by the fixed fields of its video entry, from offset 0 on.
long scanForIndex() {
    static uint8_t head[STREAM_BOOTCODE_MAX_BYTES + VIDEO_ENTRY_FIXED_BYTES];
    if (!seekTo(0)) return -1;
    const long got = readBytes(head, sizeof head);
    for (long offset = 0; offset + VIDEO_ENTRY_FIXED_BYTES <= got; ++offset) {
        if (videoEntryAt(head + offset)) return offset;
    }
    return -1;
}

// What a file without an index is, when its first bytes say so: a video,
// a picture or a sound given in place of a stream. nullptr when unknown.
const char* otherFileKind() {
    uint8_t head[12] = {};
    if (!seekTo(0) || readBytes(head, sizeof head) != sizeof head) return nullptr;
    const auto is = [&](int at, const char* magic) { return memcmp(head + at, magic, strlen(magic)) == 0; };
    if (is(4, "ftyp") || is(0, "\x1A\x45\xDF\xA3") || (is(0, "RIFF") && is(8, "AVI ")) || is(0, "FLV") ||
        is(0, "OggS"))
        return "a video file (vendrel-prep turns it into frames and sound for vendrel)";
    if (is(0, "RIFF") && is(8, "WAVE")) return "a WAV file (vendrel takes it with -a)";
    if (is(0, "BM")) return "a BMP picture (vendrel takes frames like it)";
    if (is(0, "\x89PNG") || is(0, "\xFF\xD8\xFF") || is(0, "GIF8")) return "a picture";
    return nullptr;
}

// ---- Index -----------------------------------------------------------------

bool bitmapBit(int k) {
    const uint8_t* table = g.index + AVINDEX_HEADER_BYTES;
    return (table[k >> 3] & (0x80 >> (k & 7))) != 0;
}

bool allZero(const uint8_t* bytes, int n) {
    for (int i = 0; i < n; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

void checkU16(const uint8_t* entry, int entryOffset, int field, unsigned expected, const char* name) {
    const unsigned value = u16At(entry + field);
    if (value != expected) {
        indexProblem(Problem::IndexHeader, entryOffset + field, "%s is 0x%04X, expected 0x%04X", name, value,
                     expected);
    }
}

void checkIndex() {
    Summary& s = *g.summary;
    const uint8_t* video = g.index;
    const uint8_t* audio = g.index + ENTRY_BYTES;
    s.indexedVideo = static_cast<int>(u16At(video + AVENTRY_BLOCK_COUNT));
    s.indexedAudio = static_cast<int>(u16At(audio + AVENTRY_BLOCK_COUNT));
    s.startInterval = video[AVENTRY_KIND_PARAM];

    checkU16(video, 0, AVENTRY_FIFO_TOP, FIFO_RING_TOP, "video fifoTop");
    checkU16(video, 0, AVENTRY_FIFO_END, FIFO_RING_END, "video fifoEnd");
    checkU16(video, 0, AVENTRY_BLOCK_SIZE, VIDEO_BLOCK_BYTES, "video blockSize");
    if (!allZero(video + AVENTRY_KIND_PARAM + 1, ENTRY_BYTES - AVENTRY_KIND_PARAM - 1)) {
        indexProblem(Problem::IndexHeader, AVENTRY_KIND_PARAM + 1, "video entry bytes 9-15 are not zero");
    }
    if (s.startInterval > V2OPT_INTERVAL_MAX) {
        warning("the index's starting interval %d is above %d", s.startInterval, V2OPT_INTERVAL_MAX);
    }

    int total = s.indexedVideo + s.indexedAudio;
    if (total > AVINDEX_MAX_BLOCKS) {
        indexProblem(Problem::Bitmap, AVENTRY_BLOCK_COUNT, "block counts %d + %d exceed the index's %d blocks",
                     s.indexedVideo, s.indexedAudio, AVINDEX_MAX_BLOCKS);
        total = AVINDEX_MAX_BLOCKS;
    }
    g.indexedBlocks = total;
    int audioBits = 0;
    for (int k = 0; k < total; ++k) audioBits += bitmapBit(k) ? 1 : 0;
    if (audioBits != s.indexedAudio) {
        indexProblem(Problem::Bitmap, ENTRY_BYTES + AVENTRY_BLOCK_COUNT,
                     "audio blockCount %d, but the bitmap marks %d of the first %d blocks as audio", s.indexedAudio,
                     audioBits, total);
    }
    for (int k = total; k < AVINDEX_MAX_BLOCKS; ++k) {
        if (bitmapBit(k)) {
            indexProblem(Problem::Bitmap, AVINDEX_HEADER_BYTES + (k >> 3),
                         "bitmap bit %d is set beyond the %d indexed blocks", k, total);
            break;
        }
    }

    const bool hasAudio = s.indexedAudio > 0 || audioBits > 0;
    if (!hasAudio) {
        if (!allZero(audio, ENTRY_BYTES)) {
            indexProblem(Problem::IndexHeader, ENTRY_BYTES, "audio entry is not all zero in a stream without audio");
        }
        return;
    }
    checkU16(audio, ENTRY_BYTES, AVENTRY_FIFO_TOP, AUDIO_FIFO_TOP, "audio fifoTop");
    checkU16(audio, ENTRY_BYTES, AVENTRY_FIFO_END, AUDIO_FIFO_END, "audio fifoEnd");
    checkU16(audio, ENTRY_BYTES, AVENTRY_BLOCK_SIZE, AUDIO_BLOCK_BYTES, "audio blockSize");
    checkU16(audio, ENTRY_BYTES, AVENTRY_KIND_PARAM, AUDIO_KIND_PARAM, "audio kindParam");
    if (!allZero(audio + AVENTRY_KIND_PARAM + 2, ENTRY_BYTES - AVENTRY_KIND_PARAM - 2)) {
        indexProblem(Problem::IndexHeader, ENTRY_BYTES + AVENTRY_KIND_PARAM + 2,
                     "audio entry bytes 10-15 are not zero");
    }
}

// ---- Pictures --------------------------------------------------------------

int paletteNumberAt(const uint8_t* gram, int x, int y) {
    const int offset = gramLayerOffset(x, y);
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (x & 7));
    int p = 0;
    for (int bit = 0; bit < GRAM_PALET_BITS; ++bit) {
        if (gram[GRAM_LAYER_OF_BIT[bit] + offset] & mask) p |= 1 << bit;
    }
    return p;
}

// Renders a page with its palette into g.rgb; returns the palette numbers used.
uint64_t renderPage(int page) {
    uint64_t used = 0;
    uint8_t* out = g.rgb;
    for (int y = 0; y < SCREEN_H; ++y) {
        for (int x = 0; x < SCREEN_W; ++x) {
            const int p = paletteNumberAt(g.gram[page], x, y);
            used |= uint64_t{1} << p;
            const uint8_t* levels = g.level[page][p];
            *out++ = levels[RED];
            *out++ = levels[GREEN];
            *out++ = levels[BLUE];
        }
    }
    return used;
}

// ---- Audio lead ------------------------------------------------------------

bool streamHasAudio() { return g.summary->indexedAudio > 0 || g.summary->audioBlocks > 0; }

// The lead of a video block is taken once the audio blocks that follow it in
// the file are known: the player has them in hand when it moves past the block.
void settleLead() {
    if (!g.leadPending) return;
    g.leadPending = false;
    if (!streamHasAudio()) return;
    Summary& s = *g.summary;
    const double audioSeconds = static_cast<double>(s.audioBlocks) * AUDIO_SAMPLES_PER_BLOCK / AUDIO_SAMPLE_RATE;
    const double lead = audioSeconds - static_cast<double>(g.leadDisplayFrames) / DISPLAY_FRAMES_PER_SECOND;
    if (!s.leadKnown || lead < s.minLeadSeconds) {
        s.leadKnown = true;
        s.minLeadSeconds = lead;
        s.minLeadBlock = g.leadBlock;
    }
}

// ---- Video commands --------------------------------------------------------

// Stream position just past offset of the current video block.
long long streamPosition(int offset) { return static_cast<long long>(g.videoNo) * VIDEO_BLOCK_BYTES + offset + 1; }

void noteFrameSize(int number, long bytes) {
    Summary& s = *g.summary;
    s.frameBytesTotal += bytes;
    if (bytes > s.frameBytesMax || s.largestCount == 0) {
        s.frameBytesMax = bytes;
        s.largestCount = 0;
    }
    if (bytes == s.frameBytesMax) {
        if (s.largestCount < LARGEST_FRAMES_KEPT) s.largestFrames[s.largestCount] = number;
        ++s.largestCount;
    }
}

bool frameEnd(int offset) {
    Summary& s = *g.summary;
    const uint64_t used = renderPage(g.page);
    s.unannounced[g.page] |= used & ~g.announced[g.page];
    const long long position = streamPosition(offset);
    const Frame frame{s.frames, g.page,         g.interval,     static_cast<long>(position - g.lastFrameEnd),
                      g.rgb,    g.gram[g.page], g.level[g.page]};
    g.lastFrameEnd = position;
    noteFrameSize(frame.number, frame.bytes);
    ++s.frames;
    s.displayFrames += g.interval;
    g.frameOpen = false;
    g.drawing = false;
    g.pageSetInFrame = false;
    g.optionsPending = false;
    if (g.options.pages == 2) g.page ^= 1;
    if (g.sink->frame && !g.sink->frame(g.sink->context, frame)) {
        s.stopped = true;
        return false;
    }
    return true;
}

// Room check for a command of length bytes at offset: it must end before the
// block's last byte, which belongs to the page-end marker.
bool fits(int offset, int length, const char* name) {
    if (offset + length <= FIFO_PAGE_LAST) return true;
    if (offset + length == FIFO_PAGE_LAST + 1) {
        blockProblem(Problem::CommandCut, offset, "%s command of %d bytes takes the block's last byte", name, length);
    } else {
        blockProblem(Problem::CommandCut, offset, "%s command of %d bytes crosses the end of the block", name, length);
    }
    return false;
}

// The player may not carry the high address byte from one frame into the
// next: every frame opens its drawing with the absolute page set 0x7A. Each
// frame without it is reported once; decoding goes on with the byte carried.
void noteDrawing(int offset, const char* name) {
    if (!g.pageSetInFrame) {
        blockProblem(Problem::CommandOrder, offset, "%s before the frame's page set (0x7A)", name);
        g.pageSetInFrame = true;
    }
    g.drawing = true;
    g.frameOpen = true;
}

// Options and palette updates belong before the frame's first page command.
void checkBeforeDrawing(int offset, const char* name) {
    if (g.drawing) blockProblem(Problem::CommandOrder, offset, "%s after drawing commands in the frame", name);
}

void checkAddress(int offset, int low) {
    const int address = g.high * V2_ADDRESS_PAGE_BYTES + low;
    if (address < V2_GRAM_PLANE_TOP) {
        blockProblem(Problem::AddressOutside, offset, "address 0x%04X lies below the pixel planes", address);
    }
}

int drawCommand(const uint8_t* b, int offset) {
    const uint8_t op = b[offset];
    const int entries = (op & 0x0F) + 1;
    int width = 0;
    switch (op & 0xF0) {
        case V2OP_DRAW1: width = 1; break;
        case V2OP_DRAW2: width = 2; break;
        case V2OP_DRAW3: width = 3; break;
        default: width = 4; break;
    }
    const int length = 1 + entries * (width + 1);
    char name[8];
    snprintf(name, sizeof name, "DRAW%d", width);
    if (!fits(offset, length, name)) return 0;
    noteDrawing(offset, name);
    uint8_t* gram = g.gram[g.page];
    for (int e = 0; e < entries; ++e) {
        const int at = offset + 1 + e * (width + 1);
        const int low = b[at];
        checkAddress(at, low);
        if (low + width - 1 > 0xFF) {
            blockProblem(Problem::DrawOutsidePage, at, "DRAW%d entry at 0x%02X%02X leaves its address page", width,
                         g.high, low);
        }
        const int address = g.high * V2_ADDRESS_PAGE_BYTES + low;
        for (int i = 0; i < width; ++i) gram[(address + i) & (GRAM_PAGE_BYTES - 1)] = b[at + 1 + i];
    }
    return length;
}

int fillCommand(const uint8_t* b, int offset) {
    const int entries = (b[offset] & 0x0F) + 1;
    const int length = 2 + entries;
    if (!fits(offset, length, "FIL1")) return 0;
    noteDrawing(offset, "FIL1");
    const uint8_t value = b[offset + 1];
    for (int e = 0; e < entries; ++e) {
        const int at = offset + 2 + e;
        checkAddress(at, b[at]);
        g.gram[g.page][(g.high * V2_ADDRESS_PAGE_BYTES + b[at]) & (GRAM_PAGE_BYTES - 1)] = value;
    }
    return length;
}

// Returns true when the level changes.
bool setLevel(int page, int p, int component, uint8_t componentByte) {
    const uint8_t level = componentByte & V2PAL_LEVEL_MASK;
    const bool changed = g.level[page][p][component] != level;
    g.level[page][p][component] = level;
    return changed;
}

// An entry for a number its page already announced that changes none of its
// levels: the encoder sends only changes, so these point at a stream read
// with the wrong buffering mode.
void noteRepeatedEntry(int page, int p, bool changed) {
    if (!changed && (g.announced[page] >> p & 1)) ++g.summary->repeatedEntries;
}

// The palette 0 entry: header 0x01, then green, red, blue, each with its own
// "unchanged" bit. Palette number 0 is shared by both pages.
void paletteZeroEntry(const uint8_t* b, int at) {
    if (b[at] != V2PAL_HDR_ZERO) {
        blockProblem(Problem::PaletteEntry, at, "palette 0 entry header 0x%02X has other bits set", b[at]);
    }
    bool changed = false;
    for (int c = 0; c < 3; ++c) {
        const uint8_t byte = b[at + 1 + c];
        if (byte & (V2PAL_NUMBER_LOW_BITS | V2PAL_RESERVED)) {
            blockProblem(Problem::PaletteEntry, at + 1 + c, "palette 0 component byte 0x%02X has stray bits", byte);
        }
        if (byte & V2PAL_UNCHANGED) continue;
        changed |= setLevel(0, 0, STREAM_COMPONENT[c], byte);
        changed |= setLevel(1, 0, STREAM_COMPONENT[c], byte);
    }
    noteRepeatedEntry(0, 0, changed);
    g.announced[0] |= 1;
    g.announced[1] |= 1;
}

// An entry for palette number p != 0; returns its size.
int paletteEntry(const uint8_t* b, int at, int room) {
    const uint8_t header = b[at];
    int components = 0;
    for (uint8_t bit : HEADER_COMPONENT_BIT) components += (header & bit) ? 1 : 0;
    const int size = 1 + components;
    if (size > room) return -size;
    if (components == 0) {
        blockProblem(Problem::PaletteEntry, at, "palette entry header 0x%02X names no component", header);
        return size;
    }
    int p = v2PaletNumberHigh(header);
    int lowBits = -1;
    int byteAt = at + 1;
    for (int c = 0; c < 3; ++c) {
        if (!(header & HEADER_COMPONENT_BIT[c])) continue;
        const uint8_t byte = b[byteAt];
        const int bits = v2PaletNumberLow(byte);
        if (lowBits >= 0 && bits != lowBits) {
            blockProblem(Problem::PaletteEntry, byteAt, "component bytes of one palette entry name different numbers");
        }
        if (lowBits < 0) lowBits = bits;
        if (byte & (V2PAL_UNCHANGED | V2PAL_RESERVED)) {
            blockProblem(Problem::PaletteEntry, byteAt, "component byte 0x%02X has stray bits", byte);
        }
        ++byteAt;
    }
    p |= lowBits;
    if (p == 0) {
        blockProblem(Problem::PaletteEntry, at, "palette 0 sent in the short entry form");
    }
    byteAt = at + 1;
    bool changed = false;
    for (int c = 0; c < 3; ++c) {
        if (!(header & HEADER_COMPONENT_BIT[c])) continue;
        changed |= setLevel(g.page, p, STREAM_COMPONENT[c], b[byteAt++]);
    }
    noteRepeatedEntry(g.page, p, changed);
    g.announced[g.page] |= uint64_t{1} << p;
    return size;
}

int paletteCommand(const uint8_t* b, int offset) {
    if (!fits(offset, 2, "palette")) return 0;
    checkBeforeDrawing(offset, "palette update");
    const int count = b[offset + 1];
    if (count < 1 || count > V2_PALET_MAX_ENTRIES) {
        blockProblem(Problem::EntryCount, offset + 1, "palette update with %d entries (1 to %d)", count,
                     V2_PALET_MAX_ENTRIES);
    }
    int at = offset + 2;
    for (int e = 0; e < count; ++e) {
        const int room = FIFO_PAGE_LAST - at;
        if (room <= 0) {
            fits(offset, at - offset + 1, "palette");
            return 0;
        }
        if (b[at] & V2PAL_HDR_ZERO) {
            if (room < V2_PALET_ENTRY_MAX_BYTES) {
                fits(offset, at - offset + V2_PALET_ENTRY_MAX_BYTES, "palette");
                return 0;
            }
            paletteZeroEntry(b, at);
            at += V2_PALET_ENTRY_MAX_BYTES;
            continue;
        }
        const int size = paletteEntry(b, at, room);
        if (size < 0) {
            fits(offset, at - offset - size, "palette");
            return 0;
        }
        at += size;
    }
    g.frameOpen = true;
    return at - offset;
}

int optionCommand(const uint8_t* b, int offset) {
    if (!fits(offset, 2, "option")) return 0;
    checkBeforeDrawing(offset, "option");
    const uint8_t value = b[offset + 1];
    ++g.summary->optionCount[value];
    if (value <= V2OPT_INTERVAL_MAX) g.interval = value;
    g.optionsPending = true;
    return 2;
}

int pageSet(const uint8_t* b, int offset) {
    if (!fits(offset, 2, "page set")) return 0;
    g.high = b[offset + 1];
    if (g.high < V2_GRAM_PLANE_TOP / V2_ADDRESS_PAGE_BYTES) {
        blockProblem(Problem::AddressOutside, offset, "page set to 0x%02X, below the pixel planes", g.high);
    }
    g.pageSetInFrame = true;
    g.drawing = true;
    g.frameOpen = true;
    return 2;
}

int pageAdvance(const uint8_t* b, int offset) {
    noteDrawing(offset, "page advance");
    g.high += b[offset];
    if (g.high > 0xFF) {
        blockProblem(Problem::AddressOutside, offset, "page advance by %d goes past address page 0xFF", b[offset]);
        g.high &= 0xFF;
    }
    return 1;
}

int streamEnd(int offset) {
    if (g.frameOpen) {
        blockProblem(Problem::FrameNotEnded, offset, "stream end inside a frame (no frame end 0x7E)");
    }
    g.ended = true;
    g.lastVideoBlock = g.videoNo + (VIDEO_RING_SLOTS - 1 - g.videoNo % VIDEO_RING_SLOTS);
    return 1;
}

// NOPs fill a block from where the next command did not fit up to its
// marker; a command after them is reported once per run of NOPs and carried
// out as usual (an early marker is reported as a marker).
void checkAfterFill(int offset, uint8_t op) {
    if (!g.nopFill || op == V2OP_BLOCK || op == V2OP_LOOP) return;
    blockProblem(Problem::NopFill, offset, "0x%02X after NOP fill (only 0x00 may follow up to the page-end marker)",
                 op);
    g.nopFill = false;
}

// Carries out the command at offset. Returns its length, or 0 when the rest
// of the block cannot be followed (fault, early page-end marker, stop).
int command(const uint8_t* b, int offset) {
    const uint8_t op = b[offset];
    if (op == V2OP_NOP) {
        g.nopFill = true;
        return 1;
    }
    checkAfterFill(offset, op);
    if (op <= V2OP_PAGE_ADVANCE_MAX) return pageAdvance(b, offset);
    if (op >= V2OP_DRAW2 && op < V2OP_FIL1) return drawCommand(b, offset);
    if (op >= V2OP_FIL1 && op < V2OP_FIL1 + V2_CMD_MAX_ENTRIES) return fillCommand(b, offset);
    switch (op) {
        case V2OP_PALET: return paletteCommand(b, offset);
        case V2OP_OPTION: return optionCommand(b, offset);
        case V2OP_PAGE_SET: return pageSet(b, offset);
        case V2OP_FRAME_END: return frameEnd(offset) ? 1 : 0;
        case V2OP_STREAM_END: return streamEnd(offset);
        case V2OP_BLOCK:
        case V2OP_LOOP:
            blockProblem(Problem::Marker, offset, "page-end marker 0x%02X before the block's last byte", op);
            return 0;
        default:
            blockProblem(Problem::BadOpcode, offset, "0x%02X is not a command", op);
            return 0;
    }
}

void checkMarker() {
    const bool ringEnd = g.videoNo % VIDEO_RING_SLOTS == VIDEO_RING_SLOTS - 1;
    const uint8_t expected = ringEnd ? V2OP_LOOP : V2OP_BLOCK;
    const uint8_t marker = g.block[FIFO_PAGE_LAST];
    if (marker == expected) return;
    if (marker == V2OP_BLOCK || marker == V2OP_LOOP) {
        blockProblem(Problem::Marker, FIFO_PAGE_LAST, "page-end marker 0x%02X at ring slot %d, expected 0x%02X",
                     marker, g.videoNo % VIDEO_RING_SLOTS, expected);
    } else {
        blockProblem(Problem::Marker, FIFO_PAGE_LAST, "block ends with 0x%02X, not a page-end marker (0x%02X)", marker,
                     expected);
    }
}

// After the stream end every byte up to the page-end marker is 0x7F.
void checkEndFill(int from) {
    for (int offset = from; offset < FIFO_PAGE_LAST; ++offset) {
        if (g.block[offset] != V2OP_STREAM_END) {
            blockProblem(Problem::StreamEnd, offset, "0x%02X after the stream end (only 0x7F may follow)",
                         g.block[offset]);
            return;
        }
    }
}

void decodeVideoBlock() {
    settleLead();
    if (g.ended && g.videoNo > g.lastVideoBlock) {
        blockProblem(Problem::StreamEnd, 0, "video block after the end of the stream");
    }
    g.nopFill = false;
    int offset = 0;
    while (offset < FIFO_PAGE_LAST) {
        if (g.ended) {
            checkEndFill(offset);
            break;
        }
        const int length = command(g.block, offset);
        if (g.summary->stopped) return;
        if (length <= 0) break;
        offset += length;
    }
    checkMarker();
    g.leadPending = true;
    g.leadBlock = g.videoNo;
    g.leadDisplayFrames = g.summary->displayFrames;
}

// ---- Audio blocks ----------------------------------------------------------

void decodeAudioBlock() {
    const int ringHigh = (AUDIO_FIFO_TOP >> 8) + (g.audioNo % AUDIO_RING_SLOTS) * AUDIO_PAGES;
    int16_t* out = g.samples;
    for (int page = 0; page < AUDIO_PAGES; ++page) {
        const uint8_t* bytes = g.block + page * AUDIO_PAGE_BYTES;
        const int expected = ringHigh + (page < AUDIO_PAGES - 1 ? page + 1 : page);
        if (bytes[0] != expected) {
            blockProblem(Problem::AudioMarker, page * AUDIO_PAGE_BYTES, "audio page marker 0x%02X, expected 0x%02X",
                         bytes[0], expected);
        }
        for (int i = 1; i < AUDIO_PAGE_BYTES; ++i) *out++ = audioCodeToSample(bytes[i]);
    }
    g.summary->audioSamples += AUDIO_SAMPLES_PER_BLOCK;
    if (g.sink->audio && !g.sink->audio(g.sink->context, g.samples, AUDIO_SAMPLES_PER_BLOCK)) {
        g.summary->stopped = true;
    }
}

// ---- Block walk ------------------------------------------------------------

// An unindexed block is taken for audio when it begins with an audio ring's
// page markers; a video block never starts with such bytes (no opcode).
bool looksLikeAudio(const uint8_t* bytes) {
    for (int slot = 0; slot < AUDIO_RING_SLOTS; ++slot) {
        const int high = (AUDIO_FIFO_TOP >> 8) + slot * AUDIO_PAGES;
        if (bytes[0] == high + 1 && bytes[AUDIO_PAGE_BYTES] == high + 2) return true;
    }
    return false;
}

// Reads the next block; returns its kind (0 video, 1 audio), or -1 at the end
// of the file or of what can be read.
int readBlock() {
    const long long left = g.fileSize - g.blockOffset;
    const bool indexed = g.blockNo < g.indexedBlocks;
    if (left <= 0) {
        if (indexed) {
            streamProblem(Problem::FileSize, "the file ends after block %d; the index lists %d blocks", g.blockNo - 1,
                          g.indexedBlocks);
        }
        return -1;
    }
    if (!indexed && g.indexedBlocks < AVINDEX_MAX_BLOCKS) {
        streamProblem(Problem::FileSize, "%lld bytes after the %d indexed blocks", left, g.indexedBlocks);
        return -1;
    }
    if (!indexed && !g.warnedUnindexed) {
        warning("blocks from block %d on lie beyond the index's %d blocks; their kinds are guessed from their contents",
                g.blockNo, AVINDEX_MAX_BLOCKS);
        g.warnedUnindexed = true;
    }
    long want = AUDIO_BLOCK_BYTES;
    if (indexed && !bitmapBit(g.blockNo)) want = VIDEO_BLOCK_BYTES;
    long got = readBytes(g.block, want);
    int kind = want == AUDIO_BLOCK_BYTES ? AVINDEX_KIND_AUDIO : AVINDEX_KIND_VIDEO;
    if (!indexed && got == AUDIO_BLOCK_BYTES && !looksLikeAudio(g.block)) {
        kind = AVINDEX_KIND_VIDEO;
        want = VIDEO_BLOCK_BYTES;
        got += readBytes(g.block + AUDIO_BLOCK_BYTES, VIDEO_BLOCK_BYTES - AUDIO_BLOCK_BYTES);
    }
    if (got < want) {
        streamProblem(Problem::FileSize, "the file ends inside block %d (%s, %ld of %ld bytes)", g.blockNo,
                      kind == AVINDEX_KIND_VIDEO ? "video" : "audio", got, want);
        return -1;
    }
    if (!indexed) ++g.summary->unindexedBlocks;
    return kind;
}

void walkBlocks() {
    Summary& s = *g.summary;
    g.blockOffset = s.indexOffset + INDEX_BYTES;
    while (!s.stopped) {
        const int kind = readBlock();
        if (kind < 0) break;
        g.currentKind = kind;
        if (g.sink->block && !g.sink->block(g.sink->context, kind, g.block)) {
            s.stopped = true;
            break;
        }
        if (kind == AVINDEX_KIND_VIDEO) {
            g.videoNo = s.videoBlocks++;
            decodeVideoBlock();
            g.blockOffset += VIDEO_BLOCK_BYTES;
        } else {
            g.audioNo = s.audioBlocks++;
            decodeAudioBlock();
            g.blockOffset += AUDIO_BLOCK_BYTES;
        }
        ++g.blockNo;
    }
}

void finishStream() {
    Summary& s = *g.summary;
    settleLead();
    s.streamEnded = g.ended;
    if (s.stopped) return;
    // A stream without a picture, or without its end, is never what the
    // encoder meant to write: its frames were not found, or it was cut.
    if (s.frames == 0) streamProblem(Problem::NoFrame, "the stream holds no frame");
    if (!g.ended) {
        if (g.frameOpen) streamProblem(Problem::FrameNotEnded, "the last frame has no frame end (0x7E)");
        streamProblem(Problem::StreamEnd, "the stream has no stream end (0x7F)");
        return;
    }
    if (s.videoBlocks - 1 < g.lastVideoBlock) {
        streamProblem(Problem::StreamEnd,
                      "the stream ends at video block %d, before the ring's last page (video block %d)",
                      s.videoBlocks - 1, g.lastVideoBlock);
    }
    if (g.optionsPending) warning("option commands after the last frame end");
}

}  // namespace

int16_t audioCodeToSample(uint8_t code) {
    if (code == AUDIO_CODE_SILENCE) return 0;
    const int attenuation = code & ~AUDIO_CODE_SIGN;
    if (attenuation == AUDIO_CODE_SILENCE) return 0;
    // The code covers levels from 0.35 - 0.75 (c + 1) dB (excluded) to
    // 0.35 - 0.75 c dB; the middle of the step stands for it.
    const double level = AUDIO_LEVEL_OFFSET_DB - AUDIO_STEP_DB * (attenuation + 0.5);
    long magnitude = std::lround(AUDIO_FULL_SCALE * std::pow(10.0, level / 20.0));
    if (magnitude > 32767) magnitude = 32767;
    if (magnitude < 1) magnitude = 1;
    return static_cast<int16_t>((code & AUDIO_CODE_SIGN) ? -magnitude : magnitude);
}

const char* problemName(Problem problem) {
    static constexpr const char* NAMES[PROBLEM_KINDS] = {
        "index header", "bitmap",          "file size",     "page-end marker", "command cut", "bad opcode",
        "entry count",  "DRAW outside page", "address outside", "palette entry", "frame not ended", "stream end",
        "audio marker", "no frame", "NOP fill", "command order",
    };
    const int i = static_cast<int>(problem);
    return i >= 0 && i < PROBLEM_KINDS ? NAMES[i] : "?";
}

int decodeStream(const char* path, const DecodeOptions& options, const Sink& sink, Summary& summary) {
    resetDecoder(options, sink, summary);
    g.file = fopen(path, "rb");
    if (!g.file) {
        message("cannot open %s: %s\n", path, strerror(errno));
        return -1;
    }
    struct stat info;
    if (fstat(fileno(g.file), &info) == 0 && S_ISDIR(info.st_mode)) {
        message("%s is a folder, not a stream\n", path);
        fclose(g.file);
        g.file = nullptr;
        return -1;
    }
    int result = -1;
    if (fseeko(g.file, 0, SEEK_END) == 0) g.fileSize = ftello(g.file);
    if (options.bootSize >= 0) {
        summary.indexOffset = options.bootSize;
    } else {
        summary.indexOffset = scanForIndex();
        summary.indexScanned = true;
    }
    const char* other = summary.indexOffset < 0 ? otherFileKind() : nullptr;
    if (other) {
        message("%s is not a stream: it is %s\n", path, other);
    } else if (summary.indexOffset < 0) {
        message("%s: no index found in the first %ld bytes (give its offset with --boot)\n", path,
               STREAM_BOOTCODE_MAX_BYTES + 1);
    } else if (summary.indexOffset + INDEX_BYTES > g.fileSize || !seekTo(summary.indexOffset) ||
               readBytes(g.index, INDEX_BYTES) != INDEX_BYTES) {
        message("%s: the file ends inside the index (it starts at offset %ld)\n", path, summary.indexOffset);
    } else {
        checkIndex();
        g.interval = summary.startInterval;
        walkBlocks();
        finishStream();
        result = 0;
    }
    fclose(g.file);
    g.file = nullptr;
    return result;
}

}  // namespace view
