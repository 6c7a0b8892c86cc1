#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/inspection/FolderScanner.h"
#include "core/platform/FileSystem.h"

namespace lumifold {

// How far a chosen folder's tree reaches.
struct FolderTreeOptions {
    // Levels below each chosen folder (1: its subfolders only); none: no limit.
    std::optional<std::size_t> depth;
    // Globs (matchesGlob) that leave a folder out with everything below it when they match its
    // name, its path, or its path from the chosen folder ("Archive/2019"). A leading "~/"
    // stands for the home.
    std::vector<std::string> excludes;
};

// The entries of the folders a walk listed, kept so the stage that reads them next lists each
// folder once. Names are kept end to end (about 20 bytes a file); past kLimit bytes further
// folders are not kept, and the stage lists those itself.
class FolderListings final {
  public:
    static constexpr std::size_t kLimit = std::size_t{64} << 20;

    // Keeps the listing of `path` (resolved), while within kLimit.
    void keep(const std::string& path, platform::PackedEntries entries);
    // The entries kept for `path`, taken out (a second call gives nullopt); nullopt when none
    // were kept.
    std::optional<platform::PackedEntries> take(const std::string& path);

  private:
    std::unordered_map<std::string, platform::PackedEntries> m_kept;
    std::size_t m_bytes = 0;
};

// The entries `listings` kept for `path`, taken out; nullopt without listings or entries.
inline std::optional<platform::PackedEntries> takeListing(FolderListings* listings,
                                                          const std::string& path) {
    return listings != nullptr ? listings->take(path) : std::nullopt;
}

// A folder as the walk met it.
struct TreeFolder {
    std::string path;
    std::size_t level = 0;  // 0 for the chosen folder
    platform::FileIdentity identity;
    // The chosen folder's path as walked (links resolved), for paths relative to it.
    std::string root;
};

// Walks chosen folders and their subfolders, depth first with names in byte order. The walk
// never follows a symbolic link, stays on the chosen folder's file system, never enters a
// folder twice, and leaves out hidden folders, folders every stage leaves alone
// (FolderScanner::isExcludedPath) and folders matching an exclusion. Reads only.
class FolderTree final {
  public:
    // With `listings`, every folder the walk lists leaves its other entries there.
    FolderTree(const FolderScanner& scanner, FolderTreeOptions options,
               FolderListings* listings = nullptr);

    // Each chosen folder (as given) followed by its subfolders, every folder once. A chosen
    // folder that is missing, not a folder or left alone by every stage is kept as given (the
    // stages say what they do with it) but not walked. Mount points skipped and folders that
    // cannot be listed are told to `warnings`, one line each; a subfolder that cannot be listed
    // is left out.
    std::vector<std::string> expand(const std::vector<std::string>& folders,
                                    std::vector<std::string>* warnings) const;

    // The chosen folder `folder` as the root of a walk; nullopt when it is not walked.
    std::optional<TreeFolder> rootOf(const std::string& folder) const;
    // `start` and the folders below it, each given to `visit` in walk order. Folders whose identity
    // `seen` holds are not entered; each visited one is added to it.
    void walk(const TreeFolder& start, const std::function<void(const TreeFolder&)>& visit,
              std::vector<std::string>* warnings,
              std::set<platform::FileIdentity>* seen = nullptr) const;
    // The subfolder `name` of `parent` when the walk enters it: within the depth, not hidden,
    // not a link, not left out and on the same file system (a mount point is told to
    // `warnings`).
    std::optional<TreeFolder> child(const TreeFolder& parent, std::string_view name,
                                    std::vector<std::string>* warnings) const;

  private:
    bool isLeftOut(const TreeFolder& parent, const std::string& path, std::string_view name) const;

    const FolderScanner& m_scanner;
    FolderTreeOptions m_options;
    FolderListings* m_listings;
};

}  // namespace lumifold
