#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/dsstore/DSStoreEntry.h"
#include "core/preferences/FinderLayoutPreferences.h"

namespace lumifold {

// The records of a .DS_Store that set how a folder is shown, and what they say. Inspection,
// planning and verification all read them through here, so the three agree on what a record
// means and on when it differs from the target layout.

inline constexpr const char* kViewStyleCode = "vstl";  // four-character view style
inline constexpr const char* kIconViewCode = "icvp";   // binary property list of options
// List-view column and sort settings; any of them is an override the target layout removes.
bool isListViewCode(std::string_view code);
// A record the planner acts on for a target folder: view style, icon view or list view.
bool isLayoutCode(std::string_view code);
// Whether `target` shows folders in icon view. Only then are a folder's list-view records
// overrides to remove; in any other view they are the user's own columns and sort, kept.
bool showsIconView(const FinderLayoutPreferences& target);

// The view style a "vstl" record sets; nullopt for another record or a value of another type.
std::optional<std::string> viewStyleOf(const DSStoreEntry& entry);

// Which of a view style and icon view options a folder's own records (those named ".") say,
// readably: a folder must say both where no global default stands behind it (folders only).
// Whether they say the target is each record's own question.
struct OwnLayoutRecords {
    bool viewStyle = false;
    bool iconView = false;
    bool complete() const { return viewStyle && iconView; }
};
OwnLayoutRecords ownLayoutRecords(const std::vector<DSStoreEntry>& entries);

// Sizes match within 0.01; a size that is not a number never matches.
bool sizesDiffer(double current, double target);

// One option of an "icvp" record that differs from the target, as text for people.
struct IconViewDifference {
    std::string key;  // "arrangeBy", "iconSize", "textSize", "showItemInfo", "showIconPreview"
    std::string oldValue;
    std::string newValue;
};

// The options of an "icvp" record that the layout cares about; each absent when the record
// lacks it or holds it with another type.
struct IconViewSettings {
    std::optional<std::string> arrangeBy;
    std::optional<double> iconSize;  // a real, or an integer read as a real
    std::optional<double> textSize;
    std::optional<bool> showItemInfo;
    std::optional<bool> showIconPreview;

    // The settings a record holds; nullopt when it is not a data value holding a property list
    // whose root is a dictionary (such a record says nothing the Finder could use).
    static std::optional<IconViewSettings> read(const DSStoreValue& value);

    // Every option that differs from `target`, in the order arrangeBy, iconSize, textSize,
    // showItemInfo, showIconPreview. A missing arrangeBy counts as "" and a missing iconSize as
    // 0.0 (the Finder would not show the target); the other three count only when present.
    std::vector<IconViewDifference> differencesFrom(const FinderLayoutPreferences& target) const;
};

}  // namespace lumifold
