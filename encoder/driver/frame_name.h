// File names made from printf patterns that receive one int, the frame number
// (in%05d.bmp, m%03d.bin), as the command line gives them.
#pragma once

inline constexpr int FRAME_NAME_BYTES = 256;  // a name holds at most 255 characters
inline constexpr int FRAME_NAME_INVALID = -1;
inline constexpr int FRAME_NAME_TOO_LONG = -2;

// True when the pattern holds at most one conversion, an integer one
// (d, i, u, o, x, X with flags, width and precision but no '*' and no length
// modifier), besides any number of "%%". Anything else would make printf read
// arguments that are not there.
bool frameNamePatternValid(const char* pattern);

// Formats pattern with number into out (FRAME_NAME_BYTES bytes). Returns the
// name's length, FRAME_NAME_INVALID for a pattern that is not valid, or
// FRAME_NAME_TOO_LONG when the name would not fit (out then holds "").
int formatFrameName(char* out, const char* pattern, int number);
