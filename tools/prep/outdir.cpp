#include "tools/prep/outdir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/common/folders.h"

namespace prep {
namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool endsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

bool isFrameName(const std::string& name) {
    const size_t prefix = strlen(FRAME_PREFIX);
    const size_t suffix = strlen(FRAME_SUFFIX);
    if (name.size() < prefix + FRAME_DIGITS + suffix || name.compare(0, prefix, FRAME_PREFIX) != 0 ||
        !endsWith(name, FRAME_SUFFIX))
        return false;
    for (size_t i = prefix; i < name.size() - suffix; ++i)
        if (!isdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

// The names in the folder, "." and ".." left out.
bool listFolder(const std::string& path, std::vector<std::string>* names) {
    Dir dir(opendir(path.c_str()));
    if (!dir) return false;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names->push_back(name);
    }
    std::sort(names->begin(), names->end());
    return true;
}

// Removes the run's files; returns how many, or -1 after printing a failure.
int removeRunFiles(const std::string& path, const std::vector<std::string>& names) {
    int removed = 0;
    for (const std::string& name : names) {
        if (!isRunFile(name)) continue;
        const std::string file = joinPath(path, name);
        if (unlink(file.c_str()) != 0) {
            printf("vendrel-prep: cannot remove %s: %s\n", file.c_str(), strerror(errno));
            return -1;
        }
        ++removed;
    }
    return removed;
}

// Locks the folder for this process (released when it ends): false when
// another run holds it. A file system without locks does not stop the run.
bool lockFolder(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return true;
    close(fd);
    return false;
}

}  // namespace

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string framePattern() { return FRAME_PREFIX + ("%0" + std::to_string(FRAME_DIGITS) + "d") + FRAME_SUFFIX; }

bool isRunFile(const std::string& name) { return name == AUDIO_NAME || name == PARAMS_NAME || isFrameName(name); }

bool prepareFolder(const std::string& path, bool overwrite, RunFolder* folder, bool exclusive) {
    folder->path = path;
    folder->made.clear();
    std::string failed;
    const int reason = folders::makeFolders(path, &failed, &folder->made);
    if (reason != 0) {
        if (failed == path)
            printf("vendrel-prep: cannot make the folder %s: %s\n", path.c_str(), strerror(reason));
        else
            printf("vendrel-prep: cannot make the folder %s (%s: %s)\n", path.c_str(), failed.c_str(), strerror(reason));
        removeRunOutput(*folder);
        return false;
    }
    if (exclusive && !lockFolder(path)) {
        // The folder is the other run's now, even if this one made it.
        printf("vendrel-prep: %s is in use by another vendrel-prep run: wait for it, or choose another folder\n",
               path.c_str());
        return false;
    }
    std::vector<std::string> names;
    if (!listFolder(path, &names)) {
        printf("vendrel-prep: cannot read the folder %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    if (names.empty()) return true;
    if (!overwrite) {
        printf("vendrel-prep: %s is not empty (it holds %s%s): choose a new folder, or give --overwrite to "
               "replace the frames, audio.wav and params.txt there\n",
               path.c_str(), names[0].c_str(), names.size() > 1 ? " and more" : "");
        return false;
    }
    const int removed = removeRunFiles(path, names);
    if (removed < 0) return false;
    if (removed > 0)
        printf("vendrel-prep: removed %d file%s of an earlier run from %s\n", removed, removed == 1 ? "" : "s",
               path.c_str());
    return true;
}

bool holdsRunFile(const std::string& folder, const std::string& file) {
    struct stat target;
    if (stat(file.c_str(), &target) != 0) return false;
    std::vector<std::string> names;
    if (!listFolder(folder, &names)) return false;
    for (const std::string& name : names) {
        struct stat info;
        if (isRunFile(name) && stat(joinPath(folder, name).c_str(), &info) == 0 && info.st_dev == target.st_dev &&
            info.st_ino == target.st_ino)
            return true;
    }
    return false;
}

void removeRunOutput(const RunFolder& folder) {
    std::vector<std::string> names;
    if (listFolder(folder.path, &names)) removeRunFiles(folder.path, names);
    for (auto it = folder.made.rbegin(); it != folder.made.rend(); ++it) rmdir(it->c_str());
}

}  // namespace prep
