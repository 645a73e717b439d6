// The video FIFO page packetizer: an image of the player's stream memory, a
// ring of four 8192-byte FIFO pages. Writers append whole commands; when a
// command would reach a page's last byte the page is closed (NOP fill and a
// page-end marker) and handed to videoUpdateCB as one video block.
#pragma once

#include <cstdint>

#include "format/stream.h"  // the ring and its pages

inline constexpr int FIFO_MEMORY_BYTES = 0x10000;
inline constexpr int PACKET_BUF_BYTES = FIFO_PAGE_BYTES;

extern uint8_t memory_buf[FIFO_MEMORY_BYTES];  // ring image; offsets 0x0000-0x7FFF used
extern int32_t fifo_buffer_address;             // next write offset in the ring
extern int32_t fifo_writed_address;             // ring offset of the page being filled
extern int32_t fifo_buffer_top;                 // ring top
extern int32_t fifo_buffer_end;                 // first offset past the ring
extern int32_t totalBytes;                      // bytes put into the ring in the current frame
extern uint8_t packetBuf[PACKET_BUF_BYTES];     // staging buffer for one command or packet

// Empties the ring and puts the write position at its top.
void packetFIFOReset();
// packetFIFOReset, and also the frame's byte count and the staging buffer:
// the module's state at program start.
void fifoReset();

// The ring and its positions, for a caller that tries a frame and takes it
// back (the staging buffer holds nothing between commands).
struct FifoState {
    uint8_t ring[FIFO_RING_END];
    int32_t address, page, top, end, bytes;
};
void fifoSave(FifoState* state);
void fifoRestore(const FifoState& state);
// Bytes a command may still take in the current page, the marker excluded.
int32_t packetFIFORoom();
// Appends n bytes (1 to 8191); closes the page first when they would reach its
// last byte. Returns the bytes added, fill and marker included; 0 for a size
// that no page can hold.
int32_t packetFIFOWrite(const uint8_t* data, int32_t n);
int32_t packetFIFOWriteByte(uint8_t byte);
// Fills the current page with NOPs, puts its marker, hands it over and moves
// to the next page of the ring. Returns the bytes it wrote.
int32_t packetFIFOPage();
