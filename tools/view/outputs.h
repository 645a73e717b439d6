// The files vendrel-view writes as it decodes: PNG or raw pictures, a
// YUV4MPEG2 stream, a WAV file and the movie (--video, --play), and the
// blocks handed to the player model. Every file is written under a hidden
// name beside its own and takes that name only when the run succeeds; a run
// that fails removes what it wrote and the folders it made.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/outfile.h"
#include "tools/common/progress.h"
#include "tools/model/player_model.h"
#include "tools/view/cli.h"
#include "tools/view/movie.h"
#include "tools/view/stream_decoder.h"

namespace view {

inline constexpr int LEVELS = 16;  // 4-bit levels of a primary

// A file that a picture pattern names, there before the run.
struct EarlierFrame {
    const char* option;  // "--png" or "--rgb"
    std::string name;
    long number;
};

// Everything a run writes and where it stands: a plain record that main owns
// and the sink (outputSink) is handed.
struct Outputs {
    const Settings* settings;
    // What the player model needs of the stream, built from the blocks as
    // they are read; it starts with the first block, when the index (and the
    // interval the stream starts with) has been read.
    model::LayoutBuilder* layout = nullptr;
    model::Layout* layoutInto = nullptr;
    const Summary* summary = nullptr;
    bool layoutStarted = false;
    FILE* y4m = nullptr;
    FILE* wav = nullptr;
    long long wavSamples = 0;
    bool y4mToStdout = false;
    bool failed = false;
    int framesBegun = 0;                    // frames 0 .. framesBegun - 1 went (or began to go) to files
    outfile::OutFile wavFile;               // written beside the name until the run succeeds
    outfile::OutFile y4mFile;               // likewise (not for standard output)
    std::vector<outfile::OutFile> pictureFiles;  // --png and --rgb frames, likewise
    std::vector<EarlierFrame> earlierFrames;     // frames of the patterns there before the run
    std::vector<std::string> madeFolders;   // folders made for the outputs, outermost first
    std::string lastFolder;                 // the folder last made sure of
    Movie* movie = nullptr;
    // --video: the progress line; the film's length is judged by the share
    // of the file read so far.
    progress::Progress progress{};
    long long streamBytes = 0;
    long long bytesRead = 0;
    long long displayFrames = 0;
    // The frame in 8-bit levels, and in YUV (three planes: Y, Cb, Cr) with
    // the table from 4-bit levels; made by openOutputs.
    std::vector<uint8_t> rgb8;
    std::vector<uint8_t> yuv;
    std::vector<uint8_t> y4mTable;  // 3 bytes for each colour of LEVELS^3
};

// After a failure: takes away every file and folder this run made, so that
// no partial preview is mistaken for a whole one. A file that was there
// before stays as it was.
void removeOutputs(Outputs& out);

// After SIGINT, SIGTERM or SIGHUP: says that the run's files are removed
// (they must be by now) and ends the process by that signal.
[[noreturn]] void endBySignal(const Outputs& out);

// Makes the folders and opens the files the settings ask for, and the
// frame buffers; false after one line saying why.
bool openOutputs(Outputs& out);

// Completes the outputs; false when something could not be completed. The
// files are put in place by commitOutputs.
bool closeOutputs(Outputs& out);

// After a run that succeeded: the files written take the names asked for.
bool commitOutputs(Outputs& out);

// What the run may write, before anything is: the stream must be a file,
// no output may be the stream, and --video replaces a file only with
// --overwrite. The frames the picture patterns name before the run go into
// earlier. False after one line saying why.
bool outputsAllowed(const Settings& s, std::vector<EarlierFrame>* earlier);

// The sink that sends every decoded frame, sound and block to the outputs.
Sink outputSink(Outputs* out);

}  // namespace view
