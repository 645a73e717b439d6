#include "tools/view/stream_decoder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "format/audio.h"
#include "format/endian.h"
#include "format/screen.h"
#include "format/stream.h"
#include "format/v2format.h"

namespace view {
namespace {

// ---- The container -------------------------------------------------------

constexpr int ENTRY_BYTES = AVINDEX_ENTRY_BYTES;  // 16

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

void resetDecoder(Decoder& dec, const DecodeOptions& options, const Sink& sink, Summary& summary) {
    dec.file = nullptr;
    dec.fileSize = 0;
    dec.blockOffset = 0;
    dec.options = options;
    dec.sink = &sink;
    dec.summary = &summary;
    summary = Summary{};
    std::memset(dec.index, 0, sizeof dec.index);
    dec.indexedBlocks = 0;
    std::memset(dec.gram, 0, sizeof dec.gram);
    // Every level starts at 0: the encoder's initial palettes differ from
    // black only in the bits below the 4 that reach the target.
    std::memset(dec.level, 0, sizeof dec.level);
    dec.announced[0] = dec.announced[1] = 0;
    dec.blockNo = dec.videoNo = dec.audioNo = 0;
    dec.currentKind = AVINDEX_KIND_VIDEO;
    dec.page = 0;
    dec.high = 0;
    dec.interval = 0;
    dec.ended = false;
    dec.lastVideoBlock = -1;
    dec.frameOpen = false;
    dec.drawing = false;
    dec.pageSetInFrame = false;
    dec.nopFill = false;
    dec.optionsPending = false;
    dec.lastFrameEnd = 0;
    dec.leadPending = false;
    dec.leadBlock = 0;
    dec.leadDisplayFrames = 0;
    dec.reports = 0;
    dec.warnedUnindexed = false;
}

// ---- Messages --------------------------------------------------------------

__attribute__((format(printf, 2, 3))) void message(Decoder& dec, const char* format, ...) {
    if (dec.options.quiet) return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void vreport(Decoder& dec, const char* where, const char* format, va_list args) {
    if (dec.options.quiet) return;
    if (dec.reports >= dec.options.maxReports) {
        if (dec.reports == dec.options.maxReports && dec.options.maxReports > 0) {
            printf("violation: (further violations are counted, not shown)\n");
        }
        ++dec.reports;
        return;
    }
    ++dec.reports;
    printf("violation: %s: ", where);
    vprintf(format, args);
    printf("\n");
}

void countProblem(Decoder& dec, Problem kind) {
    ++dec.summary->problems[static_cast<int>(kind)];
    ++dec.summary->problemTotal;
}

// A fault inside the block being decoded, at offset within it.
__attribute__((format(printf, 4, 5))) void blockProblem(Decoder& dec, Problem kind, int offset, const char* format,
                                                        ...) {
    countProblem(dec, kind);
    char where[96];
    const bool video = dec.currentKind == AVINDEX_KIND_VIDEO;
    snprintf(where, sizeof where, "block %d (%s %d) offset 0x%04X", dec.blockNo, video ? "video" : "audio",
             video ? dec.videoNo : dec.audioNo, offset);
    va_list args;
    va_start(args, format);
    vreport(dec, where, format, args);
    va_end(args);
}

__attribute__((format(printf, 4, 5))) void indexProblem(Decoder& dec, Problem kind, int offset, const char* format,
                                                        ...) {
    countProblem(dec, kind);
    char where[64];
    snprintf(where, sizeof where, "index offset 0x%03X", offset);
    va_list args;
    va_start(args, format);
    vreport(dec, where, format, args);
    va_end(args);
}

__attribute__((format(printf, 3, 4))) void streamProblem(Decoder& dec, Problem kind, const char* format, ...) {
    countProblem(dec, kind);
    va_list args;
    va_start(args, format);
    vreport(dec, "stream", format, args);
    va_end(args);
}

__attribute__((format(printf, 2, 3))) void warning(Decoder& dec, const char* format, ...) {
    ++dec.summary->warnings;
    if (dec.options.quiet) return;
    va_list args;
    va_start(args, format);
    printf("warning: ");
    vprintf(format, args);
    printf("\n");
    va_end(args);
}

// ---- File access -----------------------------------------------------------

// Reads up to n bytes at the current position; returns the count read.
long readBytes(Decoder& dec, uint8_t* into, long n) {
    return static_cast<long>(fread(into, 1, static_cast<size_t>(n), dec.file));
}

bool seekTo(Decoder& dec, long long offset) { return fseeko(dec.file, static_cast<off_t>(offset), SEEK_SET) == 0; }

// The video entry's fixed fields at the given bytes: fifoTop, fifoEnd, blockSize.
bool videoEntryAt(const uint8_t* bytes) {
    return leU16(bytes + AVENTRY_FIFO_TOP) == FIFO_RING_TOP && leU16(bytes + AVENTRY_FIFO_END) == FIFO_RING_END &&
           leU16(bytes + AVENTRY_BLOCK_SIZE) == VIDEO_BLOCK_BYTES;
}

// Finds the index by the fixed fields of its video entry, from offset 0 on.
long scanForIndex(Decoder& dec) {
    uint8_t* head = dec.head;
    if (!seekTo(dec, 0)) return -1;
    const long got = readBytes(dec, head, sizeof dec.head);
    for (long offset = 0; offset + VIDEO_ENTRY_FIXED_BYTES <= got; ++offset) {
        if (videoEntryAt(head + offset)) return offset;
    }
    return -1;
}

// What a file without an index is, when its first bytes say so: a video,
// a picture or a sound given in place of a stream. nullptr when unknown.
const char* otherFileKind(Decoder& dec) {
    uint8_t head[12] = {};
    if (!seekTo(dec, 0) || readBytes(dec, head, sizeof head) != sizeof head) return nullptr;
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

bool bitmapBit(Decoder& dec, int k) {
    return avIndexBlockIsAudio(dec.index + AVINDEX_HEADER_BYTES, static_cast<size_t>(k));
}

bool allZero(const uint8_t* bytes, int n) {
    for (int i = 0; i < n; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

void checkU16(Decoder& dec, const uint8_t* entry, int entryOffset, int field, unsigned expected, const char* name) {
    const unsigned value = leU16(entry + field);
    if (value != expected) {
        indexProblem(dec, Problem::IndexHeader, entryOffset + field, "%s is 0x%04X, expected 0x%04X", name, value,
                     expected);
    }
}

void checkIndex(Decoder& dec) {
    Summary& s = *dec.summary;
    const uint8_t* video = dec.index;
    const uint8_t* audio = dec.index + ENTRY_BYTES;
    s.indexedVideo = static_cast<int>(leU16(video + AVENTRY_BLOCK_COUNT));
    s.indexedAudio = static_cast<int>(leU16(audio + AVENTRY_BLOCK_COUNT));
    s.startInterval = video[AVENTRY_KIND_PARAM];

    checkU16(dec, video, 0, AVENTRY_FIFO_TOP, FIFO_RING_TOP, "video fifoTop");
    checkU16(dec, video, 0, AVENTRY_FIFO_END, FIFO_RING_END, "video fifoEnd");
    checkU16(dec, video, 0, AVENTRY_BLOCK_SIZE, VIDEO_BLOCK_BYTES, "video blockSize");
    if (!allZero(video + AVENTRY_KIND_PARAM + 1, ENTRY_BYTES - AVENTRY_KIND_PARAM - 1)) {
        indexProblem(dec, Problem::IndexHeader, AVENTRY_KIND_PARAM + 1, "video entry bytes 9-15 are not zero");
    }
    if (s.startInterval > V2OPT_INTERVAL_MAX) {
        warning(dec, "the index's starting interval %d is above %d", s.startInterval, V2OPT_INTERVAL_MAX);
    }

    int total = s.indexedVideo + s.indexedAudio;
    if (total > AVINDEX_MAX_BLOCKS) {
        indexProblem(dec, Problem::Bitmap, AVENTRY_BLOCK_COUNT, "block counts %d + %d exceed the index's %d blocks",
                     s.indexedVideo, s.indexedAudio, AVINDEX_MAX_BLOCKS);
        total = AVINDEX_MAX_BLOCKS;
    }
    dec.indexedBlocks = total;
    int audioBits = 0;
    for (int k = 0; k < total; ++k) audioBits += bitmapBit(dec, k) ? 1 : 0;
    if (audioBits != s.indexedAudio) {
        indexProblem(dec, Problem::Bitmap, ENTRY_BYTES + AVENTRY_BLOCK_COUNT,
                     "audio blockCount %d, but the bitmap marks %d of the first %d blocks as audio", s.indexedAudio,
                     audioBits, total);
    }
    for (int k = total; k < AVINDEX_MAX_BLOCKS; ++k) {
        if (bitmapBit(dec, k)) {
            indexProblem(dec, Problem::Bitmap, AVINDEX_HEADER_BYTES + (k >> 3),
                         "bitmap bit %d is set beyond the %d indexed blocks", k, total);
            break;
        }
    }

    const bool hasAudio = s.indexedAudio > 0 || audioBits > 0;
    if (!hasAudio) {
        if (!allZero(audio, ENTRY_BYTES)) {
            indexProblem(dec, Problem::IndexHeader, ENTRY_BYTES,
                         "audio entry is not all zero in a stream without audio");
        }
        return;
    }
    checkU16(dec, audio, ENTRY_BYTES, AVENTRY_FIFO_TOP, AUDIO_FIFO_TOP, "audio fifoTop");
    checkU16(dec, audio, ENTRY_BYTES, AVENTRY_FIFO_END, AUDIO_FIFO_END, "audio fifoEnd");
    checkU16(dec, audio, ENTRY_BYTES, AVENTRY_BLOCK_SIZE, AUDIO_BLOCK_BYTES, "audio blockSize");
    checkU16(dec, audio, ENTRY_BYTES, AVENTRY_KIND_PARAM, AUDIO_KIND_PARAM, "audio kindParam");
    if (!allZero(audio + AVENTRY_KIND_PARAM + 2, ENTRY_BYTES - AVENTRY_KIND_PARAM - 2)) {
        indexProblem(dec, Problem::IndexHeader, ENTRY_BYTES + AVENTRY_KIND_PARAM + 2,
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

// Renders a page with its palette into dec.rgb; returns the palette numbers used.
uint64_t renderPage(Decoder& dec, int page) {
    uint64_t used = 0;
    uint8_t* out = dec.rgb;
    for (int y = 0; y < SCREEN_HEIGHT; ++y) {
        for (int x = 0; x < SCREEN_WIDTH; ++x) {
            const int p = paletteNumberAt(dec.gram[page], x, y);
            used |= uint64_t{1} << p;
            const uint8_t* levels = dec.level[page][p];
            *out++ = levels[RED];
            *out++ = levels[GREEN];
            *out++ = levels[BLUE];
        }
    }
    return used;
}

// ---- Audio lead ------------------------------------------------------------

bool streamHasAudio(Decoder& dec) { return dec.summary->indexedAudio > 0 || dec.summary->audioBlocks > 0; }

// The lead of a video block is taken once the audio blocks that follow it in
// the file are known: the player has them in hand when it moves past the block.
void settleLead(Decoder& dec) {
    if (!dec.leadPending) return;
    dec.leadPending = false;
    if (!streamHasAudio(dec)) return;
    Summary& s = *dec.summary;
    const double audioSeconds = static_cast<double>(s.audioBlocks) * AUDIO_SAMPLES_PER_BLOCK / AUDIO_SAMPLE_RATE;
    const double lead = audioSeconds - static_cast<double>(dec.leadDisplayFrames) / DISPLAY_FRAMES_PER_SECOND;
    if (!s.leadKnown || lead < s.minLeadSeconds) {
        s.leadKnown = true;
        s.minLeadSeconds = lead;
        s.minLeadBlock = dec.leadBlock;
    }
}

// ---- Video commands --------------------------------------------------------

// Stream position just past offset of the current video block.
long long streamPosition(Decoder& dec, int offset) {
    return static_cast<long long>(dec.videoNo) * VIDEO_BLOCK_BYTES + offset + 1;
}

void noteFrameSize(Decoder& dec, int number, long bytes) {
    Summary& s = *dec.summary;
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

bool frameEnd(Decoder& dec, int offset) {
    Summary& s = *dec.summary;
    const uint64_t used = renderPage(dec, dec.page);
    s.unannounced[dec.page] |= used & ~dec.announced[dec.page];
    const long long position = streamPosition(dec, offset);
    const Frame frame{s.frames, dec.page,         dec.interval,     static_cast<long>(position - dec.lastFrameEnd),
                      dec.rgb,    dec.gram[dec.page], dec.level[dec.page]};
    dec.lastFrameEnd = position;
    noteFrameSize(dec, frame.number, frame.bytes);
    ++s.frames;
    s.displayFrames += dec.interval;
    dec.frameOpen = false;
    dec.drawing = false;
    dec.pageSetInFrame = false;
    dec.optionsPending = false;
    if (dec.options.pages == 2) dec.page ^= 1;
    if (dec.sink->frame && !dec.sink->frame(dec.sink->context, frame)) {
        s.stopped = true;
        return false;
    }
    return true;
}

// Room check for a command of length bytes at offset: it must end before the
// block's last byte, which belongs to the page-end marker.
bool fits(Decoder& dec, int offset, int length, const char* name) {
    if (offset + length <= FIFO_PAGE_LAST) return true;
    if (offset + length == FIFO_PAGE_LAST + 1) {
        blockProblem(dec, Problem::CommandCut, offset, "%s command of %d bytes takes the block's last byte", name,
                     length);
    } else {
        blockProblem(dec, Problem::CommandCut, offset, "%s command of %d bytes crosses the end of the block", name,
                     length);
    }
    return false;
}

// The player may not carry the high address byte from one frame into the
// next: every frame opens its drawing with the absolute page set 0x7A. Each
// frame without it is reported once; decoding goes on with the byte carried.
void noteDrawing(Decoder& dec, int offset, const char* name) {
    if (!dec.pageSetInFrame) {
        blockProblem(dec, Problem::CommandOrder, offset, "%s before the frame's page set (0x7A)", name);
        dec.pageSetInFrame = true;
    }
    dec.drawing = true;
    dec.frameOpen = true;
}

// Options and palette updates belong before the frame's first page command.
void checkBeforeDrawing(Decoder& dec, int offset, const char* name) {
    if (dec.drawing) blockProblem(dec, Problem::CommandOrder, offset, "%s after drawing commands in the frame", name);
}

void checkAddress(Decoder& dec, int offset, int low) {
    const int address = dec.high * V2_ADDRESS_PAGE_BYTES + low;
    if (address < V2_GRAM_PLANE_TOP) {
        blockProblem(dec, Problem::AddressOutside, offset, "address 0x%04X lies below the pixel planes", address);
    }
}

int drawCommand(Decoder& dec, const uint8_t* b, int offset) {
    const uint8_t op = b[offset];
    const int entries = v2CommandEntries(op);
    const int width = v2DrawWidth(op);
    const int length = v2DrawLength(width, entries);
    char name[8];
    snprintf(name, sizeof name, "DRAW%d", width);
    if (!fits(dec, offset, length, name)) return 0;
    noteDrawing(dec, offset, name);
    uint8_t* gram = dec.gram[dec.page];
    for (int e = 0; e < entries; ++e) {
        const int at = offset + 1 + e * (width + 1);
        const int low = b[at];
        checkAddress(dec, at, low);
        if (low + width - 1 > 0xFF) {
            blockProblem(dec, Problem::DrawOutsidePage, at, "DRAW%d entry at 0x%02X%02X leaves its address page", width,
                         dec.high, low);
        }
        const int address = dec.high * V2_ADDRESS_PAGE_BYTES + low;
        for (int i = 0; i < width; ++i) gram[(address + i) & (GRAM_PAGE_BYTES - 1)] = b[at + 1 + i];
    }
    return length;
}

int fillCommand(Decoder& dec, const uint8_t* b, int offset) {
    const int entries = v2CommandEntries(b[offset]);
    const int length = v2Fil1Length(entries);
    if (!fits(dec, offset, length, "FIL1")) return 0;
    noteDrawing(dec, offset, "FIL1");
    const uint8_t value = b[offset + 1];
    for (int e = 0; e < entries; ++e) {
        const int at = offset + 2 + e;
        checkAddress(dec, at, b[at]);
        dec.gram[dec.page][(dec.high * V2_ADDRESS_PAGE_BYTES + b[at]) & (GRAM_PAGE_BYTES - 1)] = value;
    }
    return length;
}

// Returns true when the level changes.
bool setLevel(Decoder& dec, int page, int p, int component, uint8_t componentByte) {
    const uint8_t level = componentByte & V2PAL_LEVEL_MASK;
    const bool changed = dec.level[page][p][component] != level;
    dec.level[page][p][component] = level;
    return changed;
}

// An entry for a number its page already announced that changes none of its
// levels: the encoder sends only changes, so these point at a stream read
// with the wrong buffering mode.
void noteRepeatedEntry(Decoder& dec, int page, int p, bool changed) {
    if (!changed && (dec.announced[page] >> p & 1)) ++dec.summary->repeatedEntries;
}

// The palette 0 entry: header 0x01, then green, red, blue, each with its own
// "unchanged" bit. Palette number 0 is shared by both pages.
void paletteZeroEntry(Decoder& dec, const uint8_t* b, int at) {
    if (b[at] != V2PAL_HDR_ZERO) {
        blockProblem(dec, Problem::PaletteEntry, at, "palette 0 entry header 0x%02X has other bits set", b[at]);
    }
    bool changed = false;
    for (int c = 0; c < 3; ++c) {
        const uint8_t byte = b[at + 1 + c];
        if (byte & (V2PAL_NUMBER_LOW_BITS | V2PAL_RESERVED)) {
            blockProblem(dec, Problem::PaletteEntry, at + 1 + c, "palette 0 component byte 0x%02X has stray bits",
                         byte);
        }
        if (byte & V2PAL_UNCHANGED) continue;
        changed |= setLevel(dec, 0, 0, STREAM_COMPONENT[c], byte);
        changed |= setLevel(dec, 1, 0, STREAM_COMPONENT[c], byte);
    }
    noteRepeatedEntry(dec, 0, 0, changed);
    dec.announced[0] |= 1;
    dec.announced[1] |= 1;
}

// An entry for palette number p != 0; returns its size.
int paletteEntry(Decoder& dec, const uint8_t* b, int at, int room) {
    const uint8_t header = b[at];
    const int size = v2PaletEntryLength(header);
    const int components = size - 1;
    if (size > room) return -size;
    if (components == 0) {
        blockProblem(dec, Problem::PaletteEntry, at, "palette entry header 0x%02X names no component", header);
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
            blockProblem(dec, Problem::PaletteEntry, byteAt,
                         "component bytes of one palette entry name different numbers");
        }
        if (lowBits < 0) lowBits = bits;
        if (byte & (V2PAL_UNCHANGED | V2PAL_RESERVED)) {
            blockProblem(dec, Problem::PaletteEntry, byteAt, "component byte 0x%02X has stray bits", byte);
        }
        ++byteAt;
    }
    p |= lowBits;
    if (p == 0) {
        blockProblem(dec, Problem::PaletteEntry, at, "palette 0 sent in the short entry form");
    }
    byteAt = at + 1;
    bool changed = false;
    for (int c = 0; c < 3; ++c) {
        if (!(header & HEADER_COMPONENT_BIT[c])) continue;
        changed |= setLevel(dec, dec.page, p, STREAM_COMPONENT[c], b[byteAt++]);
    }
    noteRepeatedEntry(dec, dec.page, p, changed);
    dec.announced[dec.page] |= uint64_t{1} << p;
    return size;
}

int paletteCommand(Decoder& dec, const uint8_t* b, int offset) {
    if (!fits(dec, offset, 2, "palette")) return 0;
    checkBeforeDrawing(dec, offset, "palette update");
    const int count = b[offset + 1];
    if (count < 1 || count > V2_PALET_MAX_ENTRIES) {
        blockProblem(dec, Problem::EntryCount, offset + 1, "palette update with %d entries (1 to %d)", count,
                     V2_PALET_MAX_ENTRIES);
    }
    int at = offset + 2;
    for (int e = 0; e < count; ++e) {
        const int room = FIFO_PAGE_LAST - at;
        if (room <= 0) {
            fits(dec, offset, at - offset + 1, "palette");
            return 0;
        }
        if (b[at] & V2PAL_HDR_ZERO) {
            if (room < V2_PALET_ENTRY_MAX_BYTES) {
                fits(dec, offset, at - offset + V2_PALET_ENTRY_MAX_BYTES, "palette");
                return 0;
            }
            paletteZeroEntry(dec, b, at);
            at += V2_PALET_ENTRY_MAX_BYTES;
            continue;
        }
        const int size = paletteEntry(dec, b, at, room);
        if (size < 0) {
            fits(dec, offset, at - offset - size, "palette");
            return 0;
        }
        at += size;
    }
    dec.frameOpen = true;
    return at - offset;
}

int optionCommand(Decoder& dec, const uint8_t* b, int offset) {
    if (!fits(dec, offset, 2, "option")) return 0;
    checkBeforeDrawing(dec, offset, "option");
    const uint8_t value = b[offset + 1];
    ++dec.summary->optionCount[value];
    if (value <= V2OPT_INTERVAL_MAX) dec.interval = value;
    dec.optionsPending = true;
    return 2;
}

int pageSet(Decoder& dec, const uint8_t* b, int offset) {
    if (!fits(dec, offset, 2, "page set")) return 0;
    dec.high = b[offset + 1];
    if (dec.high < V2_GRAM_PLANE_TOP / V2_ADDRESS_PAGE_BYTES) {
        blockProblem(dec, Problem::AddressOutside, offset, "page set to 0x%02X, below the pixel planes", dec.high);
    }
    dec.pageSetInFrame = true;
    dec.drawing = true;
    dec.frameOpen = true;
    return 2;
}

int pageAdvance(Decoder& dec, const uint8_t* b, int offset) {
    noteDrawing(dec, offset, "page advance");
    dec.high += b[offset];
    if (dec.high > 0xFF) {
        blockProblem(dec, Problem::AddressOutside, offset, "page advance by %d goes past address page 0xFF", b[offset]);
        dec.high &= 0xFF;
    }
    return 1;
}

int streamEnd(Decoder& dec, int offset) {
    if (dec.frameOpen) {
        blockProblem(dec, Problem::FrameNotEnded, offset, "stream end inside a frame (no frame end 0x7E)");
    }
    dec.ended = true;
    dec.lastVideoBlock = dec.videoNo + (VIDEO_RING_SLOTS - 1 - dec.videoNo % VIDEO_RING_SLOTS);
    return 1;
}

// NOPs fill a block from where the next command did not fit up to its
// marker; a command after them is reported once per run of NOPs and carried
// out as usual (an early marker is reported as a marker).
void checkAfterFill(Decoder& dec, int offset, uint8_t op) {
    if (!dec.nopFill || op == V2OP_BLOCK || op == V2OP_LOOP) return;
    blockProblem(dec, Problem::NopFill, offset,
                 "0x%02X after NOP fill (only 0x00 may follow up to the page-end marker)", op);
    dec.nopFill = false;
}

// Carries out the command at offset. Returns its length, or 0 when the rest
// of the block cannot be followed (fault, early page-end marker, stop).
int command(Decoder& dec, const uint8_t* b, int offset) {
    const uint8_t op = b[offset];
    if (op == V2OP_NOP) {
        dec.nopFill = true;
        return 1;
    }
    checkAfterFill(dec, offset, op);
    if (op <= V2OP_PAGE_ADVANCE_MAX) return pageAdvance(dec, b, offset);
    if (op >= V2OP_DRAW2 && op < V2OP_FIL1) return drawCommand(dec, b, offset);
    if (op >= V2OP_FIL1 && op < V2OP_FIL1 + V2_CMD_MAX_ENTRIES) return fillCommand(dec, b, offset);
    switch (op) {
        case V2OP_PALET: return paletteCommand(dec, b, offset);
        case V2OP_OPTION: return optionCommand(dec, b, offset);
        case V2OP_PAGE_SET: return pageSet(dec, b, offset);
        case V2OP_FRAME_END: return frameEnd(dec, offset) ? 1 : 0;
        case V2OP_STREAM_END: return streamEnd(dec, offset);
        case V2OP_BLOCK:
        case V2OP_LOOP:
            blockProblem(dec, Problem::Marker, offset, "page-end marker 0x%02X before the block's last byte", op);
            return 0;
        default:
            blockProblem(dec, Problem::BadOpcode, offset, "0x%02X is not a command", op);
            return 0;
    }
}

void checkMarker(Decoder& dec) {
    const bool ringEnd = dec.videoNo % VIDEO_RING_SLOTS == VIDEO_RING_SLOTS - 1;
    const uint8_t expected = ringEnd ? V2OP_LOOP : V2OP_BLOCK;
    const uint8_t marker = dec.block[FIFO_PAGE_LAST];
    if (marker == expected) return;
    if (marker == V2OP_BLOCK || marker == V2OP_LOOP) {
        blockProblem(dec, Problem::Marker, FIFO_PAGE_LAST, "page-end marker 0x%02X at ring slot %d, expected 0x%02X",
                     marker, dec.videoNo % VIDEO_RING_SLOTS, expected);
    } else {
        blockProblem(dec, Problem::Marker, FIFO_PAGE_LAST, "block ends with 0x%02X, not a page-end marker (0x%02X)",
                     marker, expected);
    }
}

// After the stream end every byte up to the page-end marker is 0x7F.
void checkEndFill(Decoder& dec, int from) {
    for (int offset = from; offset < FIFO_PAGE_LAST; ++offset) {
        if (dec.block[offset] != V2OP_STREAM_END) {
            blockProblem(dec, Problem::StreamEnd, offset, "0x%02X after the stream end (only 0x7F may follow)",
                         dec.block[offset]);
            return;
        }
    }
}

void decodeVideoBlock(Decoder& dec) {
    settleLead(dec);
    if (dec.ended && dec.videoNo > dec.lastVideoBlock) {
        blockProblem(dec, Problem::StreamEnd, 0, "video block after the end of the stream");
    }
    dec.nopFill = false;
    int offset = 0;
    while (offset < FIFO_PAGE_LAST) {
        if (dec.ended) {
            checkEndFill(dec, offset);
            break;
        }
        const int length = command(dec, dec.block, offset);
        if (dec.summary->stopped) return;
        if (length <= 0) break;
        offset += length;
    }
    checkMarker(dec);
    dec.leadPending = true;
    dec.leadBlock = dec.videoNo;
    dec.leadDisplayFrames = dec.summary->displayFrames;
}

// ---- Audio blocks ----------------------------------------------------------

void decodeAudioBlock(Decoder& dec) {
    const int ringHigh = (AUDIO_FIFO_TOP >> 8) + (dec.audioNo % AUDIO_RING_SLOTS) * AUDIO_PAGES;
    int16_t* out = dec.samples;
    for (int page = 0; page < AUDIO_PAGES; ++page) {
        const uint8_t* bytes = dec.block + page * AUDIO_PAGE_BYTES;
        const int expected = ringHigh + (page < AUDIO_PAGES - 1 ? page + 1 : page);
        if (bytes[0] != expected) {
            blockProblem(dec, Problem::AudioMarker, page * AUDIO_PAGE_BYTES,
                         "audio page marker 0x%02X, expected 0x%02X", bytes[0], expected);
        }
        for (int i = 1; i < AUDIO_PAGE_BYTES; ++i) *out++ = audioCodeToSample(bytes[i]);
    }
    dec.summary->audioSamples += AUDIO_SAMPLES_PER_BLOCK;
    if (dec.sink->audio && !dec.sink->audio(dec.sink->context, dec.samples, AUDIO_SAMPLES_PER_BLOCK)) {
        dec.summary->stopped = true;
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
int readBlock(Decoder& dec) {
    const long long left = dec.fileSize - dec.blockOffset;
    const bool indexed = dec.blockNo < dec.indexedBlocks;
    if (left <= 0) {
        if (indexed) {
            streamProblem(dec, Problem::FileSize, "the file ends after block %d; the index lists %d blocks",
                          dec.blockNo - 1, dec.indexedBlocks);
        }
        return -1;
    }
    if (!indexed && dec.indexedBlocks < AVINDEX_MAX_BLOCKS) {
        streamProblem(dec, Problem::FileSize, "%lld bytes after the %d indexed blocks", left, dec.indexedBlocks);
        return -1;
    }
    if (!indexed && !dec.warnedUnindexed) {
        warning(dec,
                "blocks from block %d on lie beyond the index's %d blocks; their kinds are guessed from their contents",
                dec.blockNo, AVINDEX_MAX_BLOCKS);
        dec.warnedUnindexed = true;
    }
    long want = AUDIO_BLOCK_BYTES;
    if (indexed && !bitmapBit(dec, dec.blockNo)) want = VIDEO_BLOCK_BYTES;
    long got = readBytes(dec, dec.block, want);
    int kind = want == AUDIO_BLOCK_BYTES ? AVINDEX_KIND_AUDIO : AVINDEX_KIND_VIDEO;
    if (!indexed && got == AUDIO_BLOCK_BYTES && !looksLikeAudio(dec.block)) {
        kind = AVINDEX_KIND_VIDEO;
        want = VIDEO_BLOCK_BYTES;
        got += readBytes(dec, dec.block + AUDIO_BLOCK_BYTES, VIDEO_BLOCK_BYTES - AUDIO_BLOCK_BYTES);
    }
    if (got < want) {
        streamProblem(dec, Problem::FileSize, "the file ends inside block %d (%s, %ld of %ld bytes)", dec.blockNo,
                      kind == AVINDEX_KIND_VIDEO ? "video" : "audio", got, want);
        return -1;
    }
    if (!indexed) ++dec.summary->unindexedBlocks;
    return kind;
}

void walkBlocks(Decoder& dec) {
    Summary& s = *dec.summary;
    dec.blockOffset = s.indexOffset + INDEX_BYTES;
    while (!s.stopped) {
        const int kind = readBlock(dec);
        if (kind < 0) break;
        dec.currentKind = kind;
        if (dec.sink->block && !dec.sink->block(dec.sink->context, kind, dec.block)) {
            s.stopped = true;
            break;
        }
        if (kind == AVINDEX_KIND_VIDEO) {
            dec.videoNo = s.videoBlocks++;
            decodeVideoBlock(dec);
            dec.blockOffset += VIDEO_BLOCK_BYTES;
        } else {
            dec.audioNo = s.audioBlocks++;
            decodeAudioBlock(dec);
            dec.blockOffset += AUDIO_BLOCK_BYTES;
        }
        ++dec.blockNo;
    }
}

void finishStream(Decoder& dec) {
    Summary& s = *dec.summary;
    settleLead(dec);
    s.streamEnded = dec.ended;
    if (s.stopped) return;
    // A stream without a picture, or without its end, is never what the
    // encoder meant to write: its frames were not found, or it was cut.
    if (s.frames == 0) streamProblem(dec, Problem::NoFrame, "the stream holds no frame");
    if (!dec.ended) {
        if (dec.frameOpen) streamProblem(dec, Problem::FrameNotEnded, "the last frame has no frame end (0x7E)");
        streamProblem(dec, Problem::StreamEnd, "the stream has no stream end (0x7F)");
        return;
    }
    if (s.videoBlocks - 1 < dec.lastVideoBlock) {
        streamProblem(dec, Problem::StreamEnd,
                      "the stream ends at video block %d, before the ring's last page (video block %d)",
                      s.videoBlocks - 1, dec.lastVideoBlock);
    }
    if (dec.optionsPending) warning(dec, "option commands after the last frame end");
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
    const std::unique_ptr<Decoder> decoder = std::make_unique<Decoder>();
    return decodeStream(decoder.get(), path, options, sink, summary);
}

int decodeStream(Decoder* decoder, const char* path, const DecodeOptions& options, const Sink& sink,
                 Summary& summary) {
    Decoder& dec = *decoder;
    resetDecoder(dec, options, sink, summary);
    dec.file = fopen(path, "rb");
    if (!dec.file) {
        message(dec, "cannot open %s: %s\n", path, strerror(errno));
        return -1;
    }
    struct stat info;
    if (fstat(fileno(dec.file), &info) == 0 && S_ISDIR(info.st_mode)) {
        message(dec, "%s is a folder, not a stream\n", path);
        fclose(dec.file);
        dec.file = nullptr;
        return -1;
    }
    int result = -1;
    if (fseeko(dec.file, 0, SEEK_END) == 0) dec.fileSize = ftello(dec.file);
    if (options.bootSize >= 0) {
        summary.indexOffset = options.bootSize;
    } else {
        summary.indexOffset = scanForIndex(dec);
        summary.indexScanned = true;
    }
    const char* other = summary.indexOffset < 0 ? otherFileKind(dec) : nullptr;
    if (other) {
        message(dec, "%s is not a stream: it is %s\n", path, other);
    } else if (summary.indexOffset < 0) {
        message(dec, "%s: no index found in the first %ld bytes (give its offset with --boot)\n", path,
               STREAM_BOOTCODE_MAX_BYTES + 1);
    } else if (summary.indexOffset + INDEX_BYTES > dec.fileSize || !seekTo(dec, summary.indexOffset) ||
               readBytes(dec, dec.index, INDEX_BYTES) != INDEX_BYTES) {
        message(dec, "%s: the file ends inside the index (it starts at offset %ld)\n", path, summary.indexOffset);
    } else {
        checkIndex(dec);
        dec.interval = summary.startInterval;
        walkBlocks(dec);
        finishStream(dec);
        result = 0;
    }
    fclose(dec.file);
    dec.file = nullptr;
    return result;
}

}  // namespace view
