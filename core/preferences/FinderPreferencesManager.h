#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/platform/FileSystem.h"
#include "core/platform/PreferencesService.h"
#include "core/platform/PropertyList.h"
#include "core/preferences/FinderLayoutPreferences.h"
#include "core/preferences/SettingChange.h"

namespace lumifold {

// Reads, compares and writes the Finder's global preferences: the com.apple.finder property
// list and the global AppleShowAllExtensions flag. Keeps nothing but the file's path and its
// preferences service; every call reads the file anew. Takes no locks.
class FinderPreferencesManager final {
  public:
    // `preferencesPath` replaces <homeDirectory>/Library/Preferences/com.apple.finder.plist.
    // The preferences service works on the domains of `homeDirectory`.
    explicit FinderPreferencesManager(std::optional<std::string> preferencesPath = std::nullopt,
                                      std::string homeDirectory = platform::homeDirectory());
    FinderPreferencesManager(std::optional<std::string> preferencesPath,
                             platform::PreferencesService preferences);
    FinderPreferencesManager(const FinderPreferencesManager&) = delete;
    FinderPreferencesManager& operator=(const FinderPreferencesManager&) = delete;

    // The path of the Finder's preferences file.
    const std::string& plistURL() const { return m_plistPath; }

    // The file's top-level dictionary; nullopt when it is missing, not a regular file,
    // unreadable, malformed or not a dictionary. Never throws.
    std::optional<platform::PlistDictionary> loadPreferencesDictionary() const;

    // The current global layout, with the preferred values standing in for everything the
    // file lacks or holds with the wrong type. Never throws.
    FinderLayoutPreferences currentPreferences() const;

    // The changes that writePreferences(target) would make, in a fixed order (view style,
    // grouping, sort key, icon size, text size, the three switches, extension visibility).
    // gridSpacing and backgroundType never appear. Never throws.
    std::vector<SettingChange> plistChanges(const FinderLayoutPreferences& target) const;

    // The preferences service's global AppleShowAllExtensions, else the file's; false when
    // neither is a boolean. Never throws.
    bool showsAllExtensions() const;

    // Writes `target` into the file, keeping every other key, then pushes the extension
    // visibility through the preferences service. Throws the platform's Error when the file
    // cannot be serialised, written or replaced; after a failed replacement the temporary file
    // is left beside the preferences file.
    void writePreferences(const FinderLayoutPreferences& target);

  private:
    std::string m_plistPath;
    platform::PreferencesService m_preferences;
};

}  // namespace lumifold
