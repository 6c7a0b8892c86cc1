#include "cli/FolderLines.h"

#include <iostream>
#include <utility>

#include "cli/ChangeText.h"

namespace lumifold::cli {

FolderLines::FolderLines(std::vector<std::string> roots, bool all)
    : m_roots(std::move(roots)), m_all(all) {}

bool FolderLines::admit(const std::string& state) {
    if (m_all || m_listed < kFoldersListed) {
        ++m_listed;
        return true;
    }
    ++m_unlisted[state];
    return false;
}

std::string FolderLines::name(const std::string& path) {
    // The deepest chosen folder holding the path: chosen folders may nest.
    const std::string* root = nullptr;
    for (const auto& each : m_roots) {
        const bool holds = path == each || (path.starts_with(each) && path.size() > each.size() &&
                                            (each.back() == '/' || path[each.size()] == '/'));
        if (holds && (root == nullptr || each.size() > root->size())) root = &each;
    }
    if (root == nullptr) return "  " + path;
    std::string line;
    if (root != m_lastRoot) {
        line = "  " + *root + ":\n";
        m_lastRoot = root;
    }
    if (path == *root) return line + "    .";
    return line + "    " + path.substr(root->size() + (root->back() == '/' ? 0 : 1));
}

void FolderLines::finish() const {
    if (m_unlisted.empty()) return;
    std::size_t total = 0;
    std::string states;
    for (const auto& [state, count] : m_unlisted) {
        total += count;
        states += (states.empty() ? "" : ", ") + std::to_string(count) + " " + state;
    }
    std::cout << "  \u2026 and " << counted(total, "more folder") << " with changes (" << states
              << "; --all lists them)\n";
}

}  // namespace lumifold::cli
