// What vendrel-prep tells of a run: the frames made, the rate the stream
// needs, the parameter file and the vendrel command line that encodes them.
#pragma once

#include <string>
#include <vector>

#include "tools/prep/options.h"
#include "tools/prep/rate.h"
#include "tools/prep/source.h"

namespace prep {

// "1 frame", "2 frames".
std::string count(long n, const char* noun);

std::string seconds(double s);

// With rate control the frame rate and the colour limit change on the way:
// changes holds frame 0's and every change.
bool writeParams(const Options& o, const std::vector<ParamChange>& changes, const std::string& path);

// The frames made, at the frame rates and colour limits the rate control chose.
void printFrames(const Options& o, const VideoResult& video, const RateReport& report);

// Only pictures: a sound whose last frame is cut short is common and harmless.
void warnDecodeErrors(const Options& o, const VideoResult& video);

// The vendrel command line that encodes the frames in o.outdir.
void printCommand(const Options& o, int compressType, int frames, bool audio, bool params);

// Rounded up like the viewer's, so that the stream plays at the rate printed.
void printNeededRate(double kib);

// True when the plan plays at the rate asked for.
bool printRateReport(double rate, const RateReport& r);

}  // namespace prep
