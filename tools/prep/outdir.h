// The output folder of a vendrel-prep run. The printed vendrel command reads
// frames until the numbers run out, so a frame left by an earlier, longer run
// would be encoded with the new ones: a run starts in an empty folder, or
// with --overwrite in one cleared of every file a run writes. A run that
// fails takes away what it wrote and the folders it made. One run at a time
// writes into a folder: it holds a lock on it until it ends.
#pragma once

#include <string>
#include <vector>

namespace prep {

inline constexpr const char* FRAME_PREFIX = "frame";   // frame00000.bmp, frame00001.bmp, ...
inline constexpr const char* FRAME_SUFFIX = ".bmp";
inline constexpr int FRAME_DIGITS = 5;
inline constexpr const char* AUDIO_NAME = "audio.wav";
inline constexpr const char* PARAMS_NAME = "params.txt";

// folder + "/" + name, with no doubled slash when folder already ends in one.
std::string joinPath(const std::string& folder, const std::string& name);

// The frames' name as a printf pattern: "frame%05d.bmp".
std::string framePattern();

// True for the name of a file that a run writes: a frame, the sound or the
// parameter file.
bool isRunFile(const std::string& name);

struct RunFolder {
    std::string path;
    std::vector<std::string> made;  // folders this run made, outermost first
};

// Makes the folder (with its parents) or checks that it may be used, after
// clearing the files of an earlier run when overwrite is set. With exclusive
// the folder is first locked for the rest of the process, and a folder that
// another run holds is refused. Prints why not and returns false.
bool prepareFolder(const std::string& path, bool overwrite, RunFolder* folder, bool exclusive = false);

// True when one of the files a run writes in the folder is that file,
// whatever its name (an input that --overwrite would remove).
bool holdsRunFile(const std::string& folder, const std::string& file);

// After a failure: removes every file a run writes from the folder, then the
// folders the run made (those that are empty).
void removeRunOutput(const RunFolder& folder);

}  // namespace prep
