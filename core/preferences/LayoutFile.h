#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/preferences/FinderLayoutPreferences.h"

namespace lumifold {

// The keys of a layout file, in the order `layout show` prints them.
inline constexpr std::string_view kLayoutKeys[] = {
    "view",      "group-by", "arrange-by", "icon-size",    "grid-spacing",
    "text-size", "labels",   "item-info",  "icon-preview", "hide-extensions"};

// What one table of a layout file sets; each field absent where the table leaves the key out
// (grid spacing also where it says "keep").
struct LayoutSettings {
    std::optional<std::string> viewStyle;
    std::optional<std::string> groupBy;
    std::optional<std::string> sortBy;
    std::optional<double> iconSize;
    std::optional<double> gridSpacing;
    std::optional<double> textSize;
    std::optional<bool> labelOnBottom;
    std::optional<bool> showItemInfo;
    std::optional<bool> showIconPreview;
    std::optional<bool> hideFileExtensions;

    // Whether this table gives `key` (one of kLayoutKeys).
    bool sets(std::string_view key) const;
    // `base` with every setting given here put over it.
    FinderLayoutPreferences over(FinderLayoutPreferences base) const;

    friend bool operator==(const LayoutSettings&, const LayoutSettings&) = default;
};

// A [[folder]] table: the folders its path matches take its settings over the top level's.
struct FolderRule {
    std::string path;  // as written, "~/" included
    std::size_t line = 0;
    LayoutSettings settings;

    friend bool operator==(const FolderRule&, const FolderRule&) = default;
};

// The user's layout file, checked: every key known, every value of its type and in range,
// every rule with a path and no global-only key.
struct LayoutFile {
    static constexpr const char* kDomain = "LayoutFile";
    enum ErrorCode : int { kInvalid = 1 };
    // A layout file is a page of text; anything larger is not one.
    static constexpr std::uint64_t kReadLimit = std::uint64_t{1} << 20;

    std::string path;
    std::string sha256;  // of the bytes read
    LayoutSettings top;
    std::vector<FolderRule> rules;

    // The file checked from its text. Throws kInvalid listing every problem, one a line, each
    // "<path>:<line>: <key>: <what is wrong>".
    static LayoutFile parse(std::string_view text, const std::string& path);
    // The file at `path`; nullopt when nothing is there. Throws kInvalid, and the platform's
    // Error for a file that cannot be read (a FIFO, a device, one larger than kReadLimit).
    static std::optional<LayoutFile> read(const std::string& path);
    // <config>/lumifold/layout.toml, where <config> is $XDG_CONFIG_HOME for the account's own
    // home and <home>/.config for any other (a sandbox named with --home never reads the
    // user's own file).
    static std::string defaultPath(const std::string& home);
};

// The words of the file for each field value, both ways: "list" is "Nlsv" for the key "view".
// nullopt for a key or word the file does not know.
std::optional<std::string> layoutFieldValue(std::string_view key, std::string_view word);
std::optional<std::string> layoutWord(std::string_view key, std::string_view fieldValue);

}  // namespace lumifold
