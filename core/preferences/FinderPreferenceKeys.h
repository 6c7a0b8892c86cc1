#pragma once

// Where the Finder keeps its preferences and the names Lumifold reads and writes there: the one
// home of these names for the preferences manager, snapshots and restore.
namespace lumifold::finder_preferences {

// The Finder's preferences file, below the home; its name is also the name of its copy in a
// snapshot.
inline constexpr const char* kRelativePath = "Library/Preferences/com.apple.finder.plist";
inline constexpr const char* kFileName = "com.apple.finder.plist";
// The Finder's application id: its preferences domain.
inline constexpr const char* kApplicationId = "com.apple.finder";

// Top-level keys of the file (AppleShowAllExtensions also lives in the global domain).
inline constexpr const char* kShowAllExtensionsKey = "AppleShowAllExtensions";
inline constexpr const char* kViewStyleKey = "FXPreferredViewStyle";
inline constexpr const char* kGroupByKey = "FXArrangeGroupViewBy";
// The view settings of Finder windows, open and save panels, and the desktop, written in this
// order; only the first is read.
inline constexpr const char* kStandardViewSettingsKey = "StandardViewSettings";
inline constexpr const char* kViewSettingsKeys[] = {
    kStandardViewSettingsKey, "FK_StandardViewSettings", "DesktopViewSettings"};
inline constexpr const char* kIconViewSettingsKey = "IconViewSettings";
// How a key inside the windows' icon view settings is named in a SettingChange.
inline constexpr const char* kIconViewKeyPrefix = "StandardViewSettings.IconViewSettings.";

// Keys of an icon view settings dictionary.
inline constexpr const char* kArrangeByKey = "arrangeBy";
inline constexpr const char* kIconSizeKey = "iconSize";
inline constexpr const char* kGridSpacingKey = "gridSpacing";
inline constexpr const char* kTextSizeKey = "textSize";
inline constexpr const char* kLabelOnBottomKey = "labelOnBottom";
inline constexpr const char* kShowItemInfoKey = "showItemInfo";
inline constexpr const char* kShowIconPreviewKey = "showIconPreview";
inline constexpr const char* kBackgroundTypeKey = "backgroundType";

}  // namespace lumifold::finder_preferences
