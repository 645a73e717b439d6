#include "tools/common/outfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "tools/common/folders.h"

namespace outfile {
namespace {

// The mode a new file gets: 0666 less the umask.
mode_t newFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// "dir/.name-XXXXXX.ext" beside "dir/name.ext": hidden, and of the same
// kind for a program that goes by the extension.
std::string tempTemplate(const std::string& path, int* suffixLength) {
    const std::string folder = folders::folderOf(path);
    const std::string base = folder.empty() ? path : path.substr(path.find_last_of('/') + 1);
    const size_t dot = base.find_last_of('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
    const std::string ext = dot == std::string::npos || dot == 0 ? "" : base.substr(dot);
    *suffixLength = static_cast<int>(ext.size());
    const std::string name = "." + stem + "-XXXXXX" + ext;
    if (folder.empty()) return name;
    return folder == "/" ? "/" + name : folder + "/" + name;
}

}  // namespace

bool begin(OutFile* out, const std::string& path, bool open) {
    out->path = path;
    out->temp.clear();
    out->file = nullptr;
    struct stat info;
    const bool exists = stat(path.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        // A device or a pipe: written where it is.
        if (!open) return true;
        out->file = fopen(path.c_str(), "wb");
        return out->file != nullptr;
    }
    int suffixLength = 0;
    const std::string name = tempTemplate(path, &suffixLength);
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int fd = mkstemps(buffer.data(), suffixLength);
    if (fd < 0 && exists && (errno == EACCES || errno == EROFS)) {
        // A file that may be written in a folder that takes no new name:
        // written in place, as it always was.
        if (!open) return true;
        out->file = fopen(path.c_str(), "wb");
        return out->file != nullptr;
    }
    if (fd < 0) return false;
    out->temp = buffer.data();
    // The file gets the mode the earlier one had, or a new file's.
    if (fchmod(fd, exists ? info.st_mode & 07777 : newFileMode()) == 0) {
        if (!open) {
            close(fd);
            return true;
        }
        out->file = fdopen(fd, "wb");
        if (out->file) return true;
    }
    const int reason = errno;
    close(fd);
    unlink(out->temp.c_str());
    out->temp.clear();
    errno = reason;
    return false;
}

const std::string& writtenName(const OutFile& out) { return out.temp.empty() ? out.path : out.temp; }

bool commit(OutFile* out) {
    bool ok = true;
    int reason = 0;
    if (out->file && fclose(out->file) != 0) {
        ok = false;
        reason = errno;
    }
    out->file = nullptr;
    if (out->temp.empty()) {
        errno = reason;
        return ok;
    }
    if (ok && rename(out->temp.c_str(), out->path.c_str()) != 0) {
        ok = false;
        reason = errno;
    }
    if (!ok) unlink(out->temp.c_str());
    out->temp.clear();
    errno = reason;
    return ok;
}

void discard(OutFile* out) {
    if (out->file) fclose(out->file);
    out->file = nullptr;
    if (!out->temp.empty()) unlink(out->temp.c_str());
    out->temp.clear();
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat x;
    struct stat y;
    return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

}  // namespace outfile
