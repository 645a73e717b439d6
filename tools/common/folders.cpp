#include "tools/common/folders.h"

#include <sys/stat.h>

#include <cerrno>

namespace folders {
namespace {

// 0 when path is a folder (made now or before), else the reason it is not.
int makeOne(const std::string& path, bool* madeNow) {
    *madeNow = false;
    if (mkdir(path.c_str(), 0777) == 0) {
        *madeNow = true;
        return 0;
    }
    const int reason = errno;
    struct stat info;
    if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    return reason;
}

}  // namespace

int makeFolders(const std::string& path, std::string* failed, std::vector<std::string>* made) {
    // Every prefix that ends before a '/' is a folder on the way, then the
    // whole path; the root and repeated slashes give empty or existing steps.
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string step = path.substr(0, end);
        const bool last = end == std::string::npos;
        if (!step.empty() && step.back() != '/') {
            bool madeNow = false;
            const int reason = makeOne(step, &madeNow);
            if (reason != 0) {
                if (failed) *failed = step;
                return reason;
            }
            if (madeNow && made) made->push_back(step);
        }
        if (last) return 0;
    }
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace folders
