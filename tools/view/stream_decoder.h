// The stream viewer's decoder: reads a compressed stream file the way the
// player on the target does (index, then video and audio blocks in file
// order), replays the video commands on two GRAM page models with a palette
// per page, turns the audio codes back into samples and checks every
// structural rule of the format on the way. It reads the file only through
// its own code; it shares nothing with the encoder but the format/ headers.
#pragma once

#include <cstdint>
#include <cstdio>

#include "format/audio.h"   // the audio block format: samples per block, sample rate
#include "format/screen.h"  // the screen and the GRAM page layout
#include "format/stream.h"  // the index and the video blocks

namespace view {

inline constexpr int RGB_BYTES = SCREEN_WIDTH * SCREEN_HEIGHT * 3;

// The kinds of structural faults the decoder recognises; each is counted.
enum class Problem : int {
    IndexHeader,       // fixed fields of the two index entries
    Bitmap,            // block counts against the bitmap
    FileSize,          // file shorter or longer than the indexed blocks
    Marker,            // page-end marker wrong, misplaced or out of ring order
    CommandCut,        // a command crossing the end of its block or taking its last byte
    BadOpcode,         // a first byte that is no command
    EntryCount,        // DRAW/FIL1 entries (never out of range by construction) and palette counts
    DrawOutsidePage,   // DRAW entry leaving its address page
    AddressOutside,    // address below the pixel planes, or page advance past 0xFF
    PaletteEntry,      // malformed palette update entry
    FrameNotEnded,     // drawing commands not closed by a frame end
    StreamEnd,         // missing or malformed end of stream
    AudioMarker,       // audio page markers
    NoFrame,           // a stream without a single frame
    NopFill,           // a command after the NOP fill of its block
    CommandOrder,      // palette or option after drawing, drawing before the frame's page set
    Count
};

inline constexpr int PROBLEM_KINDS = static_cast<int>(Problem::Count);

struct DecodeOptions {
    int pages = 1;          // 1: single buffering, 2: frames alternate between the two GRAM pages
    long bootSize = -1;     // offset of the index; -1: find it by its video entry
    int maxReports = 200;   // violation lines printed at most (all are counted)
    bool quiet = false;     // print nothing at all (standard output carries a picture stream)
};

// One decoded frame, handed to the frame callback at its frame end.
struct Frame {
    int number;             // from 0, in stream order
    int page;               // GRAM page it was drawn into
    int interval;           // display frames it lasts (interval in force at its end)
    long bytes;             // stream bytes since the previous frame end, fill and markers included
    const uint8_t* rgb;     // SCREEN_WIDTH x SCREEN_HEIGHT pixels, 3 bytes each: 4-bit levels r, g, b (0-15)
    const uint8_t* gram;    // the page's GRAM image, GRAM_PAGE_BYTES bytes
    const uint8_t (*levels)[3];  // the page's palette: PALET_NUMBERS entries of levels r, g, b
};

// Where decoded pictures and sound go. Callbacks may be null; a callback
// returning false stops the decoding (an output could not be written).
struct Sink {
    void* context = nullptr;
    bool (*frame)(void* context, const Frame& frame) = nullptr;
    bool (*audio)(void* context, const int16_t* samples, int count) = nullptr;
    // Every block as read from the file, before it is decoded: kind 0 video
    // (FIFO_PAGE_BYTES bytes), 1 audio (AUDIO_BLOCK_BYTES bytes).
    bool (*block)(void* context, int kind, const uint8_t* bytes) = nullptr;
};

inline constexpr int LARGEST_FRAMES_KEPT = 8;

struct Summary {
    long indexOffset = -1;
    bool indexScanned = false;     // found by scanning rather than given
    int startInterval = 0;         // kindParam of the video entry
    int indexedVideo = 0;          // block counts of the index header
    int indexedAudio = 0;
    int videoBlocks = 0;           // blocks actually decoded
    int audioBlocks = 0;
    int unindexedBlocks = 0;       // blocks past the index's capacity
    int frames = 0;
    long long displayFrames = 0;   // sum of the frames' intervals
    long long frameBytesTotal = 0;
    long frameBytesMax = 0;
    int largestFrames[LARGEST_FRAMES_KEPT] = {};
    int largestCount = 0;          // frames of the largest size (the first LARGEST_FRAMES_KEPT are listed)
    int optionCount[256] = {};     // option commands by their second byte
    bool streamEnded = false;      // a stream end command was met
    bool leadKnown = false;
    double minLeadSeconds = 0.0;   // audio ahead of the picture, smallest over the video blocks
    int minLeadBlock = -1;         // video block (counted within its kind) where it occurred
    uint64_t unannounced[2] = {};  // per page: palette numbers pixels used without an announcement
    int repeatedEntries = 0;       // palette entries of a number already announced on its page changing no level
    long long audioSamples = 0;
    int problems[PROBLEM_KINDS] = {};
    int problemTotal = 0;
    int warnings = 0;
    bool stopped = false;          // a sink asked to stop
};

inline constexpr int INDEX_BYTES = AVINDEX_HEADER_BYTES + AVINDEX_TABLE_BYTES;  // 4096
inline constexpr int VIDEO_ENTRY_FIXED_BYTES = 6;  // fifoTop, fifoEnd, blockSize: what finds the index

// All a decoding works on: the file, the two GRAM pages with their palettes,
// the block being read and where the walk stands. A plain record that the
// caller owns (about 330 KiB: keep it off the stack) and decodeStream resets
// at its start.
struct Decoder {
    FILE* file;
    long long fileSize;
    long long blockOffset;  // file offset of the block being decoded
    DecodeOptions options;
    const Sink* sink;
    Summary* summary;

    uint8_t index[INDEX_BYTES];
    int indexedBlocks;  // entries the bitmap speaks for
    uint8_t head[STREAM_BOOTCODE_MAX_BYTES + VIDEO_ENTRY_FIXED_BYTES];  // the file's start, searched for the index

    uint8_t gram[2][GRAM_PAGE_BYTES];
    uint8_t level[2][PALET_NUMBERS][3];  // 4-bit levels r, g, b per page
    uint64_t announced[2];
    uint8_t block[FIFO_PAGE_BYTES];      // a video block, or an audio block in its first bytes
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

// Decodes the stream file at path with the decoder given. Prints violations
// and warnings as it goes. Returns 0 when the file was read to its end
// (violations may still have been found: see summary.problemTotal), -1 on a
// fatal fault (file unreadable, no index), after a one-line message.
int decodeStream(Decoder* decoder, const char* path, const DecodeOptions& options, const Sink& sink,
                 Summary& summary);
// The same with a decoder of its own for the one call.
int decodeStream(const char* path, const DecodeOptions& options, const Sink& sink, Summary& summary);

// The middle of a code's 0.75 dB step as a 16-bit sample, with its sign;
// silence (0x7F) and the unused codes above 120 come out as 0.
int16_t audioCodeToSample(uint8_t code);

const char* problemName(Problem problem);

}  // namespace view
