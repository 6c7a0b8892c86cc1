#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumifold {

// One folder's file names end to end, with where each ends: one allocation for the folder, not
// one per name longer than a short string holds.
class FileNames final {
  public:
    // Throws std::length_error past 4 GiB of names.
    void add(std::string_view name);
    std::size_t size() const { return m_ends.size(); }
    bool empty() const { return m_ends.empty(); }
    std::string_view operator[](std::size_t i) const {
        const std::uint32_t begin = i == 0 ? 0 : m_ends[i - 1];
        return std::string_view(m_bytes).substr(begin, m_ends[i] - begin);
    }

  private:
    std::string m_bytes;
    std::vector<std::uint32_t> m_ends;
};

// Files by folder and name, in the order of their full paths. A million files cost a million
// names and a small index, not a million full paths: a home's whole list stays small enough to
// plan, snapshot and write from.
class FileList final {
  public:
    // Adds the files of one folder (names in any order); a folder may be added twice.
    void addFolder(std::string folder, FileNames names);
    // Orders every file by its full path, bytewise, as a list of paths would sort.
    void sortByPath();

    std::size_t size() const { return m_order.size(); }
    bool empty() const { return m_order.empty(); }
    std::string_view folder(std::size_t i) const;
    std::string_view name(std::size_t i) const;
    std::string path(std::size_t i) const;
    // Whether files i and j are in the same folder: most often one comparison of indices.
    bool inSameFolder(std::size_t i, std::size_t j) const;

    // The paths, for callers that want a plain list.
    std::vector<std::string> paths() const;

  private:
    struct Ref {
        std::uint32_t folder;
        std::uint32_t name;
    };
    struct Folder {
        std::string path;
        FileNames names;

        std::string_view name(std::uint32_t i) const { return names[i]; }
    };

    std::vector<Folder> m_folders;
    std::vector<Ref> m_order;
};

}  // namespace lumifold
