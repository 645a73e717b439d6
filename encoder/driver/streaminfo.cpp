// The per-frame parameter file: a script of "key value" lines, grouped by
// "frame N" lines, that changes the encoding parameters at the frames it names.
// The file is read lazily, only as far as the current frame allows, so every
// group takes effect at the first frame processed whose number reaches its N.
#include "encoder/driver/streaminfo.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "encoder/image/decode_bmp.h"
#include "encoder/video/compress.h"
#include "format/params.h"

namespace {

// fgets stores at most size - 1 characters, so a buffer of 1023 gives lines of
// at most 1022 characters; a longer line arrives in pieces, each handled as a
// line of its own.
constexpr int LINE_BUFFER_BYTES = 1023;

// Blank, equals sign and newline separate tokens; tab and carriage return do
// not, so "key<TAB>value" is a single token and the line has no value.
constexpr const char* token = " =\n";

// Once the file is exhausted nextFrame holds this, so no later frame reads again.
constexpr int NO_MORE_LINES = INT_MAX;

// The mask of a lock without one: every bit of the colour must match.
constexpr int LOCK_FULL_MASK = 0xFFFFFF;
// Mode and flag bits of decode_bmp_palet_lock/unlock: the position holds a fixed colour.
constexpr int LOCK_MODE_COLOUR = 2;

// Option types of compressOption.

enum class Key { Frame, VideoSkip, PaletLimit, PaletLock, VideoInterval, AudioFader, AudioPlay, PaletFlash, Signal, Unknown };

struct KeyName {
    std::string_view name;
    Key key;
};

// Tried in this order; a key must match the whole token, case and all.
constexpr std::array<KeyName, 9> keyTable{{
    {PARAM_FRAME, Key::Frame},
    {PARAM_VIDEO_SKIP, Key::VideoSkip},
    {PARAM_PALET_LIMIT, Key::PaletLimit},
    {PARAM_PALET_LOCK, Key::PaletLock},
    {PARAM_VIDEO_INTERVAL, Key::VideoInterval},
    {PARAM_AUDIO_FADER, Key::AudioFader},
    {PARAM_AUDIO_PLAY, Key::AudioPlay},
    {PARAM_PALET_FLASH, Key::PaletFlash},
    {PARAM_SIGNAL, Key::Signal},
}};

Key findKey(std::string_view name) {
    for (const KeyName& entry : keyTable) {
        if (entry.name == name) return entry.key;
    }
    return Key::Unknown;
}

// Converts like strtol with base 0: leading blanks, a sign, 0x/0X for hex, a
// leading 0 for octal; conversion stops at the first character that does not
// fit, and no digits give 0. Only a value outside the 32-bit signed range is
// an error; errno is cleared first so that nothing left over from an earlier
// call counts. On an error *value holds the nearest 32-bit limit.
bool convertNumber(const char* text, int* value) {
    errno = 0;
    const long long wide = std::strtoll(text, nullptr, 0);
    const bool inRange = errno != ERANGE && wide >= INT_MIN && wide <= INT_MAX;
    if (inRange) {
        *value = static_cast<int>(wide);
    } else {
        *value = wide < 0 ? INT_MIN : INT_MAX;
    }
    return inRange;
}

// Cuts off comments ('#' first, then ';') and returns the first two tokens;
// false when the line lacks a key or a value.
bool splitLine(char* line, char** key, char** value) {
    if (char* hash = std::strchr(line, '#')) *hash = '\0';
    if (char* semi = std::strchr(line, ';')) *semi = '\0';

    char* cursor = line;
    auto next = [&cursor]() -> char* {
        cursor += std::strspn(cursor, token);
        if (*cursor == '\0') return nullptr;
        char* start = cursor;
        cursor += std::strcspn(cursor, token);
        if (*cursor != '\0') *cursor++ = '\0';
        return start;
    };
    *key = next();
    if (!*key) return false;
    *value = next();
    return *value != nullptr;
}

// "index,colour[,mask]": a negative colour unlocks the position, any other
// colour locks it (mask 0xFFFFFF when absent). Nothing is locked or unlocked
// unless index and colour are both there and every part converts; an empty
// part ("3," or "3,,5") counts as a missing number, not as 0.
int applyPaletLock(const char* key, char* value) {
    std::array<char*, 3> parts{};
    int count = 0;
    char* cursor = value;
    parts[count++] = cursor;
    while (count < static_cast<int>(parts.size()) && (cursor = std::strchr(cursor, ',')) != nullptr) {
        *cursor++ = '\0';
        parts[count++] = cursor;
    }

    auto convertPart = [&parts, count](int i, int* number) {
        return i < count && *parts[i] != '\0' && convertNumber(parts[i], number);
    };
    int index = 0;
    int colour = 0;
    int mask = LOCK_FULL_MASK;
    const bool ok = convertPart(0, &index) && convertPart(1, &colour) && (count < 3 || convertPart(2, &mask));
    if (!ok) {
        std::printf("error : parameter %s(p=%02X,c=%08X,m=%08X)\n", key, static_cast<unsigned>(index),
                    static_cast<unsigned>(colour), static_cast<unsigned>(mask));
        return -1;
    }
    // The colour reduction decides whether the position can be (un)locked.
    if (colour < 0) {
        decode_bmp_palet_unlock(index, LOCK_MODE_COLOUR);
    } else {
        decode_bmp_palet_lock(index, colour, mask, LOCK_MODE_COLOUR);
    }
    return 0;
}

// Acts on one key/value pair; returns -1 after printing an error line.
int applyParameter(StreamInfo* info, const char* key, char* value) {
    const Key which = findKey(key);
    if (which == Key::Unknown) return 0;
    if (which == Key::PaletLock) return applyPaletLock(key, value);

    int number = 0;
    if (!convertNumber(value, &number)) {
        std::printf("error : parameter %s = %s\n", key, value);
        return -1;
    }
    switch (which) {
        case Key::Frame: info->nextFrame = number; break;
        case Key::VideoSkip:
            // A step below 1 would keep the frame loop on one frame for ever
            // or run it backwards.
            if (number < 1) {
                std::printf("error : parameter %s = %s (the step must be 1 or more)\n", key, value);
                return -1;
            }
            info->videoSkip = number;
            break;
        case Key::PaletLimit: info->paletLimit = number; break;
        case Key::VideoInterval:
            // A negative interval would run the frame time backwards and reach
            // the player as another option command (-1 is sent as 0xFF, the fader).
            if (number < 0) {
                std::printf("error : parameter %s = %s (the interval must be 0 or more)\n", key, value);
                return -1;
            }
            info->videoInterval = number;
            break;
        case Key::AudioFader: compressOption(COMPRESS_OPTION_FADER, number); break;
        case Key::AudioPlay: compressOption(COMPRESS_OPTION_PLAY, number); break;
        case Key::PaletFlash: compressOption(COMPRESS_OPTION_FLASH, number); break;
        case Key::Signal: compressOption(COMPRESS_OPTION_OVERLAY, number); break;
        case Key::PaletLock:
        case Key::Unknown: break;
    }
    return 0;
}

// Reads and applies lines while they are due at info->frame. A "frame" line
// sets the number of the group that follows it; reading stops in front of the
// first group not yet due, or right after a line in error, so the rest of that
// group waits for the next frame.
int readDueLines(StreamInfo* info) {
    while (info->nextFrame <= info->frame) {
        char line[LINE_BUFFER_BYTES];
        if (!std::fgets(line, LINE_BUFFER_BYTES, info->fp)) {
            info->nextFrame = NO_MORE_LINES;
            return 0;
        }
        char* key = nullptr;
        char* value = nullptr;
        if (!splitLine(line, &key, &value)) continue;
        std::printf("parameter[%5d]:%s = %s\n", info->nextFrame, key, value);
        if (applyParameter(info, key, value) != 0) return -1;
    }
    return 0;
}

}  // namespace

int streamInfoInit(StreamInfo* info) {
    info->nextFrame = info->frame;
    if (info->fp) readDueLines(info);
    return 0;
}

int streamInfoUpdate(StreamInfo* info) {
    if (!info->fp) return 0;
    return readDueLines(info);
}

int streamInfoTerm(StreamInfo* info) {
    if (info->fp) {
        std::fclose(info->fp);
        info->fp = nullptr;
    }
    return 0;
}
