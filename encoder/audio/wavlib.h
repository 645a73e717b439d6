// A small library for RIFF/WAVE files with integer PCM samples of 8, 16, 24 or
// 32 bits. A file is read whole into memory and written back whole, in four
// views of its samples: mono or stereo, each either native (the file's integer
// values widened to 32 bits) or normalised (reals from -1.0 to 1.0).
//
// The library keeps no state between calls. Every failure it detects prints a
// one-line "Error!: ..." message on standard output, releases what it was
// filling and ends the process with exit status 1 through wavFailHook.
#pragma once

#include <cstdint>

// The parsed file, field by field in file order, plus the samples. The 64-bit
// fields hold a 32-bit value of the file, zero above bit 31.
struct RIFF {
    char chunkID[4];
    int64_t chunkSize;
    char format[4];
    char fmtID[4];
    int64_t fmtSize;
    uint16_t audioFormat;
    uint16_t numChannels;
    int64_t sampleRate;
    int64_t byteRate;
    uint16_t blockAlign;
    int16_t bitsPerSample;
    char dataID[4];
    uint32_t dataSize;
    int32_t* data;  // dataSize / (bitsPerSample / 8) values, channels interleaved
};

struct Mono_Native {
    int64_t sampleRate;
    int16_t numBits;
    int32_t numData;  // number of samples
    int32_t* data;
};

struct Mono {
    int64_t sampleRate;
    int16_t numBits;
    int32_t numData;
    double* data;
};

struct Stereo_Native {
    int64_t sampleRate;
    int16_t numBits;
    int32_t numData;  // sample frames, that is samples per channel
    int32_t* left;
    int32_t* right;
};

struct Stereo {
    int64_t sampleRate;
    int16_t numBits;
    int32_t numData;
    double* left;
    double* right;
};

// Format summary of a file; fileName is the caller's string, not a copy.
struct PCMINFO {
    const char* fileName;
    int64_t sampleRate;
    int16_t numBits;
    int16_t numChannels;
};

// Called after a failure's message has been printed and everything the
// library held has been released. The default flushes standard output and
// ends the process with exit status 1. A test or fuzz harness may install one
// that throws or longjmps instead; should a hook return, the process still
// ends with status 1.
using WavFailHook = void (*)();
extern WavFailHook wavFailHook;
[[noreturn]] void wavDefaultFail();
// Puts the library back to its state at program start: the default hook.
void wavlib_Reset();

// Records come back with their sample pointers empty; free_* release the
// sample arrays and then the record (a null record is ignored).
RIFF* alloc_RIFF();
Mono* alloc_Mono();
Mono_Native* alloc_Mono_Native();
Stereo* alloc_Stereo();
Stereo_Native* alloc_Stereo_Native();
void free_RIFF(RIFF* riff);
void free_Mono(Mono* mono);
void free_Mono_Native(Mono_Native* mono);
void free_Stereo(Stereo* stereo);
void free_Stereo_Native(Stereo_Native* stereo);

// Readers fill a caller-supplied record and allocate its sample arrays. A
// record that already holds arrays should be freed first.
void wavread_RIFF(RIFF* riff, const char* path);
void getPCMINFO(PCMINFO* info, const char* path);
// The format of a file from its header alone, without its samples; false,
// with nothing printed, when the header cannot be read. The process goes on.
bool wavreadFormat(PCMINFO* info, const char* path);
void wavread_Mono_Native(Mono_Native* mono, const char* path);
void wavread_Mono(Mono* mono, const char* path);
void wavread_Stereo_Native(Stereo_Native* stereo, const char* path);
void wavread_Stereo(Stereo* stereo, const char* path);

// Writers only read the caller's record, except that the normalised ones clamp
// its values to -1.0 .. 1.0 in place. wavwrite_RIFF sets fmtSize and
// audioFormat of the record to 16 and 1.
void wavwrite_RIFF(RIFF* riff, const char* path);
void wavwrite_Mono_Native(const Mono_Native* mono, const char* path);
void wavwrite_Mono(Mono* mono, const char* path);
void wavwrite_Stereo_Native(const Stereo_Native* stereo, const char* path);
void wavwrite_Stereo(Stereo* stereo, const char* path);
