// Making the folders that output files go into, for the tools around the
// encoder (vendrel-prep, vendrel-view).
#pragma once

#include <string>
#include <vector>

namespace folders {

// Makes the folder and every missing folder above it, as `mkdir -p` does.
// Returns 0, or the errno of the folder that could not be made, whose name
// is then put into failed. Each folder made is appended to made (when given),
// outermost first, so that a failed run can remove them again.
int makeFolders(const std::string& path, std::string* failed, std::vector<std::string>* made);

// The folder part of a file's path ("a/b" for "a/b/c.png"), "" when there is
// none, "/" for a file in the root.
std::string folderOf(const std::string& path);

}  // namespace folders
