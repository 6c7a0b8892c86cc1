#include "core/engine/WriteTargets.h"

#include <utility>

#include "core/common/Error.h"
#include "core/common/Paths.h"

namespace lumifold {

WriteTargets::WriteTargets(platform::WriteBounds bounds, std::string home)
    : m_bounds(std::move(bounds)), m_home(std::move(home)) {}

void WriteTargets::remember(const std::string& path, const platform::OpenFolder& folder) {
    m_recorded.emplace(path, folder.identity());
}

std::optional<std::string> WriteTargets::recordFolderOf(const std::string& file) {
    const std::string path = deletingLastPathComponent(file);
    if (m_recorded.contains(path)) return std::nullopt;
    try {
        remember(path, m_bounds.openFolderOf(file));
        return std::nullopt;
    } catch (const Error& error) {
        return error.message();
    }
}

void WriteTargets::recordPreferencesFile(const std::string& file) {
    try {
        const platform::FilePlace place = platform::placeFileUnder(m_home, file, true);
        remember(place.folder.path(), place.folder);
    } catch (const Error& error) {
        // A folder Apply makes: nothing there yet to be replaced.
        if (error.code() != ENOENT) throw;
    }
}

std::optional<platform::OpenFolder> WriteTargets::folderOf(const std::string& file,
                                                           std::string& why) const {
    const std::string path = deletingLastPathComponent(file);
    const auto recorded = m_recorded.find(path);
    if (recorded == m_recorded.end()) {
        why = "its folder could not be reached";
        return std::nullopt;
    }
    try {
        platform::OpenFolder folder = m_bounds.openFolderOf(file);
        if (folder.identity() == recorded->second) return folder;
        why = "its folder was replaced by another folder or a link while Apply ran";
    } catch (const Error& error) {
        why = error.message();
    }
    return std::nullopt;
}

std::optional<platform::OpenFolder> WriteTargets::reach(const std::string& file) const {
    try {
        return m_bounds.openFolderOf(file);
    } catch (const Error&) {
        return std::nullopt;
    }
}

std::vector<WrittenFolder> WriteTargets::written() const {
    std::vector<WrittenFolder> folders;
    for (const auto& [path, identity] : m_recorded) {
        folders.push_back({path, identity.device, identity.inode});
    }
    return folders;
}

}  // namespace lumifold
