// Helpers shared by the tests: temporary folders, whole-file I/O, BMP writing,
// running a built program and capturing what it prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// Skips the test where ffmpeg is not installed; else `ffmpeg` holds its path.
#define REQUIRE_FFMPEG()                                                \
    const std::string ffmpeg = testsupport::programPath("ffmpeg");      \
    if (ffmpeg.empty()) GTEST_SKIP() << "ffmpeg is not installed: end-to-end run skipped"

// A fresh folder under the system's temporary directory, removed with its
// contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<uint8_t> readFile(const std::string& path);
bool fileExists(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);

// Writes a bottom-up BMP with a 40-byte information header.
// pixels: width*height colours 0x00RRGGBB, row 0 at the top.
// bitCount 24 or 32 stores the colours directly; 1, 4 and 8 build a palette
// of the distinct colours (there must be few enough for the bit count).
void writeBmp(const std::string& path, int width, int height, const std::vector<uint32_t>& pixels,
              int bitCount = 24);

struct RunResult {
    int status = -1;     // exit status 0..255, or -1 when the program did not exit normally
    std::string output;  // everything written to standard output
    std::string errors;  // everything written to standard error
};

// Runs program with args (no shell), in workDir when not empty.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& workDir = "");

// Starts program with args (no shell) without waiting for it, its standard
// output and error into outPath, standard input from /dev/null; returns its
// process id.
int startProgram(const std::string& program, const std::vector<std::string>& args, const std::string& outPath);

// Waits for a program begun by startProgram: its raw wait status.
int waitProgram(int pid);

// Splits text into lines (without their newlines).
std::vector<std::string> lines(const std::string& text);

// Splits a line into its words (runs of non-blanks).
std::vector<std::string> words(const std::string& line);

// The path of an installed program (as the shell finds it), or "" when it is
// not installed.
std::string programPath(const std::string& name);

// Makes DIR/film.mkv with ffmpeg (which must be installed): 3 s of a test
// card, then 3 s of a fractal zoom (a scene cut), with sound. Its path.
std::string makeCutFilm(const TempDir& dir);

// Makes a clip with ffmpeg from its lavfi sources (2 seconds unless told): a
// picture source and, when sound is not empty, a sound source (16-bit PCM).
// ffmpeg's complaint when it fails, "" when it made the clip.
std::string makeLavfiClip(const std::string& ffmpeg, const std::string& path, const std::string& picture,
                          const std::string& sound, const std::string& codec, const std::string& seconds = "2");

// The vendrel built beside vendrel-prep: the one the commands vendrel-prep
// prints name, since the tests run it uninstalled.
std::string vendrelBesidePrep();

}  // namespace testsupport
