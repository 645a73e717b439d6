#include "encoder/video/v2encode.h"

#include <cstdio>
#include <cstring>

#include "encoder/driver/log.h"
#include "encoder/video/fifo.h"

const char* const cmdStr[V2_CMD_TYPES] = {"PAGE", "DRAW", "FIL1"};

namespace {

// No page command has been sent in a frame yet: the first one of every frame is
// then the absolute form, so the player's H never carries over between frames.
constexpr int32_t NO_PAGE_SENT = 0x1000;
// A changed byte goes to FIL1 only when its new value is this common in its page.
constexpr int32_t FIL1_MIN_COUNT = 3;

const char* cmdName(uint8_t type) {
    return type < V2_CMD_TYPES ? cmdStr[type] : "?";
}

void logCmd(const char* what, const V2FrameWork* work, int32_t index) {
    const V2PatchCmd& cmd = work->cmds[index];
    log_printf(LOG_V2_CMD, "%s cmd[%3d](%s.%d x%d)\n", what, index, cmdName(cmd.type), cmd.width, cmd.count);
}

int32_t newCmd(V2FrameWork* work, uint8_t type, int32_t width, int32_t address) {
    const int32_t index = work->cmdCount;
    V2PatchCmd& cmd = work->cmds[index];
    cmd.type = type;
    cmd.width = width;
    cmd.count = 1;
    cmd.addresses[0] = static_cast<uint16_t>(address);
    ++work->cmdCount;
    logCmd("REGIST", work, index);
    return 1;
}

void addToCmd(V2FrameWork* work, int32_t index, int32_t address) {
    V2PatchCmd& cmd = work->cmds[index];
    cmd.addresses[cmd.count] = static_cast<uint16_t>(address);
    ++cmd.count;
    logCmd("ADD   ", work, index);
}

uint8_t level(uint8_t component) {
    return static_cast<uint8_t>((component >> 4) & V2PAL_LEVEL_MASK);
}

// Palette changes as one or more 0x78 packets, each complete within the FIFO
// page where it starts.
void sendPaletUpdate(const PaletUpdate* list, int32_t* palets, int32_t* componentBytes) {
    if (list == nullptr) return;
    int32_t room = packetFIFORoom();
    int32_t length = 2;
    int32_t entries = 0;
    for (int i = 0; i < V2_PALET_MAX_ENTRIES && list[i].changes != 0; ++i) {
        uint8_t bytes[V2_PALET_ENTRY_MAX_BYTES];
        const int32_t size = V2paletEntryBytes(list[i], bytes);
        if (length + size > room) {
            if (entries > 0) packetFIFOWrite(packetBuf, length);
            packetFIFOPage();
            room = packetFIFORoom();
            length = 2;
            entries = 0;
            packetBuf[1] = 0;
        }
        std::memcpy(packetBuf + length, bytes, static_cast<size_t>(size));
        length += size;
        ++entries;
        packetBuf[1] = static_cast<uint8_t>(entries);
        ++*palets;
        *componentBytes += size - 1;
    }
    if (entries > 0) packetFIFOWrite(packetBuf, length);
}

// Finds the change runs of work->page and counts the new values.
void scanPage(V2FrameWork* work) {
    std::memset(work->histogram, 0, sizeof work->histogram);
    work->runCount = 0;
    work->cmdCount = 0;
    bool lastChanged = false;
    for (int32_t a = work->page; a < work->page + V2_ADDRESS_PAGE_BYTES; ++a) {
        const bool changed = work->next[a] != work->previous[a];
        if (changed) {
            ++work->histogram[work->next[a]];
            if (lastChanged) {
                ++work->runs[work->runCount - 1].length;
            } else {
                work->runs[work->runCount] = {a, 1};
                ++work->runCount;
            }
        }
        lastChanged = changed;
    }
}

bool frequent(const V2FrameWork* work, int32_t address) {
    return work->histogram[work->next[address]] >= FIL1_MIN_COUNT;
}

// Isolated bytes and pairs whose values are common in the page go to FIL1.
void selectFill1(V2FrameWork* work) {
    for (int32_t j = 0; j < work->runCount; ++j) {
        const V2Run run = work->runs[j];
        if (run.length == 1 && frequent(work, run.start)) {
            registFill1(work, j, 0);
        } else if (run.length == 2 && frequent(work, run.start) && frequent(work, run.start + 1)) {
            registFill1(work, j, 1);
            registFill1(work, j, 0);
        }
    }
}

// What FIL1 left is sent as DRAW entries of at most 4 bytes.
void registerDraws(V2FrameWork* work) {
    for (int32_t j = 0; j < work->runCount; ++j) {
        V2Run& run = work->runs[j];
        if (run.length == 0) continue;
        while (run.length > V2_DRAW_MAX_WIDTH) {
            log_printf(LOG_V2_CMD, "dlen_div[%2d]:", run.length);
            registDraw(work, run.start, V2_DRAW_MAX_WIDTH);
            ++work->DrawLoopDivided;
            run.start += V2_DRAW_MAX_WIDTH;
            run.length -= V2_DRAW_MAX_WIDTH;
        }
        registDraw(work, run.start, run.length);
    }
}

void sendPageCommand(V2FrameWork* work) {
    const int32_t d = (work->page >> 8) - (work->lastPage >> 8);
    if (d == 0) return;
    uint8_t bytes[2];
    int32_t length;
    if (d >= 1 && d <= V2OP_PAGE_ADVANCE_MAX) {
        bytes[0] = static_cast<uint8_t>(d);
        length = 1;
    } else {
        bytes[0] = V2OP_PAGE_SET;
        bytes[1] = static_cast<uint8_t>(work->page >> 8);
        length = 2;
    }
    log_printf(LOG_V2_PACKET, "page[%d]:", length);
    work->lastPage = work->page;
    packetFIFOWrite(bytes, length);
}

// The entry with the largest whole size below room, or -1.
int32_t chooseWhole(const V2FrameWork* work, int32_t room) {
    int32_t best = -1;
    int32_t bestSize = 0;
    for (int32_t i = 0; i < work->cmdCount; ++i) {
        const int32_t size = V2cmdSize(work->cmds[i], work->cmds[i].count);
        if (size < room && (best < 0 || size > bestSize)) {
            best = i;
            bestSize = size;
        }
    }
    return best;
}

// When nothing fits whole: cuts the entry whose largest fitting head is the
// largest, and appends its tail to the list. Returns the entry, or -1.
int32_t chooseSplit(V2FrameWork* work, int32_t room) {
    if (work->cmdCount >= V2_MAX_CMDS) return -1;  // the page is closed instead; all fits then
    int32_t best = -1;
    int32_t bestSize = 0;
    int32_t bestK = 0;
    for (int32_t i = 0; i < work->cmdCount; ++i) {
        for (int32_t k = work->cmds[i].count; k >= 1; --k) {
            const int32_t size = V2cmdSize(work->cmds[i], k);
            if (size >= room) continue;
            if (best < 0 || size > bestSize) {
                best = i;
                bestSize = size;
                bestK = k;
            }
            break;
        }
    }
    if (best < 0) return -1;
    V2PatchCmd& head = work->cmds[best];
    V2PatchCmd& tail = work->cmds[work->cmdCount];
    tail.type = head.type;
    tail.width = head.width;
    tail.count = head.count - bestK;
    std::memcpy(tail.addresses, head.addresses + bestK, sizeof(uint16_t) * static_cast<size_t>(tail.count));
    head.count = bestK;
    log_printf(LOG_V2_PACKET, "page_div[out %2d:left %2d]:", bestK, tail.count);
    ++work->cmdCount;
    return best;
}

// Builds the command in packetBuf; returns its length, or 0 for an entry that
// cannot be sent (reported and dropped).
int32_t buildCmd(const V2FrameWork* work, const V2PatchCmd& cmd) {
    int32_t length = 0;
    if (cmd.count < 1 || cmd.count > V2_CMD_MAX_ENTRIES) {
        // The count lives in the opcode's low nibble: any other count would
        // turn the command into a different one.
        printf("error V2 COUNT[%d]\n", cmd.count);
        return 0;
    }
    if (cmd.type == V2CMD_DRAW) {
        const int32_t w = cmd.width;
        if (w < 1 || w > V2_DRAW_MAX_WIDTH) {
            printf("error V2 DRAW.LEN[%d]\n", w);
            return 0;
        }
        packetBuf[length++] = static_cast<uint8_t>(v2DrawOpcode[w] + cmd.count - 1);
        log_printf(LOG_V2_PACKET, "DRAW%d[%2d]", w, cmd.count);
        for (int32_t i = 0; i < cmd.count; ++i) {
            const int32_t address = cmd.addresses[i];
            packetBuf[length++] = static_cast<uint8_t>(address & 0xFF);
            std::memcpy(packetBuf + length, work->next + address, static_cast<size_t>(w));
            length += w;
        }
        return length;
    }
    if (cmd.type == V2CMD_FIL1) {
        packetBuf[length++] = static_cast<uint8_t>(V2OP_FIL1 + cmd.count - 1);
        packetBuf[length++] = work->next[cmd.addresses[0]];
        log_printf(LOG_V2_PACKET, "FIL1[%2d]", cmd.count);
        for (int32_t i = 0; i < cmd.count; ++i) packetBuf[length++] = static_cast<uint8_t>(cmd.addresses[i] & 0xFF);
        return length;
    }
    printf("error V2 COMMAND[%d]\n", cmd.type);
    return 0;
}

}  // namespace

int32_t V2paletEntryBytes(const PaletUpdate& entry, uint8_t out[V2_PALET_ENTRY_MAX_BYTES]) {
    const int32_t p = entry.number & 0x3F;
    const uint8_t green = level(entry.green);
    const uint8_t red = level(entry.red);
    const uint8_t blue = level(entry.blue);
    if (p == 0) {
        // Palette 0 always sends all three components, marking the unchanged ones.
        out[0] = V2PAL_HDR_ZERO;
        out[1] = static_cast<uint8_t>(green | ((entry.changes & CHANGE_GREEN) ? 0 : V2PAL_UNCHANGED));
        out[2] = static_cast<uint8_t>(red | ((entry.changes & CHANGE_RED) ? 0 : V2PAL_UNCHANGED));
        out[3] = static_cast<uint8_t>(blue | ((entry.changes & CHANGE_BLUE) ? 0 : V2PAL_UNCHANGED));
        return 4;
    }
    uint8_t header = v2PaletHeaderNumber(p);
    const uint8_t low = v2PaletComponentNumber(p);
    int32_t size = 1;
    if (entry.changes & CHANGE_GREEN) {
        header |= V2PAL_HDR_GREEN;
        out[size++] = static_cast<uint8_t>(low | green);
    }
    if (entry.changes & CHANGE_RED) {
        header |= V2PAL_HDR_RED;
        out[size++] = static_cast<uint8_t>(low | red);
    }
    if (entry.changes & CHANGE_BLUE) {
        header |= V2PAL_HDR_BLUE;
        out[size++] = static_cast<uint8_t>(low | blue);
    }
    out[0] = header;
    return size;
}

int32_t V2cmdSize(const V2PatchCmd& cmd, int32_t k) {
    if (cmd.type == V2CMD_FIL1) return v2Fil1Length(k);
    const int32_t size = v2DrawLength(cmd.width, k);
    if (cmd.width > V2_DRAW_MAX_WIDTH || k > V2_CMD_MAX_ENTRIES) {
        log_printf(LOG_V2_PACKET, "error:DRAW%d-%d\n", cmd.width, k);
        return size + 1;
    }
    return size;
}

int32_t registFill1(V2FrameWork* work, int32_t run, int32_t offset) {
    V2Run& r = work->runs[run];
    const int32_t pos = r.start + offset;
    const uint8_t value = work->next[pos];
    if (offset == 0) {
        ++r.start;
        --r.length;
    } else if (r.length <= 2) {
        r.length = 1;
    } else if (work->runCount < V2_MAX_RUNS) {
        // The bytes after the second one become a run of their own.
        work->runs[work->runCount] = {r.start + 2, r.length - 2};
        ++work->runCount;
        r.length = 1;
    }  // with no free run slot the run stays whole: its DRAW repeats the byte, harmless

    for (int32_t i = 0; i < work->cmdCount; ++i) {
        const V2PatchCmd& cmd = work->cmds[i];
        if (cmd.type == V2CMD_FIL1 && cmd.width == 1 && work->next[cmd.addresses[0]] == value &&
            cmd.count < V2_CMD_MAX_ENTRIES) {
            addToCmd(work, i, pos);
            return 0;
        }
    }
    // One entry per changed byte at most, so the list never runs full.
    if (work->cmdCount >= V2_MAX_CMDS) return 0;
    return newCmd(work, V2CMD_FIL1, 1, pos);
}

int32_t registDraw(V2FrameWork* work, int32_t address, int32_t width) {
    bool fullSeen = false;
    for (int32_t i = 0; i < work->cmdCount; ++i) {
        const V2PatchCmd& cmd = work->cmds[i];
        if (cmd.type != V2CMD_DRAW || cmd.width != width) continue;
        if (cmd.count < V2_CMD_MAX_ENTRIES) {
            addToCmd(work, i, address);
            return 0;
        }
        fullSeen = true;
    }
    if (work->cmdCount >= V2_MAX_CMDS) return 0;
    newCmd(work, V2CMD_DRAW, width, address);
    if (fullSeen) ++work->DrawLenDivided;
    return 1;
}

int32_t x1gram_V2deleteCmd(V2FrameWork* work, int32_t index) {
    if (index < 0 || index >= work->cmdCount) return 0;
    logCmd("DELETE", work, index);
    --work->cmdCount;
    std::memmove(work->cmds + index, work->cmds + index + 1,
                 sizeof(V2PatchCmd) * static_cast<size_t>(work->cmdCount - index));
    return 0;
}

int32_t sendPatchCmd(V2FrameWork* work) {
    if (work->cmdCount == 0) return 0;
    sendPageCommand(work);
    while (work->cmdCount > 0) {
        const int32_t room = packetFIFORoom();
        log_printf(LOG_V2_PACKET, "buf[%4d]:", room);
        int32_t chosen = chooseWhole(work, room);
        if (chosen < 0) chosen = chooseSplit(work, room);
        log_printf(LOG_V2_PACKET, "cmd[%2d]: ", chosen);
        if (chosen < 0 && room < FIFO_PAGE_LAST) {
            packetFIFOPage();
            continue;
        }
        // Every sound entry fits an empty page; one that does not is reported
        // and dropped below rather than closing pages for ever.
        if (chosen < 0) chosen = 0;
        const int32_t length = buildCmd(work, work->cmds[chosen]);
        if (length > 0) packetFIFOWrite(packetBuf, length);
        x1gram_V2deleteCmd(work, chosen);
    }
    return 0;
}

int32_t V2compressEncodeFrame(uint8_t* previous, const uint8_t* next, const PaletUpdate* list) {
    // One record, cleared for every frame; it keeps nothing between frames.
    static V2FrameWork work;
    std::memset(&work, 0, sizeof work);
    work.previous = previous;
    work.next = next;
    work.lastPage = NO_PAGE_SENT;
    totalBytes = 0;
    packetBuf[0] = V2OP_PALET;
    packetBuf[1] = 0;

    int32_t palets = 0;
    int32_t componentBytes = 0;
    sendPaletUpdate(list, &palets, &componentBytes);
    log_printf(LOG_V2_FRAME, "update %d palets,%d bytes\n", palets, componentBytes);

    for (int32_t page = V2_GRAM_PLANE_TOP; page < V2_GRAM_END; page += V2_ADDRESS_PAGE_BYTES) {
        work.page = page;
        scanPage(&work);
        if (work.runCount == 0) continue;
        log_printf(LOG_V2_CMD, "---- PAGE[%04X],block=%3d ----\n", page, work.runCount);
        selectFill1(&work);
        registerDraws(&work);
        sendPatchCmd(&work);
    }

    packetFIFOWriteByte(V2OP_FRAME_END);
    if (previous != next) std::memcpy(previous, next, GRAM_PAGE_BYTES);
    printf("V2compressFrame :DrawLenDivided %d , DrawLoopDivided %d\n", work.DrawLenDivided,
           work.DrawLoopDivided);
    return totalBytes;
}
