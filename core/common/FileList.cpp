#include "core/common/FileList.h"

#include <algorithm>
#include <stdexcept>

#include "core/common/Paths.h"

namespace lumifold {

void FileList::addFolder(std::string folder, std::vector<std::string> names) {
    if (m_folders.size() >= UINT32_MAX || names.size() >= UINT32_MAX) {
        throw std::length_error("too many files in one list");
    }
    const auto index = static_cast<std::uint32_t>(m_folders.size());
    for (std::uint32_t i = 0; i < names.size(); ++i) m_order.push_back({index, i});
    m_folders.push_back({std::move(folder), std::move(names)});
}

// Compares "<folder>/<name>" of both without building either.
bool FileList::pathLess(const Ref& a, const Ref& b) const {
    const std::string_view folderA = m_folders[a.folder].path, folderB = m_folders[b.folder].path;
    const std::string_view nameA = m_folders[a.folder].names[a.name];
    const std::string_view nameB = m_folders[b.folder].names[b.name];
    const auto at = [](std::string_view folder, std::string_view name, std::size_t i) {
        const bool slash = folder.empty() || folder.back() != '/';
        if (i < folder.size()) return static_cast<int>(static_cast<unsigned char>(folder[i]));
        i -= folder.size();
        if (slash) {
            if (i == 0) return static_cast<int>('/');
            --i;
        }
        return i < name.size() ? static_cast<int>(static_cast<unsigned char>(name[i])) : -1;
    };
    for (std::size_t i = 0;; ++i) {
        const int x = at(folderA, nameA, i), y = at(folderB, nameB, i);
        if (x != y) return x < y;
        if (x < 0) return false;
    }
}

void FileList::sortByPath() {
    std::stable_sort(m_order.begin(), m_order.end(),
                     [this](const Ref& a, const Ref& b) { return pathLess(a, b); });
}

std::string_view FileList::folder(std::size_t i) const { return m_folders[m_order[i].folder].path; }

std::string_view FileList::name(std::size_t i) const {
    const Ref& ref = m_order[i];
    return m_folders[ref.folder].names[ref.name];
}

std::string FileList::path(std::size_t i) const { return appending(folder(i), name(i)); }

std::vector<std::string> FileList::paths() const {
    std::vector<std::string> all;
    all.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) all.push_back(path(i));
    return all;
}

}  // namespace lumifold
