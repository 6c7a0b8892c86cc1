#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/common/FileList.h"
#include "core/platform/PosixError.h"

// What the engine's sources share: how a warning names files, and the walk over a file list by
// folder.
namespace lumifold::apply_support {

// Warnings name at most this many files each; the count says the rest.
inline constexpr std::size_t kNamedInWarning = 5;

// "N file(s) (a, b, ...); the first failure: why".
inline std::string namedFiles(const std::vector<std::string>& files,
                              const std::string& firstReason) {
    std::string names;
    for (std::size_t i = 0; i < files.size() && i < kNamedInWarning; ++i) {
        names += (i == 0 ? "" : ", ") + platform::printable(files[i]);
    }
    return std::to_string(files.size()) + " file(s) (" + names +
           (files.size() > kNamedInWarning ? ", ..." : "") + "); the first failure: " + firstReason;
}

// Calls `each(begin, end)` for each run of files in one folder; the list is in path order, so a
// folder's files mostly come together.
template <typename Each>
void forEachFolderRun(const FileList& files, const Each& each) {
    for (std::size_t start = 0; start < files.size();) {
        std::size_t end = start + 1;
        while (end < files.size() && files.inSameFolder(end, start)) ++end;
        each(start, end);
        start = end;
    }
}

}  // namespace lumifold::apply_support
