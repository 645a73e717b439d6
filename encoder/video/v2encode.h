// The frame difference encoder: palette changes, then the changed GRAM bytes
// of every address page as DRAW and FIL1 commands, packed best-fit into the
// FIFO pages, then the frame end.
#pragma once

#include <cstdint>

#include "encoder/image/decode_bmp.h"
#include "format/v2format.h"

enum V2CmdType : uint8_t { V2CMD_PAGE = 0, V2CMD_DRAW = 1, V2CMD_FIL1 = 2 };
inline constexpr int V2_CMD_TYPES = 3;
extern const char* const cmdStr[V2_CMD_TYPES];  // names for the trace log

inline constexpr int V2_MAX_RUNS = 256;
inline constexpr int V2_MAX_CMDS = 256;

// One command of an address page's list. A FIL1 command's fill value is the
// new image's byte at its first address.
struct V2PatchCmd {
    uint8_t type;       // V2CMD_DRAW or V2CMD_FIL1
    int32_t width;      // DRAW: data bytes per entry 1-4; FIL1: 1
    int32_t count;      // addresses held, 1-16
    uint16_t addresses[V2_CMD_MAX_ENTRIES];  // full GRAM addresses, in registration order
};

// A maximal stretch of consecutive changed bytes inside one address page.
struct V2Run {
    int32_t start;   // GRAM address of its first byte still to send
    int32_t length;  // bytes; 0 once FIL1 took them all
};

// Work record of one frame; zero-filled when the frame starts.
struct V2FrameWork {
    uint8_t* previous;        // what the target holds; becomes the new image at the end
    const uint8_t* next;      // the frame to send
    int32_t page;             // current address page, 0x4000 ... 0xFF00
    int32_t lastPage;         // address page of the last page command sent
    int32_t DrawLenDivided;   // DRAW commands opened because the others of that width were full
    int32_t DrawLoopDivided;  // 4-byte pieces cut off runs longer than 4 bytes
    int32_t histogram[256];   // changed bytes of the page by new value
    int32_t runCount;
    V2Run runs[V2_MAX_RUNS];
    int32_t cmdCount;
    V2PatchCmd cmds[V2_MAX_CMDS];
};

// Encodes one frame; returns the bytes it added to the FIFO (fill and markers
// included). previous receives all of next.
int32_t V2compressEncodeFrame(uint8_t* previous, const uint8_t* next, const PaletUpdate* list);
// Gives byte `offset` (0 or 1) of run `run` to a FIL1 command; 1 when a new command was made.
int32_t registFill1(V2FrameWork* work, int32_t run, int32_t offset);
// Registers a DRAW entry of width bytes at address; 1 when a new command was made.
int32_t registDraw(V2FrameWork* work, int32_t address, int32_t width);
// Writes the page command and empties the command list into the FIFO; returns 0.
int32_t sendPatchCmd(V2FrameWork* work);
int32_t x1gram_V2deleteCmd(V2FrameWork* work, int32_t index);

// The 2-4 bytes of one palette update entry; returns their count.
int32_t V2paletEntryBytes(const PaletUpdate& entry, uint8_t out[V2_PALET_ENTRY_MAX_BYTES]);
// Stream size of a command holding k of its addresses.
int32_t V2cmdSize(const V2PatchCmd& cmd, int32_t k);
