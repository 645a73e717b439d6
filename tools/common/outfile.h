// Output files that a failed run never leaves half written. A regular file
// (or a new one) is written under a temporary name beside it and put in its
// place only when it is complete, so that a failure leaves the earlier file,
// or none, as it was. A device or a pipe (/dev/null, a FIFO) is written
// where it is and is never removed.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

namespace outfile {

struct OutFile {
    std::string path;   // the name asked for
    std::string temp;   // the file written until commit; "" when written in place
    FILE* file = nullptr;
};

// Makes the file to write (the temporary one, or opens a device or pipe
// where it is). The temporary name keeps the extension. With open set the
// file is opened for writing ("wb") into file; otherwise it is only made
// (closed), for a child process to write. False with errno set.
bool begin(OutFile* out, const std::string& path, bool open);

// The name being written: the temporary one, or the path itself.
const std::string& writtenName(const OutFile& out);

// Closes the file (if open) and puts it in place of path. False (errno set)
// when closing or the renaming failed; the temporary file is then removed.
bool commit(OutFile* out);

// Closes the file (if open) and removes the temporary file; a device or
// pipe written in place stays as it is.
void discard(OutFile* out);

// True when both names are the same existing file, whatever the names
// (links, "./a" and "a").
bool sameFile(const std::string& a, const std::string& b);

}  // namespace outfile
