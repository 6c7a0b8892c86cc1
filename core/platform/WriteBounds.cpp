#include <utility>

#include "core/common/Paths.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"

namespace lumifold::platform {

void WriteBounds::addRoot(const std::string& path) { m_roots.push_back(FolderRoot::open(path)); }

void WriteBounds::addFileOnly(const std::string& path, std::string name) {
    m_fileOnly.push_back(FileOnly{FolderRoot::open(path), std::move(name)});
}

std::optional<std::pair<const FolderRoot*, std::string>> WriteBounds::rootOf(
    std::string_view path) const {
    std::optional<std::pair<const FolderRoot*, std::string>> best;
    for (const FolderRoot& root : m_roots) {
        auto relative = root.relativePathOf(path);
        // The deepest root wins: a chosen folder inside the home is reached as the user
        // named it, a link included.
        if (relative && (!best || relative->size() < best->second.size())) {
            best.emplace(&root, std::move(*relative));
        }
    }
    return best;
}

bool WriteBounds::allows(std::string_view path) const {
    const std::string folder = deletingLastPathComponent(path);
    const std::string name = lastPathComponent(path);
    if (folder == path || name.empty() || name == "." || name == "..") return false;
    if (rootOf(folder)) return true;
    for (const FileOnly& only : m_fileOnly) {
        if (name == only.name && only.root.relativePathOf(folder) == "") return true;
    }
    return false;
}

OpenFolder WriteBounds::openFolderOf(std::string_view path) const {
    if (!allows(path)) {
        throw fileError(kOutsideRoots, "write", path,
                        "it lies outside the folders this run was given");
    }
    const std::string folder = deletingLastPathComponent(path);
    if (const auto found = rootOf(folder)) return found->first->openFolder(found->second);
    const std::string name = lastPathComponent(path);
    for (const FileOnly& only : m_fileOnly) {
        if (name == only.name && only.root.relativePathOf(folder) == "") {
            return only.root.openFolder("");
        }
    }
    throw fileError(kOutsideRoots, "write", path, "it lies outside the folders this run was given");
}

OpenFolder WriteBounds::openFolder(std::string_view path) const {
    if (const auto found = rootOf(path)) return found->first->openFolder(found->second);
    throw fileError(kOutsideRoots, "open", path, "it lies outside the folders this run was given");
}

}  // namespace lumifold::platform
