#include "encoder/video/fifo.h"

#include <cstring>

#include "encoder/driver/log.h"
#include "encoder/stream/avindex.h"
#include "format/v2format.h"

uint8_t memory_buf[FIFO_MEMORY_BYTES];
int32_t fifo_buffer_address = 0;
int32_t fifo_writed_address = 0;
int32_t fifo_buffer_top = FIFO_RING_TOP;
int32_t fifo_buffer_end = FIFO_RING_END;
int32_t totalBytes = 0;
uint8_t packetBuf[PACKET_BUF_BYTES];

namespace {

void traceByte(const char* what, uint8_t value) {
    log_printf(LOG_V2_PACKET, "%s:", what);
    log_printf(LOG_V2_PACKET, " M[%04X:s%3d,a%d,D%02X]\n", fifo_buffer_address, 1, 0, value);
}

// Fill and markers are counted here, not by the write that caused them.
void putFillByte(uint8_t value) {
    memory_buf[fifo_buffer_address] = value;
    ++fifo_buffer_address;
    ++totalBytes;
}

int32_t wrapIntoRing(int32_t offset) {
    return offset >= fifo_buffer_end ? offset - (fifo_buffer_end - fifo_buffer_top) : offset;
}

}  // namespace

void packetFIFOReset() {
    fifo_buffer_top = FIFO_RING_TOP;
    fifo_buffer_end = FIFO_RING_END;
    fifo_buffer_address = FIFO_RING_TOP;
    fifo_writed_address = FIFO_RING_TOP;
    std::memset(memory_buf, 0, sizeof memory_buf);
}

void fifoReset() {
    packetFIFOReset();
    totalBytes = 0;
    std::memset(packetBuf, 0, sizeof packetBuf);
}

void fifoSave(FifoState* s) {
    std::memcpy(s->ring, memory_buf, sizeof s->ring);
    s->address = fifo_buffer_address;
    s->page = fifo_writed_address;
    s->top = fifo_buffer_top;
    s->end = fifo_buffer_end;
    s->bytes = totalBytes;
}

void fifoRestore(const FifoState& s) {
    std::memcpy(memory_buf, s.ring, sizeof s.ring);
    fifo_buffer_address = s.address;
    fifo_writed_address = s.page;
    fifo_buffer_top = s.top;
    fifo_buffer_end = s.end;
    totalBytes = s.bytes;
}

int32_t packetFIFORoom() {
    return FIFO_PAGE_LAST - fifo_buffer_address % FIFO_PAGE_BYTES;
}

int32_t packetFIFOPage() {
    int32_t written = 0;
    while (fifo_buffer_address % FIFO_PAGE_BYTES != FIFO_PAGE_LAST) {
        traceByte("NOP", V2OP_NOP);
        putFillByte(V2OP_NOP);
        ++written;
    }
    // The ring's last page sends the player back to the ring top.
    const bool lastOfRing = fifo_buffer_address + 1 >= fifo_buffer_end;
    const uint8_t marker = lastOfRing ? V2OP_LOOP : V2OP_BLOCK;
    traceByte(lastOfRing ? "LOOP" : "BLOCK", marker);
    putFillByte(marker);
    ++written;

    videoUpdateCB(memory_buf, fifo_writed_address, FIFO_PAGE_BYTES);

    fifo_writed_address += FIFO_PAGE_BYTES;
    fifo_buffer_address = wrapIntoRing(fifo_buffer_address);
    fifo_writed_address = wrapIntoRing(fifo_writed_address);
    return written;
}

int32_t packetFIFOWrite(const uint8_t* data, int32_t n) {
    // A command must fit whole before a page's marker; nothing larger exists.
    if (data == nullptr || n < 1 || n > FIFO_PAGE_LAST) return 0;
    log_printf(LOG_V2_PACKET, " M[%04X:s%3d,a%d,D%02X]\n", fifo_buffer_address, n, 1, data[0]);
    int32_t added = 0;
    if (n >= FIFO_PAGE_BYTES - fifo_buffer_address % FIFO_PAGE_BYTES) added = packetFIFOPage();
    std::memcpy(memory_buf + fifo_buffer_address, data, static_cast<size_t>(n));
    fifo_buffer_address += n;
    totalBytes += n;
    return added + n;
}

int32_t packetFIFOWriteByte(uint8_t byte) {
    return packetFIFOWrite(&byte, 1);
}
