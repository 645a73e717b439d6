// The encoder run in process: vendrel's driver steps on frames in memory, the
// stream written through a FILE of our own into memory.
#include "tools/prep/encode_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "encoder/driver/streaminfo.h"
#include "encoder/video/compress.h"
#include "tools/prep/output.h"

namespace prep {
namespace {

constexpr int INDEX_BYTES = AVINDEX_HEADER_BYTES + AVINDEX_TABLE_BYTES;
// Frames whose records are made room for at the start (an hour at 15 frames
// per second), so that no frame allocates.
constexpr size_t FRAMES_RESERVED = 1 << 16;

// A sound window starts a little before the sample asked for: a frame taken
// back goes back a few blocks.
constexpr int32_t SOUND_WINDOW_BACK = Session::SOUND_WINDOW_SAMPLES / 4;

// The encoder's source of samples (pcmtl_InitSource): context is the session.
int32_t windowSample(void* context, int32_t index) {
    Session::SoundWindow& sound = static_cast<Session*>(context)->sound;
    if (index < sound.first || index >= sound.first + sound.count) {
        sound.first = std::max(0, index - SOUND_WINDOW_BACK);
        uint8_t* bytes = sound.bytes;
        const ssize_t n = pread(sound.fd, bytes, sizeof sound.bytes, WAV_HEADER_BYTES + off_t{sound.first} * 2);
        sound.count = n > 0 ? static_cast<int32_t>(n / 2) : 0;
        for (int32_t i = 0; i < sound.count; ++i)
            sound.samples[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        if (index >= sound.first + sound.count) {
            sound.failed = true;  // the header promised this sample
            return 0;
        }
    }
    return sound.samples[index - sound.first];
}

// Opens the sound for the encoder: read in windows when vendrel-prep wrote
// the file, whole (as vendrel reads it) otherwise.
bool openSound(Session* s, const char* path, AvIndexEntry* entry) {
    Session::SoundWindow& sound = s->sound;
    if (sound.fd >= 0) close(sound.fd);
    sound.fd = open(path, O_RDONLY | O_CLOEXEC);
    sound.first = sound.count = 0;
    sound.failed = false;
    uint32_t samples = 0;
    if (sound.fd >= 0 && wavOwnSamples(sound.fd, &samples) && samples <= INT32_MAX) {
        pcmtl_InitSource(fpDst, windowSample, s, static_cast<int32_t>(samples), entry);
        return true;
    }
    if (sound.fd >= 0) close(sound.fd);
    sound.fd = -1;
    return pcmtl_Init(fpDst, path, entry) >= 0;
}

bool writeAt(int fd, const char* data, size_t n, int64_t offset) {
    while (n > 0) {
        const ssize_t w = pwrite(fd, data, n, static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
        offset += w;
    }
    return true;
}

ssize_t sinkWrite(void* cookie, const char* data, size_t n) {
    Session::Sink* sink = static_cast<Session::Sink*>(cookie);
    const int64_t end = sink->position + static_cast<int64_t>(n);
    if (sink->keep) {
        if (end > static_cast<int64_t>(sink->bytes.size())) sink->bytes.resize(static_cast<size_t>(end));
        std::memcpy(sink->bytes.data() + sink->position, data, n);
    }
    if (sink->fd >= 0 && !writeAt(sink->fd, data, n, sink->base + sink->position)) sink->failed = true;
    sink->position = end;
    sink->size = std::max(sink->size, end);
    return static_cast<ssize_t>(n);
}

int sinkSeek(void* cookie, off64_t* offset, int whence) {
    Session::Sink* sink = static_cast<Session::Sink*>(cookie);
    const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? sink->position : sink->size;
    if (base + *offset < 0) return -1;
    sink->position = base + *offset;
    *offset = sink->position;
    return 0;
}

// The encoder prints a line or more for every frame and block; vendrel-prep
// has its own output. Standard output goes to /dev/null while the encoder runs.
class QuietOutput {
public:
    explicit QuietOutput(FILE* quiet) : saved_(stdout) {
        if (quiet) stdout = quiet;
    }
    ~QuietOutput() { stdout = saved_; }
    QuietOutput(const QuietOutput&) = delete;
    QuietOutput& operator=(const QuietOutput&) = delete;

private:
    FILE* saved_;
};

// The frame as the 8-bit BMP vendrel-prep writes for it (writeFrameBmp):
// the same entries, components as level << 4, rows bottom-up.
const BmpImage* asBmp(Session* s, const ReducedFrame& frame) {
    const int entries = frameBmpBody(frame, s->bmpData);
    BmpImage& bmpImage = s->bmpImage;
    bmpImage = BmpImage{};
    bmpImage.width = SCREEN_WIDTH;
    bmpImage.height = SCREEN_HEIGHT;
    bmpImage.planes = 1;
    bmpImage.bitCount = 8;
    bmpImage.paletBytes = entries * 4;
    bmpImage.stride = FRAME_BMP_STRIDE;
    bmpImage.pixelBytes = FRAME_BMP_PIXEL_BYTES;
    bmpImage.data = s->bmpData;
    return &bmpImage;
}

// Blocks written so far; the index keeps their kinds.
size_t blocksWritten() { return static_cast<size_t>(avindex_pos); }

bool blockIsAudio(size_t block) { return avIndexBlockIsAudio(avindex_table, block); }

int64_t firstBlockOffset() { return INDEX_BYTES; }

// Adds the next unit to the model and moves the feed on.
double feedUnit(const Session& s, model::Sim* sim, SessionSnapshot::Feed* feed, size_t frames) {
    const bool written = feed->block < blocksWritten();
    const bool audio = written && blockIsAudio(feed->block);
    double at;
    if (audio) {
        at = model::simAddAudioUnit(sim, feed->audioBlock, feed->unit);
    } else {
        const int64_t last = feed->offset + static_cast<int64_t>(feed->unit + 1) * model::UNIT_BYTES - 1;
        while (feed->owner < frames && s.ends[feed->owner] < last) ++feed->owner;
        const size_t o = feed->owner;
        at = model::simAddVideoUnit(sim, static_cast<int32_t>(o), o > 0 ? s.shows[o - 1] : 0);
    }
    feed->lastRead = at;
    const int units = audio ? model::AUDIO_BLOCK_UNITS : model::VIDEO_BLOCK_UNITS;
    if (++feed->unit == units) {
        feed->unit = 0;
        feed->offset += units * model::UNIT_BYTES;
        ++feed->block;
        if (audio) ++feed->audioBlock;
    }
    return at;
}

int64_t feedPosition(const SessionSnapshot::Feed& feed) {
    return feed.offset + static_cast<int64_t>(feed.unit) * model::UNIT_BYTES;
}

}  // namespace

bool sessionOpen(Session* s, const SessionSetup& setup) {
    if (s->stream) fclose(s->stream);
    if (!s->quiet) s->quiet = fopen("/dev/null", "w");
    s->sink = Session::Sink{{}, setup.keepBytes, 0, 0, s->pendingFd, s->pendingBase, false};
    s->pendingFd = -1;
    s->compressType = setup.compressType;
    s->page = 0;
    s->ends.clear();
    s->shows.clear();
    s->ends.reserve(FRAMES_RESERVED);
    s->shows.reserve(FRAMES_RESERVED);
    s->feed = SessionSnapshot::Feed{0, 0, 0, 0, 0, 0.0};
    const cookie_io_functions_t io = {nullptr, sinkWrite, sinkSeek, nullptr};
    s->stream = fopencookie(&s->sink, "wb", io);
    if (!s->stream) return false;
    setvbuf(s->stream, nullptr, _IONBF, 0);

    QuietOutput quiet(s->quiet);
    const StreamInfo defaults;
    // Every module as vendrel starts: the pages as a black screen.
    decode_bmp_reset();
    avindexReset();
    compressReset();
    pcmtl_Reset();
    decode_bmp_setColorLimit(defaults.paletLimit);
    fpDst = s->stream;
    AvIndexEntry* header = hdr;
    avindexOut(fpDst);
    if (setup.wavPath) {
        if (!openSound(s, setup.wavPath, &header[AVINDEX_KIND_AUDIO])) return false;
        pcmtlSeek({pcmtlTell().memAddress, setup.soundFrom});
        audioSamplesVframe = AUDIO_BLOCKS_PER_DISPLAY_FRAME;
        videoUpdateCB(nullptr, 0, 0);
    }
    compressGramInit(fpDst, header);
    fileFrame = 0;
    header[AVINDEX_KIND_VIDEO].bytes[AVENTRY_KIND_PARAM] = static_cast<uint8_t>(defaults.videoInterval & 0xFF);
    return true;
}

SessionFrame sessionFrame(Session* s, const ReducedFrame& frame, const FrameParams& params) {
    QuietOutput quiet(s->quiet);
    const int page = s->page;
    curFrame = static_cast<int>(s->ends.size());
    decode_bmp_setColorLimit(params.colourLimit);
    SessionFrame result;
    result.accepted = decode_bmp_gram(page, asBmp(s, frame)) == 0;
    compressFrameTimeSet(params.interval);
    result.bytes = compressGram(gram_buf[page], gram_buf[2], paletUpdateList);
    // The frame end is the last byte put into the open page, which becomes
    // the next block at the stream's end.
    const int64_t openPage = s->sink.size - firstBlockOffset();
    result.end = openPage + (fifo_buffer_address - 1 - fifo_writed_address);
    s->ends.push_back(result.end);
    s->shows.push_back(frameTime);
    if (s->compressType == 2) s->page ^= 1;
    frameTime += params.interval;
    return result;
}

int sessionFinish(Session* s) {
    QuietOutput quiet(s->quiet);
    const int bytes = compressGramEnd();
    if (fseek(s->stream, 0, SEEK_SET) != 0 || avindexOut(s->stream) < 0) streamReportWriteError("index");
    fseek(s->stream, 0, SEEK_END);
    Session::Sink& sink = s->sink;
    if (sink.fd >= 0 && ftruncate(sink.fd, static_cast<off_t>(sink.base + sink.size)) != 0) sink.failed = true;
    return bytes;
}

void sessionWriteInto(Session* s, int fd, int64_t base) {
    s->pendingFd = fd;
    s->pendingBase = base;
}

bool sessionWriteFailed(const Session* s) { return s->sink.failed || s->sound.failed; }

bool sessionSilenceFrom(Session* s, int64_t end) {
    uint8_t* block = s->silenceBlock;
    Session::Sink& sink = s->sink;
    int64_t offset = firstBlockOffset();
    int64_t first = 0;  // the block's first sample
    for (size_t b = 0; b < blocksWritten(); ++b) {
        if (!blockIsAudio(b)) {
            offset += FIFO_PAGE_BYTES;
            continue;
        }
        if (first + AUDIO_SAMPLES_PER_BLOCK > end) {
            // Every page: its marker, then a code a sample.
            uint8_t* bytes = sink.keep ? sink.bytes.data() + offset : block;
            if (!sink.keep && (sink.fd < 0 || pread(sink.fd, block, AUDIO_BLOCK_BYTES, sink.base + offset) != AUDIO_BLOCK_BYTES))
                return false;
            for (int64_t s = std::max(end, first); s < first + AUDIO_SAMPLES_PER_BLOCK; ++s) {
                const int64_t i = s - first;
                bytes[i / (AUDIO_PAGE_BYTES - 1) * AUDIO_PAGE_BYTES + 1 + i % (AUDIO_PAGE_BYTES - 1)] = AUDIO_CODE_SILENCE;
            }
            if (sink.fd >= 0 && !writeAt(sink.fd, reinterpret_cast<const char*>(bytes), AUDIO_BLOCK_BYTES, sink.base + offset))
                return false;
        }
        offset += AUDIO_BLOCK_BYTES;
        first += AUDIO_SAMPLES_PER_BLOCK;
    }
    return true;
}

// The index stops counting at its capacity; the stream's size does not.
int sessionBlocks(const Session* s) {
    const int64_t videoBytes = s->sink.size - firstBlockOffset() - int64_t{audioBlock} * AUDIO_BLOCK_BYTES;
    return audioBlock + static_cast<int>(videoBytes / FIFO_PAGE_BYTES);
}

const std::vector<uint8_t>& sessionBytes(const Session* s) { return s->sink.bytes; }

double sessionFeed(Session* s, model::Sim* sim, int frame) {
    const int64_t target = s->ends[static_cast<size_t>(frame)] / model::UNIT_BYTES * model::UNIT_BYTES;
    // Several small frames may end in one unit: it was read with the first.
    while (feedPosition(s->feed) <= target) feedUnit(*s, sim, &s->feed, s->ends.size());
    if (frame == 0) model::simFrameZeroDone(sim);
    return s->feed.lastRead;
}

void sessionFeedRest(Session* s, model::Sim* sim) {
    while (s->feed.block < blocksWritten()) feedUnit(*s, sim, &s->feed, s->ends.size());
    model::simFinish(sim);
}

int64_t sessionRoom(Session* s, const model::Sim& from, double readBy, int64_t cap) {
    const size_t frame = s->ends.size();
    if (frame == 0 || s->feed.block < blocksWritten()) return cap;
    model::Sim& sim = s->roomSim;  // a copy to walk on
    sim = from;
    const int64_t ownerStart = s->shows[frame - 1];
    const int64_t start = s->ends[frame - 1] + 1;
    int audioDue = audioSamplesVframe == 0.0 ? 0 : std::max(0, audioBlocksDue(frameTime) - audioBlock);
    int32_t audioNext = s->feed.audioBlock;
    int64_t position = feedPosition(s->feed);
    int64_t pageEnd = s->sink.size - firstBlockOffset() + FIFO_PAGE_BYTES;
    int64_t allowed = std::max<int64_t>(0, position - start);  // the rest of the unit already read
    while (allowed < cap) {
        if (position >= pageEnd) {
            // The page closes: the audio due follows it, then the next page.
            const int32_t gaps = sim.soundGaps;
            for (; audioDue > 0; --audioDue, ++audioNext) {
                for (int j = 0; j < model::AUDIO_BLOCK_UNITS; ++j) model::simAddAudioUnit(&sim, audioNext, j);
                position += AUDIO_BLOCK_BYTES;
            }
            if (sim.soundGaps != gaps) break;
            pageEnd = position + FIFO_PAGE_BYTES;
        }
        const double at = model::simAddVideoUnit(&sim, static_cast<int32_t>(frame), ownerStart);
        if (sim.started && at > sim.start + readBy) break;
        position += model::UNIT_BYTES;
        allowed += model::UNIT_BYTES;
    }
    return std::min(allowed, cap);
}

model::Layout sessionLayout(const Session* s) {
    model::Layout layout;
    SessionSnapshot::Feed feed{0, 0, 0, 0, 0, 0.0};
    const size_t frames = s->ends.size();
    for (size_t b = 0; b < blocksWritten(); ++b) {
        const bool audio = blockIsAudio(b);
        const int units = audio ? model::AUDIO_BLOCK_UNITS : model::VIDEO_BLOCK_UNITS;
        for (int j = 0; j < units; ++j) {
            model::Unit unit{audio, audio ? feed.audioBlock : 0, j, 0};
            if (!audio) {
                const int64_t last = feed.offset + static_cast<int64_t>(j + 1) * model::UNIT_BYTES - 1;
                while (feed.owner < frames && s->ends[feed.owner] < last) ++feed.owner;
                unit.owner = static_cast<int32_t>(feed.owner);
            }
            layout.units.push_back(unit);
        }
        feed.offset += units * model::UNIT_BYTES;
        if (audio) ++feed.audioBlock;
    }
    for (size_t f = 0; f < frames; ++f) {
        layout.frameEndUnit.push_back(s->ends[f] / model::UNIT_BYTES);
        layout.showTime.push_back(s->shows[f]);
    }
    return layout;
}

void sessionSaveForEnd(const Session* session, SessionSnapshot* s) {
    compressSave(&s->video);
    avindexSave(&s->stream);
    s->audio = pcmtlTell();
    s->streamSize = session->sink.size;
    s->frames = session->ends.size();
    s->page = session->page;
    s->feed = session->feed;
}

void sessionRestoreForEnd(Session* session, const SessionSnapshot& s) {
    compressRestore(s.video);
    avindexRestore(s.stream);
    pcmtlSeek(s.audio);
    session->sink.size = session->sink.position = s.streamSize;
    if (session->sink.keep) session->sink.bytes.resize(static_cast<size_t>(s.streamSize));
    fseek(session->stream, s.streamSize, SEEK_SET);
    session->ends.resize(s.frames);
    session->shows.resize(s.frames);
    session->page = s.page;
    session->feed = s.feed;
}

int sessionBlocksIfEnded(Session* s) {
    SessionSnapshot& here = s->endState;  // only its end state is used
    sessionSaveForEnd(s, &here);
    Session::Sink& sink = s->sink;
    const int fd = sink.fd;
    const bool keep = sink.keep;
    sink.fd = -1;  // the end goes nowhere: the frames after overwrite it anyway
    sink.keep = false;
    sessionFinish(s);
    const int blocks = sessionBlocks(s);
    sink.fd = fd;
    sink.keep = keep;
    sessionRestoreForEnd(s, here);
    return blocks;
}

void sessionSave(const Session* session, SessionSnapshot* s) {
    decode_bmp_save(&s->image);
    sessionSaveForEnd(session, s);
}

void sessionRestore(Session* session, const SessionSnapshot& s) {
    decode_bmp_restore(s.image);
    sessionRestoreForEnd(session, s);
}

}  // namespace prep
