#include "support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

#include "format/endian.h"

namespace testsupport {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vendrel-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void writeBmp(const std::string& path, int width, int height, const std::vector<uint32_t>& pixels,
              int bitCount) {
    std::vector<uint32_t> palette;
    std::map<uint32_t, uint32_t> indexOf;
    if (bitCount <= 8) {
        for (uint32_t c : pixels) {
            if (indexOf.count(c)) continue;
            indexOf[c] = static_cast<uint32_t>(palette.size());
            palette.push_back(c);
        }
        if (palette.size() > (1u << bitCount)) throw std::runtime_error("too many colours for bit count");
    }
    const uint32_t stride = ((static_cast<uint32_t>(bitCount) * width + 31) / 32) * 4;
    const uint32_t paletteBytes = static_cast<uint32_t>(palette.size()) * 4;
    const uint32_t offBits = 54 + paletteBytes;
    std::vector<uint8_t> b;
    b.push_back('B');
    b.push_back('M');
    appendLeU32(b, offBits + stride * height);
    appendLeU32(b, 0);
    appendLeU32(b, offBits);
    appendLeU32(b, 40);
    appendLeU32(b, width);
    appendLeU32(b, height);
    appendLeU16(b, 1);
    appendLeU16(b, bitCount);
    appendLeU32(b, 0);
    appendLeU32(b, stride * height);
    appendLeU32(b, 2835);
    appendLeU32(b, 2835);
    appendLeU32(b, static_cast<uint32_t>(palette.size()));
    appendLeU32(b, 0);
    for (uint32_t c : palette) {
        b.push_back(c & 0xFF);
        b.push_back((c >> 8) & 0xFF);
        b.push_back((c >> 16) & 0xFF);
        b.push_back(0);
    }
    for (int row = height - 1; row >= 0; --row) {
        std::vector<uint8_t> line(stride, 0);
        for (int x = 0; x < width; ++x) {
            const uint32_t c = pixels[static_cast<size_t>(row) * width + x];
            switch (bitCount) {
                case 1: line[x / 8] |= static_cast<uint8_t>(indexOf[c] << (7 - x % 8)); break;
                case 4: line[x / 2] |= static_cast<uint8_t>(indexOf[c] << (x % 2 ? 0 : 4)); break;
                case 8: line[x] = static_cast<uint8_t>(indexOf[c]); break;
                case 24:
                case 32: {
                    const int n = bitCount / 8;
                    line[x * n] = c & 0xFF;
                    line[x * n + 1] = (c >> 8) & 0xFF;
                    line[x * n + 2] = (c >> 16) & 0xFF;
                    break;
                }
                default: throw std::runtime_error("unsupported bit count");
            }
        }
        b.insert(b.end(), line.begin(), line.end());
    }
    writeFile(path, b);
}

namespace {
std::string slurp(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
}

// In a child process: becomes the program, or ends with status 127.
[[noreturn]] void execProgram(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}
}  // namespace

RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& workDir) {
    TempDir scratch;
    const std::string outPath = scratch.file("stdout");
    const std::string errPath = scratch.file("stderr");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
        if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(127);
        if (!freopen("/dev/null", "r", stdin)) _exit(127);
        execProgram(program, args);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    FILE* f = fopen(outPath.c_str(), "rb");
    if (f) {
        r.output = slurp(fileno(f));
        fclose(f);
    }
    f = fopen(errPath.c_str(), "rb");
    if (f) {
        r.errors = slurp(fileno(f));
        fclose(f);
    }
    return r;
}

int startProgram(const std::string& program, const std::vector<std::string>& args, const std::string& outPath) {
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (!freopen(outPath.c_str(), "w", stdout) || dup2(fileno(stdout), 2) < 0 || !freopen("/dev/null", "r", stdin))
            _exit(127);
        execProgram(program, args);
    }
    return pid;
}

int waitProgram(int pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

std::string makeCutFilm(const TempDir& dir) {
    const std::string film = dir.file("film.mkv");
    const RunResult r = run(programPath("ffmpeg"), {"-v", "error", "-y", "-f", "lavfi", "-i",
                                                    "testsrc2=size=320x240:rate=15:duration=3", "-f", "lavfi", "-i",
                                                    "mandelbrot=size=320x240:rate=15,trim=duration=3", "-f", "lavfi",
                                                    "-i", "sine=frequency=440:sample_rate=22050:duration=6",
                                                    "-filter_complex", "[0][1]concat=n=2:v=1:a=0[v]", "-map", "[v]",
                                                    "-map", "2:a", "-c:v", "ffv1", "-c:a", "pcm_s16le", film});
    if (r.status != 0) throw std::runtime_error("ffmpeg could not make " + film + ": " + r.errors);
    return film;
}

std::string makeLavfiClip(const std::string& ffmpeg, const std::string& path, const std::string& picture,
                          const std::string& sound, const std::string& codec, const std::string& seconds) {
    std::vector<std::string> args = {"-v", "error", "-y", "-f", "lavfi", "-i", picture};
    if (!sound.empty()) args.insert(args.end(), {"-f", "lavfi", "-i", sound, "-c:a", "pcm_s16le"});
    args.insert(args.end(), {"-t", seconds, "-c:v", codec, path});
    const RunResult r = run(ffmpeg, args);
    if (r.status == 0) return "";
    return r.errors.empty() ? "ffmpeg failed" : r.errors;
}

std::string vendrelBesidePrep() {
    const std::string prep = VENDREL_PREP_BIN;
    return prep.substr(0, prep.rfind('/') + 1) + "vendrel";
}

std::string programPath(const std::string& name) {
    const RunResult r = run("/bin/sh", {"-c", "command -v " + name});
    const std::vector<std::string> out = lines(r.output);
    return r.status == 0 && !out.empty() ? out[0] : "";
}

}  // namespace testsupport
