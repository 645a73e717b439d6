// Frame and sound files of vendrel-prep.
#include "tools/prep/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "format/audio.h"  // the WAV header
#include "format/endian.h"

namespace prep {
namespace {

constexpr int BMP_FILE_HEADER_BYTES = 14;
constexpr int BMP_INFO_HEADER_BYTES = 40;
constexpr int BMP_HEADER_BYTES = BMP_FILE_HEADER_BYTES + BMP_INFO_HEADER_BYTES;
constexpr int BMP_BITS = 8;
// Where writeFrameBmp puts the fields that readFrameBmp checks.
constexpr int BMP_PIXEL_OFFSET_AT = 10;
constexpr int BMP_WIDTH_AT = BMP_FILE_HEADER_BYTES + 4;
constexpr int BMP_HEIGHT_AT = BMP_FILE_HEADER_BYTES + 8;
constexpr int BMP_BIT_COUNT_AT = BMP_FILE_HEADER_BYTES + 14;
constexpr int BMP_COLOURS_USED_AT = BMP_FILE_HEADER_BYTES + 32;
constexpr int BMP_STRIDE = FRAME_BMP_STRIDE;
constexpr int BMP_PIXEL_BYTES = FRAME_BMP_PIXEL_BYTES;
constexpr int BMP_PELS_PER_METRE = 2835;  // 72 dots per inch
constexpr int BMP_MAX_BYTES = BMP_HEADER_BYTES + FRAME_BMP_BODY_MAX_BYTES;

constexpr int WAV_CHUNK_SAMPLES = 4096;
constexpr int FULL_SCALE = 32767;
constexpr int WAV_DATA_SIZE_AT = 40;  // the data chunk's size in the header wavSoundHeader writes

uint8_t* put16(uint8_t* p, uint32_t v) {
    putLeU16(p, v);
    return p + 2;
}

uint8_t* put32(uint8_t* p, uint32_t v) {
    putLeU32(p, v);
    return p + 4;
}

bool writeSamples(WavWriter* wav, const int16_t* s, int count) {
    for (int i = 0; i < count; ++i) {
        const uint16_t v = static_cast<uint16_t>(s[i]);
        const uint8_t bytes[2] = {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)};
        if (fwrite(bytes, 1, 2, wav->file) != 2) return false;
    }
    return true;
}

int16_t readSample(const uint8_t* p) { return static_cast<int16_t>(leU16(p)); }

// Multiplies every sample in the file by gain, chunk by chunk, in place.
bool scaleSamples(WavWriter* wav, double gain) {
    std::array<uint8_t, WAV_CHUNK_SAMPLES * 2> bytes;
    std::array<int16_t, WAV_CHUNK_SAMPLES> wavChunk;
    long position = WAV_HEADER_BYTES;
    uint32_t left = wav->samples;
    while (left > 0) {
        const uint32_t n = std::min<uint32_t>(left, WAV_CHUNK_SAMPLES);
        if (fseek(wav->file, position, SEEK_SET) != 0 || fread(bytes.data(), 2, n, wav->file) != n) return false;
        for (uint32_t i = 0; i < n; ++i) {
            const long v = std::lround(readSample(&bytes[2 * i]) * gain);
            wavChunk[i] = static_cast<int16_t>(std::clamp<long>(v, -32768, FULL_SCALE));
        }
        if (fseek(wav->file, position, SEEK_SET) != 0 || !writeSamples(wav, wavChunk.data(), static_cast<int>(n)))
            return false;
        position += static_cast<long>(n) * 2;
        left -= n;
    }
    return true;
}

}  // namespace

int frameBmpBody(const ReducedFrame& frame, uint8_t* out) {
    const int entries = std::clamp(frame.paletteSize, 1, MAX_COLOURS);
    for (int j = 0; j < entries; ++j) {
        const Colour12 c = j < frame.paletteSize ? frame.palette[j] : 0;
        *out++ = static_cast<uint8_t>(blue4(c) << 4);
        *out++ = static_cast<uint8_t>(green4(c) << 4);
        *out++ = static_cast<uint8_t>(red4(c) << 4);
        *out++ = 0;
    }
    for (int y = SCREEN_HEIGHT - 1; y >= 0; --y) out = std::copy_n(frame.index.begin() + y * SCREEN_WIDTH, SCREEN_WIDTH, out);
    return entries;
}

bool writeFrameBmp(const char* path, const ReducedFrame& frame) {
    std::array<uint8_t, BMP_MAX_BYTES> bytes;
    const int entries = frameBmpBody(frame, bytes.data() + BMP_HEADER_BYTES);
    const uint32_t offset = BMP_HEADER_BYTES + entries * 4;
    const uint32_t size = offset + BMP_PIXEL_BYTES;
    uint8_t* p = bytes.data();
    *p++ = 'B';
    *p++ = 'M';
    p = put32(p, size);
    p = put32(p, 0);
    p = put32(p, offset);
    p = put32(p, BMP_INFO_HEADER_BYTES);
    p = put32(p, SCREEN_WIDTH);
    p = put32(p, SCREEN_HEIGHT);  // positive: rows stored bottom-up
    p = put16(p, 1);
    p = put16(p, BMP_BITS);
    p = put32(p, 0);  // uncompressed
    p = put32(p, BMP_PIXEL_BYTES);
    p = put32(p, BMP_PELS_PER_METRE);
    p = put32(p, BMP_PELS_PER_METRE);
    p = put32(p, entries);  // the encoder reads exactly this many entries
    put32(p, entries);
    FILE* f = fopen(path, "wb");
    if (!f) return false;
    const bool written = fwrite(bytes.data(), 1, size, f) == size;
    return fclose(f) == 0 && written;
}

bool readFrameBmp(const char* path, ReducedFrame* frame) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    std::array<uint8_t, BMP_MAX_BYTES> bytes;
    const size_t n = fread(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    const uint8_t* p = bytes.data();
    if (n < BMP_HEADER_BYTES || p[0] != 'B' || p[1] != 'M') return false;
    const uint32_t offset = leU32(p + BMP_PIXEL_OFFSET_AT);
    const uint32_t entries = leU32(p + BMP_COLOURS_USED_AT);
    if (entries < 1 || entries > MAX_COLOURS || offset != BMP_HEADER_BYTES + entries * 4 ||
        n != offset + BMP_PIXEL_BYTES || leU32(p + BMP_WIDTH_AT) != SCREEN_WIDTH ||
        leU32(p + BMP_HEIGHT_AT) != SCREEN_HEIGHT || p[BMP_BIT_COUNT_AT] != BMP_BITS)
        return false;
    frame->paletteSize = static_cast<int>(entries);
    for (uint32_t j = 0; j < entries; ++j) {
        const uint8_t* e = p + BMP_HEADER_BYTES + 4 * j;  // blue, green, red, 0
        frame->palette[j] = colour12(e[2] >> 4, e[1] >> 4, e[0] >> 4);
    }
    for (int y = 0; y < SCREEN_HEIGHT; ++y) {
        const uint8_t* row = p + offset + (SCREEN_HEIGHT - 1 - y) * BMP_STRIDE;
        std::copy_n(row, SCREEN_WIDTH, frame->index.begin() + y * SCREEN_WIDTH);
    }
    frame->sceneCut = false;
    frame->keptColours = 0;
    return true;
}

bool wavOpen(WavWriter* wav, const char* path) {
    *wav = WavWriter{};
    wav->file = fopen(path, "w+b");
    if (!wav->file) return false;
    uint8_t header[WAV_HEADER_BYTES];
    wavSoundHeader(header, 0);
    wav->failed = fwrite(header, 1, WAV_HEADER_BYTES, wav->file) != WAV_HEADER_BYTES;
    return !wav->failed;
}

void wavAddPairs(WavWriter* wav, const int16_t* samples, int count) {
    std::array<int16_t, WAV_CHUNK_SAMPLES> wavChunk;
    int n = 0;
    for (int i = 0; i < count; ++i) {
        if (!wav->haveCarry) {
            wav->carry = samples[i];
            wav->haveCarry = true;
            continue;
        }
        wav->haveCarry = false;
        const int v = (wav->carry + samples[i]) >> 1;
        wav->peak = std::max(wav->peak, std::abs(v));
        wavChunk[n++] = static_cast<int16_t>(v);
        if (n == WAV_CHUNK_SAMPLES) {
            wav->failed |= !writeSamples(wav, wavChunk.data(), n);
            wav->samples += n;
            n = 0;
        }
    }
    wav->failed |= !writeSamples(wav, wavChunk.data(), n);
    wav->samples += n;
}

bool wavFinish(WavWriter* wav, double* gain) {
    *gain = wav->peak > 0 ? static_cast<double>(FULL_SCALE) / wav->peak : 1.0;
    bool ok = !wav->failed;
    if (ok && *gain != 1.0) ok = scaleSamples(wav, *gain);
    uint8_t header[WAV_HEADER_BYTES];
    wavSoundHeader(header, 2 * wav->samples);
    ok = ok && fseek(wav->file, 0, SEEK_SET) == 0 && fwrite(header, 1, WAV_HEADER_BYTES, wav->file) == WAV_HEADER_BYTES;
    ok = fclose(wav->file) == 0 && ok;
    wav->file = nullptr;
    return ok;
}

void wavAbandon(WavWriter* wav) {
    if (wav->file) fclose(wav->file);
    wav->file = nullptr;
}

bool wavOwnSamples(int fd, uint32_t* samples) {
    uint8_t header[WAV_HEADER_BYTES];
    uint8_t expected[WAV_HEADER_BYTES];
    struct stat info;
    if (pread(fd, header, WAV_HEADER_BYTES, 0) != WAV_HEADER_BYTES || fstat(fd, &info) != 0) return false;
    const uint32_t dataBytes = leU32(header + WAV_DATA_SIZE_AT);
    wavSoundHeader(expected, dataBytes / 2 * 2);
    *samples = dataBytes / 2;
    return dataBytes % 2 == 0 && std::memcmp(header, expected, WAV_HEADER_BYTES) == 0 &&
           info.st_size >= WAV_HEADER_BYTES + static_cast<off_t>(dataBytes);
}

bool wavCopyPart(const char* from, const char* to, uint32_t first, uint32_t count) {
    FILE* in = fopen(from, "rb");
    if (!in) return false;
    FILE* out = fopen(to, "wb");
    if (!out) {
        fclose(in);
        return false;
    }
    uint8_t header[WAV_HEADER_BYTES];
    bool ok = fread(header, 1, WAV_HEADER_BYTES, in) == WAV_HEADER_BYTES;
    const uint32_t held = ok ? leU32(header + WAV_DATA_SIZE_AT) / 2 : 0;
    const uint32_t start = std::min(first, held);
    const uint32_t n = std::min(count, held - start);
    wavSoundHeader(header, 2 * n);
    ok = ok && fwrite(header, 1, WAV_HEADER_BYTES, out) == WAV_HEADER_BYTES &&
         fseek(in, WAV_HEADER_BYTES + static_cast<long>(start) * 2, SEEK_SET) == 0;
    std::array<uint8_t, WAV_CHUNK_SAMPLES * 2> bytes;
    for (uint32_t left = n; ok && left > 0;) {
        const uint32_t k = std::min<uint32_t>(left, WAV_CHUNK_SAMPLES);
        ok = fread(bytes.data(), 2, k, in) == k && fwrite(bytes.data(), 2, k, out) == k;
        left -= k;
    }
    fclose(in);
    return fclose(out) == 0 && ok;
}

}  // namespace prep
