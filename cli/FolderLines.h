#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace lumifold::cli {

// The folder lines of a stage's text form. In trees a folder is named by its path below the
// chosen folder it was found in, after one line naming that folder; elsewhere by its path.
// Unless every line is asked for, the text stays bounded: past kFoldersListed folders with
// changes, the rest are only counted, by state, in one closing line.
class FolderLines final {
  public:
    static constexpr std::size_t kFoldersListed = 200;

    // `roots`: the chosen folders of a tree walk (empty when there is none). `all`: no bound.
    FolderLines(std::vector<std::string> roots, bool all);
    FolderLines(const FolderLines&) = delete;
    FolderLines& operator=(const FolderLines&) = delete;

    // Whether the line of a folder with changes is still printed; counts it under `state`
    // ("conflicting") when it is not.
    bool admit(const std::string& state);
    // The start of the line of `path`: its name, indented, after a line naming its chosen folder
    // when that changes.
    std::string name(const std::string& path);
    // The indent of lines that belong to a folder's line.
    std::string detailIndent() const { return m_roots.empty() ? "    " : "      "; }
    // The closing line of what admit() turned away, when anything was.
    void finish() const;

  private:
    std::vector<std::string> m_roots;
    bool m_all;
    std::size_t m_listed = 0;
    std::map<std::string, std::size_t> m_unlisted;  // by state
    const std::string* m_lastRoot = nullptr;
};

}  // namespace lumifold::cli
