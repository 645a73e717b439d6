// The audio blocks of the stream and the sound files around them: the block
// format shared with every reader of streams, and the WAV header of the
// player's sound (mono, 16 bits, AUDIO_WAV_RATE).
#pragma once

#include <cstdint>

#include "format/endian.h"
#include "format/stream.h"

inline constexpr uint16_t AUDIO_FIFO_TOP = 0x8000;   // the audio ring in the target's memory
inline constexpr uint16_t AUDIO_FIFO_END = 0xA000;
inline constexpr int AUDIO_BLOCK_BYTES = 0x1000;     // 16 pages of a marker and 255 codes
inline constexpr int AUDIO_PAGE_BYTES = 0x100;
inline constexpr int AUDIO_SAMPLES_PER_BLOCK = (AUDIO_BLOCK_BYTES / AUDIO_PAGE_BYTES) * (AUDIO_PAGE_BYTES - 1);  // 4080
inline constexpr double AUDIO_SAMPLE_RATE = 7812.5;  // samples per second the player plays
// The whole rate nearest to AUDIO_SAMPLE_RATE, for WAV headers that carry the player's sound.
inline constexpr int AUDIO_WAV_RATE = 7812;
// Twice the player's rate, a whole number: sound taken or given at this rate
// keeps its exact length (each player sample stands for two).
inline constexpr int AUDIO_SAMPLE_RATE_X2 = static_cast<int>(2 * AUDIO_SAMPLE_RATE);
static_assert(AUDIO_SAMPLE_RATE_X2 == 2 * AUDIO_SAMPLE_RATE);
// Audio blocks the player plays per display frame: audioSamplesVframe of a
// stream with sound.
inline constexpr double AUDIO_BLOCKS_PER_DISPLAY_FRAME =
    AUDIO_SAMPLE_RATE / (DISPLAY_FRAMES_PER_SECOND * static_cast<double>(AUDIO_SAMPLES_PER_BLOCK));
inline constexpr uint16_t AUDIO_KIND_PARAM = 0x1020; // stored in the index entry for the player; not the block size
inline constexpr uint8_t AUDIO_CODE_SILENCE = 0x7F;  // a zero sample, and the filler after the last one
inline constexpr uint8_t AUDIO_CODE_SIGN = 0x80;     // set for negative samples
inline constexpr double AUDIO_FULL_SCALE = 32767.0;  // the level 0 dB refers to
inline constexpr double AUDIO_STEP_DB = 0.75;        // one code step
inline constexpr double AUDIO_LEVEL_OFFSET_DB = 0.35;

// The header of a WAV file of the player's sound: integer PCM, mono, 16-bit
// samples at AUDIO_WAV_RATE, followed by dataBytes bytes of samples.
inline constexpr int WAV_HEADER_BYTES = 44;
inline void wavSoundHeader(uint8_t (&h)[WAV_HEADER_BYTES], uint32_t dataBytes) {
    const auto tag = [&h](int at, const char* text) {
        for (int i = 0; text[i]; ++i) h[at + i] = static_cast<uint8_t>(text[i]);
    };
    tag(0, "RIFF");
    putLeU32(h + 4, 36 + dataBytes);
    tag(8, "WAVEfmt ");
    putLeU32(h + 16, 16);  // size of the format chunk
    putLeU16(h + 20, 1);   // integer PCM
    putLeU16(h + 22, 1);   // mono
    putLeU32(h + 24, AUDIO_WAV_RATE);
    putLeU32(h + 28, AUDIO_WAV_RATE * 2);
    putLeU16(h + 32, 2);   // bytes per sample frame
    putLeU16(h + 34, 16);  // bits per sample
    tag(36, "data");
    putLeU32(h + 40, dataBytes);
}
