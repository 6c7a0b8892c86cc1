#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace lumifold {

// What the Finder would show for one folder: the overrides its own and its parent's .DS_Store
// hold for it, how many of its files show their extension, and every mismatch with the target
// layout in words (what could not be read counts as one). Identified by `path`.
struct FolderViewSetting {
    std::string path{};           // as given
    std::string canonicalPath{};  // every symbolic link resolved
    bool isSymlink = false;       // the given location itself is a link
    bool isCloudPlaceholder = false;
    bool hasDSStore = false;  // the folder's own or its parent's .DS_Store exists
    std::optional<std::string> currentViewStyle = std::nullopt;
    std::optional<std::string> currentSortBy = std::nullopt;
    std::optional<double> currentIconSize = std::nullopt;
    std::optional<double> currentTextSize = std::nullopt;
    std::optional<bool> currentShowItemInfo = std::nullopt;
    std::optional<bool> currentShowIconPreview = std::nullopt;
    std::int64_t unhiddenExtensionFilesCount = 0;
    // A store of it or the folder itself could not be read; conflictReasons says why, first.
    bool inaccessible = false;
    bool conflicting = false;  // conflictReasons is not empty
    std::vector<std::string> conflictReasons{};
    // Where its files' Finder records are kept ("xattr", "samba", ...) and why; absent where no
    // store was chosen for it.
    std::optional<std::string> metadataStore = std::nullopt;
    std::optional<std::string> metadataStoreReason = std::nullopt;

    const std::string& identity() const { return path; }

    friend bool operator==(const FolderViewSetting&, const FolderViewSetting&) = default;
};

// An object keyed by the field names; absent optionals are left out.
void to_json(nlohmann::json& json, const FolderViewSetting& setting);
// The six optional keys may be missing; when present they must have their type (null is not
// accepted). Every other key is required with its JSON type; conflictReasons is an array of
// strings. Throws nlohmann::json::out_of_range or type_error; other keys are ignored.
void from_json(const nlohmann::json& json, FolderViewSetting& setting);

}  // namespace lumifold
