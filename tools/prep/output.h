// What vendrel-prep writes: the frames as 8-bit BMP files vendrel reads, the
// sound as a 16-bit mono WAV file at the player's rate.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tools/prep/reduce.h"

namespace prep {

// The WAV header holds AUDIO_WAV_RATE, the whole rate nearest the player's;
// the encoder takes the samples as they come.
inline constexpr int WAV_HEADER_BYTES = 44;

// Writes the frame as an uncompressed bottom-up BMP with a 40-byte
// information header, 8 bits per pixel and a palette of exactly the frame's
// colours (colours used = entries). Components are written as level << 4
// (0x00, 0x10, ... 0xF0), so the encoder, which keeps the high 4 bits, sees
// exactly the chosen colours. Returns false when the file cannot be written.
bool writeFrameBmp(const char* path, const ReducedFrame& frame);

// What follows the headers in such a BMP, the one conversion of a frame for
// the encoder (the files above and the encoder run in process alike): the
// palette entries, then the rows bottom-up. Returns the entries written.
inline constexpr int FRAME_BMP_STRIDE = SCREEN_WIDTH;  // one byte a pixel; 320 is a multiple of 4
inline constexpr int FRAME_BMP_PIXEL_BYTES = FRAME_BMP_STRIDE * SCREEN_HEIGHT;
inline constexpr int FRAME_BMP_BODY_MAX_BYTES = MAX_COLOURS * 4 + FRAME_BMP_PIXEL_BYTES;
int frameBmpBody(const ReducedFrame& frame, uint8_t* out);

// Reads back a frame that writeFrameBmp wrote: the same palette, in the same
// order, and the same indices. Returns false for any other file.
bool readFrameBmp(const char* path, ReducedFrame* frame);

// A WAV file being written: samples go out as they come; the header is
// completed and the level raised to full scale at the end.
struct WavWriter {
    FILE* file;
    uint32_t samples;
    int peak;        // largest magnitude written, up to 32768
    int carry;       // first sample of a pair whose second has not come yet
    bool haveCarry;
    bool failed;
};

// Creates the file with a placeholder header.
bool wavOpen(WavWriter* wav, const char* path);
// Takes samples at 15625 per second and writes them at half that rate, each
// output sample the mean of two input samples (a pair may span two calls).
void wavAddPairs(WavWriter* wav, const int16_t* samples, int count);
// Scales the samples so that the peak reaches full scale (silence stays as
// it is), completes the header and closes the file. Returns false on any
// write failure. gain receives the factor applied.
bool wavFinish(WavWriter* wav, double* gain);
// Closes and leaves the file as it is (after a failure elsewhere).
void wavAbandon(WavWriter* wav);

// Copies samples [first, first + count) of a WAV file that wavFinish wrote
// into a new file of the same kind; samples past the source's end are not
// invented (the copy is shorter). Returns false when a file fails.
bool wavCopyPart(const char* from, const char* to, uint32_t first, uint32_t count);

// The samples of a WAV file that wavFinish wrote, its header exactly as
// written there and its samples all present: then sample i is the 16-bit
// little-endian value at WAV_HEADER_BYTES + 2 i. False for any other file.
bool wavOwnSamples(int fd, uint32_t* samples);

}  // namespace prep
