// vendrel: numbered BMP frames (and optionally a WAV file, a parameter file and
// boot code) become one stream file for the X1turboZ 64-colour mode, or one raw
// GRAM file per frame.
//
// The driver reads the command line, sets up the output stream and the
// modules, runs the frame loop one frame after the other and completes the
// stream: frames come in through the image module, become commands in the
// video module, and meet the sound from the audio module in the stream module.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/stat.h>

#include "encoder/audio/pcmtl.h"
#include "encoder/driver/frame_name.h"
#include "encoder/driver/streaminfo.h"
#include "encoder/image/bmp.h"
#include "encoder/image/decode_bmp.h"
#include "encoder/stream/avindex.h"
#include "encoder/video/compress.h"

namespace {

// Exit statuses. The usage text and an output stream that cannot be created
// end with -1; a WAV file the reader rejects ends with 1 (inside the reader).
// Every other failure that leaves the run without a usable result ends with 1
// as well, so that calling scripts never take it for success.
constexpr int EXIT_USAGE = -1;
constexpr int EXIT_FAILED = 1;

constexpr int STREAM_NAME_NUMBER = 99999;  // the number that names the stream file
constexpr size_t STREAM_BUFFER_BYTES = 65536;
constexpr int RAW_GRAM_OFFSET = 0x4000;     // planes B, R, G from here to the page's end
constexpr int RAW_GRAM_BYTES = 0xC000;

constexpr const char* USAGE_TEXT[] = {
    "vendrel [options] [in_file] [out_file]",
    "  options:",
    "   -s[number]   : start number of source file",
    "   -e[number]   : last  number of source file",
    "   -k[number]   : skip  number per frame",
    "   -c[typenum]  : compress type",
    "                  0 : separeted RAW GRAM",
    "                  1 : single buffered GRAM difference",
    "                  2 : double buffered GRAM difference",
    "   -b[filepath] : store bootcode to top of outfile",
    "   -a[filepath] : audio stream file",
};

struct Settings {
    int startNumber = 0;
    int lastNumber = 0;
    int compressType = 0;
    int videoSkip = 1;
    const char* inPattern = nullptr;
    const char* outPattern = nullptr;
    const char* bootPath = nullptr;
    const char* audioPath = nullptr;
    const char* paramPath = nullptr;
};

char filename[FRAME_NAME_BYTES];          // the stream's name, later each raw GRAM file's
uint8_t bootcode_buf[STREAM_BOOTCODE_MAX_BYTES];  // the boot code while it is copied
// Buffer of the output stream. Static storage that is never freed: the WAV
// reader ends the process with exit(), and the C library flushes the still
// open stream only after the static destructors have run, so a buffer owned
// by a destructor would be written out from freed memory.
char streamOutfbuf[STREAM_BUFFER_BYTES];
StreamInfo streamInfo;

void printUsage() {
    for (const char* line : USAGE_TEXT) puts(line);
}

// Reads an option's number the way "%d" does: blanks, an optional sign, at
// least one digit; anything after the digits is ignored. A value that does
// not fit an int is refused rather than wrapped.
bool parseOptionNumber(const char* text, int* value) {
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
    if (!isdigit(static_cast<unsigned char>(*digits))) return false;
    errno = 0;
    const long v = strtol(p, nullptr, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

// Scans the arguments from left to right. Returns false when the usage text
// is due: an unknown option, a number that does not convert, a third
// positional argument, or nothing that names an output.
bool parseCommandLine(int argc, char** argv, Settings* s) {
    if (argc <= 1) return false;
    bool ok = true;
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            if (positional == 0) s->inPattern = arg;
            else if (positional == 1) s->outPattern = arg;
            else ok = false;
            ++positional;
            continue;
        }
        const char* value = arg + 2;
        const int letter = arg[1] >= 'A' && arg[1] <= 'Z' ? arg[1] - 'A' + 'a' : arg[1];
        switch (letter) {
            case 'a': s->audioPath = value; break;  // an empty path still counts
            case 'b': s->bootPath = value; break;
            case 'f': s->paramPath = value; break;
            case 'c': ok = parseOptionNumber(value, &s->compressType) && ok; break;
            case 'e': ok = parseOptionNumber(value, &s->lastNumber) && ok; break;
            case 'k': ok = parseOptionNumber(value, &s->videoSkip) && ok; break;
            case 's':
                if (parseOptionNumber(value, &s->startNumber)) {
                    if (s->lastNumber < s->startNumber) s->lastNumber = s->startNumber;
                } else {
                    ok = false;
                }
                break;
            default: ok = false; break;
        }
    }
    if (!s->bootPath && !s->audioPath && !s->outPattern) return false;
    return ok;
}

// Checks what the usage text does not cover: patterns that printf could not
// format safely and a frame step that would never reach the last number.
bool checkSettings(const Settings& s) {
    const char* patterns[] = {s.inPattern, s.outPattern};
    for (const char* pattern : patterns) {
        if (pattern && !frameNamePatternValid(pattern)) {
            printf("error: the file name pattern '%s' may hold only one integer conversion such as %%05d\n",
                   pattern);
            return false;
        }
    }
    if (s.videoSkip < 1) {
        printf("error: the frame step must be 1 or more (-k%d)\n", s.videoSkip);
        return false;
    }
    return true;
}

void reportNameTooLong(const char* pattern) {
    printf("error: the file name made from '%s' is longer than %d characters\n", pattern, FRAME_NAME_BYTES - 1);
}

// A file's identity: two names are one file when both parts agree.
struct FileId {
    dev_t device;
    ino_t inode;
    auto operator<=>(const FileId&) const = default;
};

bool fileId(const char* path, FileId* id) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    *id = {st.st_dev, st.st_ino};
    return true;
}

// One input the run reads, by identity: the boot code, the sound, the
// parameter file, or frame `number` of the in_file pattern.
struct InputFile {
    FileId id;
    const char* what;  // the option's path, or null for a frame
    long long number;
};

// The frames the loop would read: from the start number by the step, up to
// the first that is missing (where the loop stops).
template <typename Visit>
void forEachFrame(const Settings& s, Visit visit) {
    char name[FRAME_NAME_BYTES];
    for (long long n = s.startNumber; n <= s.lastNumber; n += s.videoSkip) {
        if (formatFrameName(name, s.inPattern, static_cast<int>(n)) < 0) return;
        if (!visit(n, name)) return;
    }
}

// An output that is also an input destroys that input before it is read:
// the stream is created before the boot code, the parameter file and the
// sound are read, and a raw GRAM file may be a later frame. Says which, and
// returns true, for such a run; nothing has been written yet.
bool outputIsAnInput(const Settings& s) {
    if (s.compressType < 0 || !s.outPattern) return false;
    std::vector<InputFile> inputs;
    FileId id;
    for (const char* path : {s.bootPath, s.audioPath, s.paramPath}) {
        if (path && fileId(path, &id)) inputs.push_back({id, path, 0});
    }
    if (s.inPattern) {
        forEachFrame(s, [&](long long n, const char* name) {
            if (!fileId(name, &id)) return false;
            inputs.push_back({id, nullptr, n});
            return true;
        });
    }
    std::sort(inputs.begin(), inputs.end(), [](const InputFile& a, const InputFile& b) { return a.id < b.id; });

    char out[FRAME_NAME_BYTES];
    auto clash = [&](const char* output) {
        if (!fileId(output, &id)) return false;
        const auto at = std::lower_bound(inputs.begin(), inputs.end(), id,
                                         [](const InputFile& a, const FileId& b) { return a.id < b; });
        if (at == inputs.end() || at->id != id) return false;
        char frame[FRAME_NAME_BYTES] = "";
        if (!at->what) formatFrameName(frame, s.inPattern, static_cast<int>(at->number));
        printf("error: the output file '%s' is the input file '%s'; give the output another name\n", output,
               at->what ? at->what : frame);
        return true;
    };
    if (s.compressType > 0) {
        return formatFrameName(out, s.outPattern, STREAM_NAME_NUMBER) >= 0 && clash(out);
    }
    // Raw GRAM files: one for each frame read.
    bool found = false;
    if (s.inPattern) {
        forEachFrame(s, [&](long long n, const char*) {
            found = formatFrameName(out, s.outPattern, static_cast<int>(n)) >= 0 && clash(out);
            return !found;
        });
    }
    return found;
}

// Opens the boot code file. A missing file or a folder is said and refused
// before the stream is created, so that an earlier stream of that name stays.
FILE* openBootCode(const char* path) {
    struct stat st;
    FILE* boot = stat(path, &st) == 0 && !S_ISDIR(st.st_mode) ? fopen(path, "rb") : nullptr;
    if (!boot) printf("bootfile :%s:can't open\n", path);
    return boot;
}

// Copies up to 65536 bytes of boot code to the top of the stream; closes boot.
void writeBootCode(FILE* stream, const char* path, FILE* boot) {
    printf("bootfile :%s:", path);
    const size_t n = fread(bootcode_buf, 1, sizeof bootcode_buf, boot);
    fclose(boot);
    if (n == 0) return;
    printf("%d bytes\n", static_cast<int>(n));
    if (fwrite(bootcode_buf, 1, n, stream) != n) streamReportWriteError("boot code");
}

// Brings page `page` up to date with the frame just converted and writes its
// three planes as one raw GRAM file. Returns the bytes written.
int writeRawGRAM(int page, bool* failed) {
    memcpy(gram_buf[page], gram_buf[2], GRAM_PAGE_BYTES);
    FILE* out = fopen(filename, "wb");
    if (!out) return 0;
    const size_t n = fwrite(gram_buf[page] + RAW_GRAM_OFFSET, 1, RAW_GRAM_BYTES, out);
    const bool closed = fclose(out) == 0;
    if (n != RAW_GRAM_BYTES || !closed) {
        printf("error: could not write '%s' (disk full?)\n", filename);
        *failed = true;
    }
    return static_cast<int>(n);
}

// Creates the output stream for the compressed types, with its buffer.
bool openStream(const Settings& s) {
    const int formatted = s.outPattern ? formatFrameName(filename, s.outPattern, STREAM_NAME_NUMBER) : -1;
    if (formatted == FRAME_NAME_TOO_LONG) {
        reportNameTooLong(s.outPattern);
        return false;
    }
    fpDst = formatted >= 0 ? fopen(filename, "wb") : nullptr;
    if (!fpDst) {
        const int reason = errno;
        puts("出力ファイルが作成できません。");
        if (formatted >= 0)
            printf("error: cannot create the stream file %s: %s\n", filename, strerror(reason));
        else
            puts("error: no out_file given: compress types 1 and 2 write a stream file");
        return false;
    }
    setvbuf(fpDst, streamOutfbuf, _IOFBF, sizeof streamOutfbuf);
    return true;
}

// Closes what start-up opened; used by every end of a run past start-up.
void closeRun() {
    streamInfoTerm(&streamInfo);
    if (!fpDst) return;
    if (fclose(fpDst) != 0) streamReportWriteError("end of the stream");
    fpDst = nullptr;
}

// Completes the stream: the compressor's last blocks, then the final index
// over the placeholder.
void finishStream(const Settings& s, long indexPosition, int* byteTotal) {
    if (s.compressType > 0) *byteTotal += compressGramEnd();
    if (fseek(fpDst, indexPosition, SEEK_SET) != 0 || avindexOut(fpDst) < 0) streamReportWriteError("index");
    fseek(fpDst, 0, SEEK_END);
}

struct LoopResult {
    long long stopNumber;  // the first number not processed
    int byteTotal;
    bool failed;
};

LoopResult runFrameLoop(const Settings& s) {
    LoopResult r{s.startNumber, 0, false};
    if (s.startNumber > s.lastNumber) return r;
    char sourceName[FRAME_NAME_BYTES];
    int page = 0;
    int shownPage = -1;  // the page of the frame before, none before the first
    long long n = s.startNumber;
    do {
        curFrame = static_cast<int>(n);
        streamInfo.frame = curFrame;
        streamInfoUpdate(&streamInfo);
        decode_bmp_setColorLimit(streamInfo.paletLimit);

        // Without an in_file pattern there is no source: the run ends as if
        // the first image were missing.
        const int named = s.inPattern ? formatFrameName(sourceName, s.inPattern, curFrame) : 0;
        if (!s.inPattern) sourceName[0] = '\0';
        if (named == FRAME_NAME_TOO_LONG) {
            reportNameTooLong(s.inPattern);
            r.failed = true;
            break;
        }
        printf("%s:", sourceName);
        BmpImage* image = s.inPattern ? bmpReadFile(sourceName) : nullptr;
        if (!image) {
            puts("bmp read error");
            // A missing frame ends a sequence normally, but not before its
            // first frame: then the pattern or the range is wrong.
            if (n == s.startNumber) {
                puts("error: no frame was read (check the in_file pattern and -s/-e)");
                r.failed = true;
            }
            break;
        }
        // A refused frame keeps the picture before it. With two pages that
        // picture is on the other page, and page 2 and the palette update list
        // still describe it in that page's terms: this page takes it over.
        if (decode_bmp_gram(page, image) < 0 && shownPage >= 0) decode_bmp_repeat(page, shownPage);
        bmpFree(image);
        compressFrameTimeSet(streamInfo.videoInterval);

        if (s.compressType != 0) {
            const int size = compressGram(gram_buf[page], gram_buf[2], paletUpdateList);
            printf("P%d[enc %d bytes]\n*******************************************************\n", page, size);
            r.byteTotal += size;
        } else if (s.outPattern) {
            if (formatFrameName(filename, s.outPattern, curFrame) == FRAME_NAME_TOO_LONG) {
                reportNameTooLong(s.outPattern);
                r.failed = true;
                break;
            }
            r.byteTotal += writeRawGRAM(page, &r.failed);
            printf("out %s\n", filename);
        } else {
            printf("out %s\n", filename);
        }

        shownPage = page;
        if (s.compressType == 2) page ^= 1;
        frameTime += streamInfo.videoInterval;
        n += streamInfo.videoSkip;
    } while (n <= s.lastNumber);
    r.stopNumber = n;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    streamInfoInit(&streamInfo);
    Settings s;
    if (!parseCommandLine(argc, argv, &s)) {
        printUsage();
        return EXIT_USAGE;
    }
    if (!checkSettings(s)) return EXIT_USAGE;
    if (outputIsAnInput(s)) return EXIT_USAGE;
    streamInfo.videoSkip = s.videoSkip;

    printf("X1turboZ 64COLOR VIDEO/AUDIO encoder\n\n");
    decode_bmp_init();

    if (s.compressType > 0) {
        // Without an out_file pattern there is no stream to keep: that is
        // what the run reports.
        FILE* boot = s.bootPath && s.outPattern ? openBootCode(s.bootPath) : nullptr;
        if (s.bootPath && s.outPattern && !boot) return EXIT_FAILED;
        if (!openStream(s)) {
            if (boot) fclose(boot);
            return EXIT_USAGE;
        }
        if (boot) writeBootCode(fpDst, s.bootPath, boot);
    }

    if (s.paramPath) {
        printf("config_file '%s':", s.paramPath);
        // Only a file: a folder would read as an empty file, a device such
        // as /dev/zero never ends, and a pipe would be waited for.
        struct stat st;
        const bool exists = stat(s.paramPath, &st) == 0;
        const bool regular = exists && S_ISREG(st.st_mode);
        streamInfo.fp = regular ? fopen(s.paramPath, "rt") : nullptr;
        if (!streamInfo.fp) {
            puts(exists && !regular ? "can't open (not a file)" : "can't open");
            closeRun();
            return EXIT_FAILED;
        }
        printf(" \n");
    }

    AvIndexEntry* header = avindexInit();
    long indexPosition = 0;
    if (fpDst) {
        indexPosition = ftell(fpDst);
        if (avindexOut(fpDst) < 0) streamReportWriteError("index");
    }

    if (s.audioPath && fpDst) {
        printf("audio_file :%s\n", s.audioPath);
        if (pcmtl_Init(fpDst, s.audioPath, &header[AVINDEX_KIND_AUDIO]) < 0) {
            closeRun();
            return EXIT_FAILED;
        }
        audioSamplesVframe = AUDIO_BLOCKS_PER_DISPLAY_FRAME;
        videoUpdateCB(nullptr, 0, 0);
    }

    compressGramInit(fpDst, header);
    fileFrame = 0;
    // The player starts with this interval; the parameter file has not been
    // read yet, so it is always the default.
    header[AVINDEX_KIND_VIDEO].bytes[AVENTRY_KIND_PARAM] = static_cast<uint8_t>(streamInfo.videoInterval & 0xFF);

    LoopResult loop = runFrameLoop(s);

    if (fpDst) finishStream(s, indexPosition, &loop.byteTotal);
    decode_bmp_term();
    printf("total %d frames , %d(%f MB) bytes\n", static_cast<int>(loop.stopNumber - s.startNumber), loop.byteTotal,
           static_cast<uint32_t>(loop.byteTotal) / 1048576.0);
    closeRun();
    pcmtl_End();
    if (streamWriteFailed) return EXIT_FAILED;
    return loop.failed ? EXIT_FAILED : 0;
}
