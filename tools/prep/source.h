// The input of vendrel-prep as ffmpeg decodes it: what it holds, its sound
// into audio.wav, its pictures reduced (or planned) into frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/child.h"
#include "tools/prep/frame.h"
#include "tools/prep/onestep.h"
#include "tools/prep/options.h"
#include "tools/prep/rate.h"
#include "tools/prep/reduce.h"

namespace prep {

inline constexpr int AUDIO_READ_SAMPLES = 8192;

// The work areas of one conversion: the decoded picture and its reduction,
// the colour reduction of a run without rate control, and the planner (which
// with rate control reduces the frames itself), the sound as read. The
// caller owns it (about 30 MB: a static or on the heap, zeroed) and passes it
// to every call.
struct Conversion {
    bool loopStill;  // a still picture given a --duration is shown for that long
    bool largeSource;  // scaled by the mean of the pixels each screen pixel covers (see largeSource)
    // The picture decoder, started by firstFrameDecodes and read on by
    // convertVideo, so that ffmpeg starts once: its first frame waits in
    // frameRgb while firstFrameWaiting.
    proc::Child video;
    bool firstFrameWaiting;
    uint8_t frameRgb[FRAME_RGB_BYTES];
    ReducedFrame reduced;
    Reducer reducer;
    Planner planner;
    int16_t audioSamples[AUDIO_READ_SAMPLES];
    uint8_t audioBytes[AUDIO_READ_SAMPLES * 2];
};

struct InputStreams {
    bool known;  // ffprobe told what the input holds
    bool video;
    bool audio;
    bool still;      // a single picture (PNG, JPEG, BMP, ...)
    double seconds;  // the input's length; below 0 when not known
    int width;       // the first video stream's picture; 0 when not known
    int height;
};

struct VideoResult {
    int frames;
    int sceneCuts;
    bool ok;
    std::string decodeError;  // ffmpeg ended well but reported errors on the way: its first line
    std::vector<uint8_t> cutAt;  // per frame: 1 where a scene begins (for cutting into parts)
};

struct AudioResult {
    bool ok;
    bool written;
    uint32_t samples;
    double gain;
};

// Decodes the input's first frame before anything is written or removed,
// so that an input ffmpeg cannot read (not a video, a --start past its end)
// leaves OUTDIR as it was. False after saying why. On true the decoder runs
// on for convertVideo; endDecoder ends it when the run stops before that.
bool firstFrameDecodes(Conversion* c, const Options& o);
void endDecoder(Conversion* c);

// What the input holds, so that a missing stream is told in our words rather
// than by ffmpeg failing. Unknown without ffprobe, or when ffprobe cannot
// read the input (ffmpeg then says why).
InputStreams probeStreams(const Options& o);

// A source several times the screen's size, which a cheaper filter scales
// as well as the default one.
bool largeSource(const InputStreams& streams);

// The input's sound into the WAV file at path.
AudioResult convertAudio(Conversion* c, const Options& o, const InputStreams& streams, const std::string& path);

// The input is read more than once (probed, then its sound, then its
// pictures): it must be a file. False after saying why (the system's reason
// where it has one).
bool inputReadable(const std::string& path);

// The frames go to files, or with --encode to the stream: the session's own
// (one stream) or the cutter (parts).
VideoResult convertVideo(Conversion* c, const Options& o, Cutter* cutter);

}  // namespace prep
