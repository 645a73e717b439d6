// Watching a stream with its sound: the pictures on the 60 Hz display
// timeline, each held for its interval, and the decoded sound, handed to
// ffmpeg, which joins them into one video file or passes them on to ffplay.
//
// ffmpeg runs as a child process without a shell and reads both from pipes:
// the pictures on its standard input, the sound on descriptor 3. The sound
// is decoded first, into memory, so that whichever of the two ffmpeg wants
// next is always there to be written; nothing touches the disk but the
// video file itself.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "tools/common/outfile.h"
#include "tools/view/stream_decoder.h"

namespace view {

enum class MovieKind { File, Play };

// The player's 7812.5 samples per second are sent at twice that rate, each
// sample twice, so that the sound keeps its exact length on an integer rate.
inline constexpr int MOVIE_SOUND_RATE = AUDIO_SAMPLE_RATE_X2;
inline constexpr int MOVIE_SCALE = 2;  // whole pixels: 4:2:0 colour loses nothing
inline constexpr int MOVIE_SOUND_STAGE = 16384;

struct Movie {
    MovieKind kind;
    const char* file;        // the video file (File)
    pid_t ffmpeg;
    pid_t ffplay;            // -1 unless playing
    int picture;             // write end of ffmpeg's standard input, -1 once closed
    int sound;               // write end of ffmpeg's descriptor 3, -1 once closed
    FILE* ffmpegErrors;      // what the children say, kept unnamed until the end
    FILE* ffplayErrors;
    std::vector<int16_t> samples;   // the stream's sound at 7812.5 per second
    long long soundTotal;           // samples to send at MOVIE_SOUND_RATE: the display time
    long long soundSent;
    std::array<uint8_t, MOVIE_SOUND_STAGE> stage;
    int stageLength;
    int stagePosition;
    long long displayFrames;        // sent so far
    bool broken;                    // the reader went away
    bool withSound;                 // the stream has sound blocks
    outfile::OutFile output;        // the video file, written beside its name until committed
};

// Says so and returns false when a program the kind needs is not installed,
// or, for playing, when there is no display.
bool movieProgramsPresent(MovieKind kind);

// Decodes the stream's sound (printing its violations as a decoding does),
// then starts the children. False after a one-line message.
bool movieStart(Movie* movie, MovieKind kind, const char* file, const char* stream,
                      const DecodeOptions& options);

// One decoded frame, 8 bits per component, shown for interval display
// frames. False when the picture can no longer be delivered to a file;
// a player closed early is no failure (the stream goes on being checked).
bool movieFrame(Movie* movie, const uint8_t* rgb8, int interval);

// Sends the rest of the sound, waits for the children and reports a
// failure. True when the file was written whole (ffmpeg ended well and the
// file holds every picture: ffmpeg ends well on a full disk too) or the
// playing ended normally.
bool movieFinish(Movie* movie);

// After a run that succeeded: the video file takes its name. False after
// a message.
bool movieCommit(Movie* movie);

// After a failed run: removes what this run wrote of the video file.
void movieRemoveFile(Movie* movie);

// Prints what was written ("video: FILE, S s with sound", or "S s silent"
// for a stream without sound); nothing for --play.
void movieReport(const Movie& movie);

}  // namespace view
