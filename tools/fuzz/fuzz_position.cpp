// Fuzzes patchwell's reading of the position argument. The replacer is one
// source file with no library of its own, so it is compiled in here.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#define main patchwell_main
#include "replacer/patchwell.cpp"
#undef main

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    int32_t position = 0;
    const char* problem = nullptr;
    const bool accepted = parsePosition(text.c_str(), &position, &problem);
    // Whatever is accepted is what strtoll reads, all of the text, inside the
    // 32-bit range.
    errno = 0;
    char* end = nullptr;
    const long long reference = std::strtoll(text.c_str(), &end, 0);
    const bool whole = end != text.c_str() && *end == '\0';
    const bool inRange = errno != ERANGE && reference >= INT32_MIN && reference <= INT32_MAX;
    if (accepted != (whole && inRange)) __builtin_trap();
    if (!accepted && problem == nullptr) __builtin_trap();
    if (accepted && position != reference) __builtin_trap();
    return 0;
}
