#include "core/inspection/FolderTree.h"

#include <algorithm>

#include "core/common/Paths.h"

namespace lumifold {

void FolderListings::keep(const std::string& path, platform::PackedEntries entries) {
    const std::size_t size = entries.byteSize() + path.size();
    if (m_bytes + size > kLimit) return;
    m_bytes += size;
    m_kept.insert_or_assign(path, std::move(entries));
}

std::optional<platform::PackedEntries> FolderListings::take(const std::string& path) {
    const auto found = m_kept.find(path);
    if (found == m_kept.end()) return std::nullopt;
    platform::PackedEntries entries = std::move(found->second);
    m_kept.erase(found);
    return entries;
}

FolderTree::FolderTree(const FolderScanner& scanner, FolderTreeOptions options,
                       FolderListings* listings)
    : m_scanner(scanner), m_options(std::move(options)), m_listings(listings) {
    for (std::string& glob : m_options.excludes) {
        if (glob.starts_with("~/")) glob = appending(scanner.homeDirectory(), glob.substr(2));
    }
}

std::vector<std::string> FolderTree::expand(const std::vector<std::string>& folders,
                                            std::vector<std::string>* warnings) const {
    std::vector<std::string> result;
    std::set<platform::FileIdentity> seen;
    for (const std::string& folder : folders) {
        const auto root = rootOf(folder);
        if (!root) {
            result.push_back(folder);
            continue;
        }
        walk(
            *root,
            [&](const TreeFolder& each) { result.push_back(each.level == 0 ? folder : each.path); },
            warnings, &seen);
    }
    return result;
}

std::optional<TreeFolder> FolderTree::rootOf(const std::string& folder) const {
    const std::string resolved = platform::resolveSymbolicLinks(folder);
    if (m_scanner.isExcludedPath(resolved)) return std::nullopt;
    const auto identity = platform::folderIdentity(resolved);
    if (!identity) return std::nullopt;
    return TreeFolder{resolved, 0, *identity, resolved};
}

void FolderTree::walk(const TreeFolder& start, const std::function<void(const TreeFolder&)>& visit,
                      std::vector<std::string>* warnings,
                      std::set<platform::FileIdentity>* seen) const {
    std::set<platform::FileIdentity> ownSeen;
    std::set<platform::FileIdentity>& entered = seen != nullptr ? *seen : ownSeen;
    // An explicit stack: a hostile tree thousands of levels deep must not exhaust ours.
    std::vector<TreeFolder> stack{start};
    while (!stack.empty()) {
        const TreeFolder folder = std::move(stack.back());
        stack.pop_back();
        // A folder met twice (a bind mount of an ancestor) would make the walk endless.
        if (!entered.insert(folder.identity).second) continue;
        if (m_options.depth && folder.level >= *m_options.depth) {
            visit(folder);
            continue;
        }
        std::vector<std::string> subfolders;
        try {
            if (m_listings == nullptr) {
                subfolders = platform::listSubfolders(folder.path);
            } else {
                // One listing serves the walk and the stage's scan of the folder's files.
                platform::PackedEntries entries = platform::listPackedEntries(folder.path);
                for (const auto [name, type] : entries) {
                    if (type == platform::EntryType::directory) subfolders.emplace_back(name);
                }
                std::sort(subfolders.begin(), subfolders.end());
                m_listings->keep(folder.path, std::move(entries));
            }
        } catch (const Error& error) {
            if (folder.level == 0) {
                visit(folder);
            } else if (warnings != nullptr) {
                warnings->push_back(error.message() + "; it is left out with its subfolders");
            }
            continue;
        }
        visit(folder);
        const std::size_t below = stack.size();
        for (const std::string& name : subfolders) {
            if (auto sub = child(folder, name, warnings)) stack.push_back(std::move(*sub));
        }
        // Popped from the back, so the first name goes last.
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(below), stack.end());
    }
}

std::optional<TreeFolder> FolderTree::child(const TreeFolder& parent, std::string_view name,
                                            std::vector<std::string>* warnings) const {
    if (m_options.depth && parent.level >= *m_options.depth) return std::nullopt;
    if (name.empty() || name.front() == '.' || name.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string path = appending(parent.path, name);
    if (isLeftOut(parent, path, name)) return std::nullopt;
    // The entry itself, not what a link names: a link is never followed.
    std::string problem;
    const auto identity = platform::folderIdentity(path, &problem);
    if (!identity) {
        if (!problem.empty() && warnings != nullptr) {
            warnings->push_back(problem + "; it is left out with its subfolders");
        }
        return std::nullopt;
    }
    if (identity->device != parent.identity.device) {
        if (warnings != nullptr) {
            warnings->push_back("Skipped \"" + FolderScanner::displayablePath(path) +
                                "\": another file system is mounted there");
        }
        return std::nullopt;
    }
    return TreeFolder{std::move(path), parent.level + 1, *identity, parent.root};
}

bool FolderTree::isLeftOut(const TreeFolder& parent, const std::string& path,
                           std::string_view name) const {
    if (m_scanner.isExcludedPath(path)) return true;
    const std::string_view relative = std::string_view(path).substr(
        std::min(path.size(), parent.root == "/" ? 1 : parent.root.size() + 1));
    return std::any_of(m_options.excludes.begin(), m_options.excludes.end(),
                       [&](const std::string& glob) {
                           return matchesGlob(glob, name) || matchesGlob(glob, path) ||
                                  matchesGlob(glob, relative);
                       });
}

}  // namespace lumifold
