#include "core/common/FileList.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "core/common/Paths.h"

namespace lumifold {

void FileNames::add(std::string_view name) {
    if (m_bytes.size() + name.size() >= UINT32_MAX || m_ends.size() >= UINT32_MAX - 1) {
        throw std::length_error("too many files in one list");
    }
    m_bytes += name;
    m_ends.push_back(static_cast<std::uint32_t>(m_bytes.size()));
}

void FileList::addFolder(std::string folder, FileNames names) {
    if (m_folders.size() >= UINT32_MAX) throw std::length_error("too many files in one list");
    const auto index = static_cast<std::uint32_t>(m_folders.size());
    // In name order already, the folder's files cost the final sort far fewer comparisons.
    std::vector<std::uint32_t> byName(names.size());
    std::iota(byName.begin(), byName.end(), 0u);
    std::stable_sort(byName.begin(), byName.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return names[a] < names[b]; });
    for (const std::uint32_t i : byName) m_order.push_back({index, i});
    m_folders.push_back({std::move(folder), std::move(names)});
}

namespace {

// The order of "<outer key><outerName>" and "<outer key><rest><innerName>": the files of a folder
// and of one below it, whose key (path and "/") begins with the outer one's. <0, 0 or >0.
int compareHeld(std::string_view outerName, std::string_view rest, std::string_view innerName) {
    const std::size_t shared = std::min(outerName.size(), rest.size());
    if (const int order = outerName.substr(0, shared).compare(rest.substr(0, shared)); order != 0) {
        return order;
    }
    if (outerName.size() > rest.size()) return outerName.substr(shared).compare(innerName);
    return outerName.size() == rest.size() && innerName.empty() ? 0 : -1;
}

}  // namespace

void FileList::sortByPath() {
    // Folders ordered by "<path>/": where neither folder holds the other, that order is the
    // order of all their files, so most comparisons of a tree's million files are two integers.
    // Those below a folder follow it in that order; `below[r]` ends the run of rank r.
    const std::size_t count = m_folders.size();
    std::vector<std::string> keys(count);
    for (std::size_t i = 0; i < count; ++i) keys[i] = appending(m_folders[i].path, "");
    std::vector<std::uint32_t> byKey(count);
    std::iota(byKey.begin(), byKey.end(), 0u);
    std::stable_sort(byKey.begin(), byKey.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
    std::vector<std::uint32_t> rank(count), below(count);
    std::vector<std::uint32_t> open;  // ranks whose run has not ended
    for (std::uint32_t r = 0; r < count; ++r) {
        rank[byKey[r]] = r;
        while (!open.empty() && !keys[byKey[r]].starts_with(keys[byKey[open.back()]])) {
            below[open.back()] = r;
            open.pop_back();
        }
        open.push_back(r);
    }
    for (const std::uint32_t r : open) below[r] = static_cast<std::uint32_t>(count);
    const auto holds = [&](std::uint32_t outer, std::uint32_t inner) {
        return outer < inner && inner < below[outer];
    };
    const auto name = [this](const Ref& ref) -> std::string_view {
        return m_folders[ref.folder].name(ref.name);
    };
    std::stable_sort(m_order.begin(), m_order.end(), [&](const Ref& a, const Ref& b) {
        if (a.folder == b.folder) return name(a) < name(b);
        const std::uint32_t ra = rank[a.folder], rb = rank[b.folder];
        if (holds(ra, rb)) {
            return compareHeld(name(a),
                               std::string_view(keys[b.folder]).substr(keys[a.folder].size()),
                               name(b)) < 0;
        }
        if (holds(rb, ra)) {
            return compareHeld(name(b),
                               std::string_view(keys[a.folder]).substr(keys[b.folder].size()),
                               name(a)) > 0;
        }
        return ra < rb;
    });
}

std::string_view FileList::folder(std::size_t i) const { return m_folders[m_order[i].folder].path; }

std::string_view FileList::name(std::size_t i) const {
    const Ref& ref = m_order[i];
    return m_folders[ref.folder].name(ref.name);
}

std::string FileList::path(std::size_t i) const { return appending(folder(i), name(i)); }

bool FileList::inSameFolder(std::size_t i, std::size_t j) const {
    // A folder added twice has two indices.
    return m_order[i].folder == m_order[j].folder || folder(i) == folder(j);
}

std::vector<std::string> FileList::paths() const {
    std::vector<std::string> all;
    all.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) all.push_back(path(i));
    return all;
}

}  // namespace lumifold
