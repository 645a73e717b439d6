#include "encoder/audio/wavlib.h"

#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/endian.h"

WavFailHook wavFailHook = wavDefaultFail;

void wavlib_Reset() { wavFailHook = wavDefaultFail; }

void wavDefaultFail() {
    fflush(stdout);
    std::exit(1);
}

namespace {

using Tag = std::array<char, 4>;
constexpr Tag kTagRiff = {'R', 'I', 'F', 'F'};
constexpr Tag kTagWave = {'W', 'A', 'V', 'E'};
constexpr Tag kTagFmt = {'f', 'm', 't', ' '};
constexpr Tag kTagData = {'d', 'a', 't', 'a'};

constexpr int kFmtFieldBytes = 16;          // audioFormat .. bitsPerSample
constexpr int kFmtHeadBytes = 4 + kFmtFieldBytes;  // fmtSize and the fields
constexpr int kWavHeaderBytes = 44;
constexpr int kRiffSizeOverData = 36;       // chunkSize = dataSize + 36
constexpr uint16_t kFormatPcm = 1;

// A header may claim more sample data than the file holds. The missing samples
// read as silence, but only up to this many bytes past the real end of the
// file (one second of 48 kHz stereo at 32 bits): that covers files cut short
// by a copy or a recorder that stopped early, while a corrupt or hostile size
// field of up to 4 GiB can no longer make us allocate gigabytes for a file of
// a few bytes. Beyond it, dataSize is lowered to what is kept.
constexpr size_t kShortDataSlackBytes = 48000 * 2 * 4;
// Samples are read and written through a buffer of this size; a multiple of
// every sample width so that no sample straddles two buffers.
constexpr size_t kIoChunkBytes = 3 * 4 * 4096;
constexpr size_t kMaxSamples = 0x7FFFFFFF;  // numData is a 32-bit signed count
constexpr size_t kInitialSampleCapacity = 1 << 16;

bool validDepth(int bits) { return bits == 8 || bits == 16 || bits == 24 || bits == 32; }

// Prints the message, releases the file being read or written and the sample
// array of the record being filled (the record itself stays the caller's), and
// ends the run through the hook.
[[noreturn]] __attribute__((format(printf, 3, 4))) void stop(FILE* fp, int32_t** owned, const char* format, ...) {
    if (fp) fclose(fp);
    if (owned) {
        std::free(*owned);
        *owned = nullptr;
    }
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    wavFailHook();
    wavDefaultFail();  // a hook must not return; end the run all the same
}

[[noreturn]] void outOfMemory(int32_t** owned) { stop(nullptr, owned, "Error!: Out of memory."); }

template <typename T>
T* allocArray(size_t count) {
    return static_cast<T*>(std::calloc(count ? count : 1, sizeof(T)));
}

template <typename T>
T* allocRecord() {
    T* record = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (!record) outOfMemory(nullptr);
    return record;
}

bool readExact(FILE* fp, void* buffer, size_t size) { return fread(buffer, 1, size, fp) == size; }

bool sameTag(const char* bytes, const Tag& tag) { return std::memcmp(bytes, tag.data(), tag.size()) == 0; }

// Slides a four-byte window one byte at a time until it holds the tag, so the
// tag is found at any byte position, not only at chunk boundaries. Returns
// false when the file ends first.
bool findTag(FILE* fp, const Tag& tag, char* window) {
    if (!readExact(fp, window, 4)) return false;
    while (!sameTag(window, tag)) {
        const int c = fgetc(fp);
        if (c == EOF) return false;
        std::memmove(window, window + 1, 3);
        window[3] = static_cast<char>(c);
    }
    return true;
}

int32_t decodeSample(const uint8_t* p, int bytesPerSample) {
    switch (bytesPerSample) {
    case 1: return p[0];
    case 2: return static_cast<int16_t>(leU16(p));
    case 3: {
        const int32_t v = static_cast<int32_t>(leU16(p) | (static_cast<uint32_t>(p[2]) << 16));
        return v > 0x7FFFFF ? v - 0x1000000 : v;
    }
    default: return static_cast<int32_t>(leU32(p));
    }
}

// Grows the sample array of riff to hold at least needed values (at most
// limit), keeping new entries zero.
void reserveSamples(RIFF* riff, size_t& capacity, size_t needed, size_t limit, FILE* fp) {
    if (needed <= capacity) return;
    size_t grown = capacity * 2 > needed ? capacity * 2 : needed;
    if (grown > limit) grown = limit;
    auto* data = static_cast<int32_t*>(std::realloc(riff->data, grown * sizeof(int32_t)));
    if (!data) stop(fp, &riff->data, "Error!: Out of memory.");
    std::memset(data + capacity, 0, (grown - capacity) * sizeof(int32_t));
    riff->data = data;
    capacity = grown;
}

// Reads dataSize / bytesPerSample samples. Samples lying wholly beyond the end
// of the file read as 0; a sample cut by the end keeps the bytes present. The
// array grows with the bytes actually read, so its size follows the file.
void readSamples(FILE* fp, RIFF* riff, const char* path) {
    const size_t bytesPerSample = static_cast<size_t>(riff->bitsPerSample / 8);
    const size_t wanted = riff->dataSize / bytesPerSample;
    size_t capacity = wanted < kInitialSampleCapacity ? wanted : kInitialSampleCapacity;
    riff->data = allocArray<int32_t>(capacity);
    if (!riff->data) stop(fp, nullptr, "Error!: Out of memory.");

    uint8_t buffer[kIoChunkBytes];
    size_t got = 0;
    while (got < wanted) {
        size_t count = wanted - got;
        if (count > kIoChunkBytes / bytesPerSample) count = kIoChunkBytes / bytesPerSample;
        const size_t bytes = fread(buffer, 1, count * bytesPerSample, fp);
        const size_t samples = (bytes + bytesPerSample - 1) / bytesPerSample;
        std::memset(buffer + bytes, 0, samples * bytesPerSample - bytes);
        if (got + samples > kMaxSamples) stop(fp, &riff->data, "Error!: The data chunk is too large.");
        reserveSamples(riff, capacity, got + samples, wanted, fp);
        for (size_t i = 0; i < samples; ++i) riff->data[got + i] = decodeSample(buffer + i * bytesPerSample, bytesPerSample);
        got += samples;
        if (bytes < count * bytesPerSample) break;
    }
    if (got == wanted) return;

    // The data chunk is short: the rest reads as silence, within the slack.
    const size_t slack = kShortDataSlackBytes / bytesPerSample;
    size_t kept = wanted;
    if (wanted - got > slack) {
        kept = got + slack;
        printf("Warning: the data chunk of '%s' claims %u bytes, far more than the file holds; %zu samples are read.\n",
               path, static_cast<unsigned>(riff->dataSize), kept);
        riff->dataSize = static_cast<uint32_t>(kept * bytesPerSample);
    }
    if (kept > kMaxSamples) stop(fp, &riff->data, "Error!: The data chunk is too large.");
    reserveSamples(riff, capacity, kept, kept, fp);
}

double normalise(int32_t v, int bits) {
    if (bits == 8) {
        const int centred = v - 128;
        return centred >= 0 ? centred / 127.0 : centred / 128.0;
    }
    const double half = std::ldexp(1.0, bits - 1);
    return v >= 0 ? v / (half - 1.0) : v / half;
}

// Clamps x in place to -1.0 .. 1.0 (NaN becomes silence) and converts it back
// to a sample of the depth, the inverse of normalise.
int32_t toInteger(double& x, int bits) {
    if (std::isnan(x)) x = 0.0;
    if (x < -1.0) x = -1.0;
    if (x > 1.0) x = 1.0;
    if (!validDepth(bits)) return 0;  // the writer rejects the depth after the header
    const double h = (x + 1.0) * 0.5;
    if (bits == 8) return static_cast<int32_t>(std::floor(255.0 * h + 0.5));
    const double full = std::ldexp(1.0, bits);
    return static_cast<int32_t>(static_cast<int64_t>(std::floor((full - 1.0) * h + 0.5)) -
                                (static_cast<int64_t>(1) << (bits - 1)));
}

int32_t clampToDepth(int32_t v, int bits) {
    int32_t low = INT32_MIN;
    int32_t high = INT32_MAX;
    switch (bits) {
    case 8: low = 0; high = 255; break;
    case 16: low = -32768; high = 32767; break;
    case 24: low = -8388608; high = 8388607; break;
    default: break;
    }
    return v < low ? low : (v > high ? high : v);
}

void encodeSample(uint8_t* p, int32_t v, size_t bytesPerSample) {
    const auto u = static_cast<uint32_t>(v);
    for (size_t i = 0; i < bytesPerSample; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

// Writes the 44-byte header and the samples. On failure the sample array is
// released when ownsData says it is a temporary of the writer.
void writeRiffFile(RIFF* riff, const char* path, bool ownsData) {
    int32_t** owned = ownsData ? &riff->data : nullptr;
    riff->fmtSize = kFmtFieldBytes;
    riff->audioFormat = kFormatPcm;
    FILE* fp = path ? fopen(path, "wb") : nullptr;
    if (!fp) stop(nullptr, owned, "Error!: Can't create the file '%s'.", path ? path : "");

    std::array<uint8_t, kWavHeaderBytes> header{};
    std::memcpy(&header[0], kTagRiff.data(), 4);
    putLeU32(&header[4], static_cast<uint32_t>(riff->chunkSize));
    std::memcpy(&header[8], kTagWave.data(), 4);
    std::memcpy(&header[12], kTagFmt.data(), 4);
    putLeU32(&header[16], static_cast<uint32_t>(riff->fmtSize));
    putLeU16(&header[20], riff->audioFormat);
    putLeU16(&header[22], riff->numChannels);
    putLeU32(&header[24], static_cast<uint32_t>(riff->sampleRate));
    putLeU32(&header[28], static_cast<uint32_t>(riff->byteRate));
    putLeU16(&header[32], riff->blockAlign);
    putLeU16(&header[34], static_cast<uint16_t>(riff->bitsPerSample));
    std::memcpy(&header[36], kTagData.data(), 4);
    putLeU32(&header[40], riff->dataSize);
    fwrite(header.data(), 1, header.size(), fp);

    const int bits = riff->bitsPerSample;
    if (!validDepth(bits)) stop(fp, owned, "Error!: Inappropriate quantization bit number.");

    const size_t bytesPerSample = static_cast<size_t>(bits / 8);
    const size_t total = riff->dataSize / bytesPerSample;
    uint8_t buffer[kIoChunkBytes];
    size_t used = 0;
    for (size_t i = 0; i < total; ++i) {
        const int32_t v = riff->data ? clampToDepth(riff->data[i], bits) : 0;
        encodeSample(buffer + used, v, bytesPerSample);
        used += bytesPerSample;
        if (used == kIoChunkBytes) {
            fwrite(buffer, 1, used, fp);
            used = 0;
        }
    }
    if (used) fwrite(buffer, 1, used, fp);
    const bool failed = ferror(fp) != 0;
    if (fclose(fp) != 0 || failed) stop(nullptr, owned, "Error!: Can't write the file '%s'.", path);
}

// Header fields of a file written from one of the sample views.
RIFF viewHeader(int64_t sampleRate, int16_t numBits, int32_t numData, int channels) {
    RIFF riff{};
    const int bytesPerSample = numBits / 8;
    const uint32_t frames = numData > 0 ? static_cast<uint32_t>(numData) : 0;
    riff.numChannels = static_cast<uint16_t>(channels);
    riff.sampleRate = sampleRate;
    riff.blockAlign = static_cast<uint16_t>(bytesPerSample * channels);
    riff.byteRate = sampleRate * riff.blockAlign;
    riff.bitsPerSample = numBits;
    // The file's field is 32 bits; a wrapped size writes fewer samples, never more.
    riff.dataSize = static_cast<uint32_t>(bytesPerSample * channels) * frames;
    riff.chunkSize = static_cast<int64_t>(riff.dataSize) + kRiffSizeOverData;
    riff.data = allocArray<int32_t>(static_cast<size_t>(frames) * static_cast<size_t>(channels));
    if (!riff.data) outOfMemory(nullptr);
    return riff;
}

// Parses the file into a temporary record for one of the sample views.
RIFF readTemporary(const char* path) {
    RIFF riff{};
    wavread_RIFF(&riff, path);
    return riff;
}

size_t sampleBytes(const RIFF& riff) { return static_cast<size_t>(riff.bitsPerSample / 8); }

}  // namespace

RIFF* alloc_RIFF() { return allocRecord<RIFF>(); }
Mono* alloc_Mono() { return allocRecord<Mono>(); }
Mono_Native* alloc_Mono_Native() { return allocRecord<Mono_Native>(); }
Stereo* alloc_Stereo() { return allocRecord<Stereo>(); }
Stereo_Native* alloc_Stereo_Native() { return allocRecord<Stereo_Native>(); }

void free_RIFF(RIFF* riff) {
    if (!riff) return;
    std::free(riff->data);
    std::free(riff);
}

void free_Mono(Mono* mono) {
    if (!mono) return;
    std::free(mono->data);
    std::free(mono);
}

void free_Mono_Native(Mono_Native* mono) {
    if (!mono) return;
    std::free(mono->data);
    std::free(mono);
}

void free_Stereo(Stereo* stereo) {
    if (!stereo) return;
    std::free(stereo->left);
    std::free(stereo->right);
    std::free(stereo);
}

void free_Stereo_Native(Stereo_Native* stereo) {
    if (!stereo) return;
    std::free(stereo->left);
    std::free(stereo->right);
    std::free(stereo);
}

namespace {

// Reads the header fields up to the data chunk's size. Returns null, or the
// message for the first thing that is missing or wrong.
const char* readHeaderFields(FILE* fp, RIFF* riff) {
    uint8_t field[kFmtHeadBytes];
    if (!readExact(fp, riff->chunkID, 4) || !sameTag(riff->chunkID, kTagRiff))
        return "Error!: The file does not have RIFF chunk.";
    if (!readExact(fp, field, 4) || !readExact(fp, riff->format, 4) || !sameTag(riff->format, kTagWave))
        return "Error!: The file is not WAV file.";
    riff->chunkSize = leU32(field);

    if (!findTag(fp, kTagFmt, riff->fmtID)) return "Error!: The file has no fmt chunk.";
    if (!readExact(fp, field, kFmtHeadBytes)) return "Error!: The file ends inside the fmt chunk.";
    riff->fmtSize = leU32(field);
    riff->audioFormat = static_cast<uint16_t>(leU16(field + 4));
    riff->numChannels = static_cast<uint16_t>(leU16(field + 6));
    riff->sampleRate = leU32(field + 8);
    riff->byteRate = leU32(field + 12);
    riff->blockAlign = static_cast<uint16_t>(leU16(field + 16));
    riff->bitsPerSample = static_cast<int16_t>(leU16(field + 18));

    // A format chunk longer than 16 bytes is passed over by this search.
    if (!findTag(fp, kTagData, riff->dataID)) return "Error!: The file has no data chunk.";
    if (!readExact(fp, field, 4)) return "Error!: The file ends inside the data chunk header.";
    riff->dataSize = leU32(field);

    if (!validDepth(riff->bitsPerSample)) return "Error!: Inappropriate quantization bit number.";
    return nullptr;
}

}  // namespace

void wavread_RIFF(RIFF* riff, const char* path) {
    riff->data = nullptr;
    FILE* fp = path ? fopen(path, "rb") : nullptr;
    if (!fp) stop(nullptr, nullptr, "Error!: Can't open the file '%s'.", path ? path : "");
    if (const char* problem = readHeaderFields(fp, riff)) stop(fp, nullptr, "%s", problem);
    readSamples(fp, riff, path);
    fclose(fp);
}

bool wavreadFormat(PCMINFO* info, const char* path) {
    FILE* fp = path ? fopen(path, "rb") : nullptr;
    if (!fp) return false;
    RIFF riff{};
    const bool read = readHeaderFields(fp, &riff) == nullptr;
    fclose(fp);
    if (!read) return false;
    info->fileName = path;
    info->sampleRate = riff.sampleRate;
    info->numBits = riff.bitsPerSample;
    info->numChannels = static_cast<int16_t>(riff.numChannels);
    return true;
}

void getPCMINFO(PCMINFO* info, const char* path) {
    RIFF riff = readTemporary(path);
    info->fileName = path;
    info->sampleRate = riff.sampleRate;
    info->numBits = riff.bitsPerSample;
    info->numChannels = static_cast<int16_t>(riff.numChannels);
    std::free(riff.data);
}

namespace {

int32_t asStored(int32_t value, int) { return value; }

// Fills a mono view with the file's values, each passed through convert.
template <typename Sample, typename Record>
void readMonoView(Record* mono, const char* path, Sample (*convert)(int32_t, int)) {
    RIFF riff = readTemporary(path);
    const size_t count = riff.dataSize / sampleBytes(riff);
    auto* data = allocArray<Sample>(count);
    if (!data) outOfMemory(&riff.data);
    for (size_t i = 0; i < count; ++i) data[i] = convert(riff.data[i], riff.bitsPerSample);
    mono->sampleRate = riff.sampleRate;
    mono->numBits = riff.bitsPerSample;
    mono->numData = static_cast<int32_t>(count);
    mono->data = data;
    std::free(riff.data);
}

// Fills a stereo view: consecutive values go to left and right in turn; a
// last value without a partner is dropped.
template <typename Sample, typename Record>
void readStereoView(Record* stereo, const char* path, Sample (*convert)(int32_t, int)) {
    RIFF riff = readTemporary(path);
    const size_t frames = riff.dataSize / (2 * sampleBytes(riff));
    auto* left = allocArray<Sample>(frames);
    auto* right = allocArray<Sample>(frames);
    if (!left || !right) {
        std::free(left);
        std::free(right);
        outOfMemory(&riff.data);
    }
    for (size_t i = 0; i < frames; ++i) {
        left[i] = convert(riff.data[2 * i], riff.bitsPerSample);
        right[i] = convert(riff.data[2 * i + 1], riff.bitsPerSample);
    }
    stereo->sampleRate = riff.sampleRate;
    stereo->numBits = riff.bitsPerSample;
    stereo->numData = static_cast<int32_t>(frames);
    stereo->left = left;
    stereo->right = right;
    std::free(riff.data);
}

}  // namespace

void wavread_Mono_Native(Mono_Native* mono, const char* path) { readMonoView<int32_t>(mono, path, asStored); }

void wavread_Mono(Mono* mono, const char* path) { readMonoView<double>(mono, path, normalise); }

void wavread_Stereo_Native(Stereo_Native* stereo, const char* path) {
    readStereoView<int32_t>(stereo, path, asStored);
}

void wavread_Stereo(Stereo* stereo, const char* path) { readStereoView<double>(stereo, path, normalise); }

void wavwrite_RIFF(RIFF* riff, const char* path) { writeRiffFile(riff, path, false); }

void wavwrite_Mono_Native(const Mono_Native* mono, const char* path) {
    RIFF riff = viewHeader(mono->sampleRate, mono->numBits, mono->numData, 1);
    for (int32_t i = 0; i < mono->numData; ++i) riff.data[i] = mono->data[i];
    writeRiffFile(&riff, path, true);
    std::free(riff.data);
}

void wavwrite_Mono(Mono* mono, const char* path) {
    RIFF riff = viewHeader(mono->sampleRate, mono->numBits, mono->numData, 1);
    for (int32_t i = 0; i < mono->numData; ++i) riff.data[i] = toInteger(mono->data[i], mono->numBits);
    writeRiffFile(&riff, path, true);
    std::free(riff.data);
}

void wavwrite_Stereo_Native(const Stereo_Native* stereo, const char* path) {
    RIFF riff = viewHeader(stereo->sampleRate, stereo->numBits, stereo->numData, 2);
    for (int32_t i = 0; i < stereo->numData; ++i) {
        riff.data[2 * i] = stereo->left[i];
        riff.data[2 * i + 1] = stereo->right[i];
    }
    writeRiffFile(&riff, path, true);
    std::free(riff.data);
}

void wavwrite_Stereo(Stereo* stereo, const char* path) {
    RIFF riff = viewHeader(stereo->sampleRate, stereo->numBits, stereo->numData, 2);
    for (int32_t i = 0; i < stereo->numData; ++i) {
        riff.data[2 * i] = toInteger(stereo->left[i], stereo->numBits);
        riff.data[2 * i + 1] = toInteger(stereo->right[i], stereo->numBits);
    }
    writeRiffFile(&riff, path, true);
    std::free(riff.data);
}
