#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/common/Bytes.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PreferencesService.h"
#include "core/plist/PropertyList.h"
#include "core/preferences/FinderLayoutPreferences.h"
#include "core/preferences/PushedPreference.h"
#include "core/preferences/SettingChange.h"

namespace lumifold {

// The Finder's preferences file as one read found it. Planning, the snapshot and the check
// before replacing all work from this one read.
struct PreferencesFile {
    std::string path;
    bool exists = false;  // anything at the path, a dangling link too, or it cannot be told
    bool isLink = false;  // the path is a symbolic link
    Bytes bytes;          // the content, when it could be read
    // The top-level dictionary; nullopt when the file is missing or cannot be used.
    std::optional<platform::PlistDictionary> dictionary;
    // Why a file that exists cannot be used, naming it; such a file is never overwritten.
    std::optional<std::string> problem;
};

// A push writePreferences makes, with its domain's file as planning read it.
struct PlannedPush {
    PushedPreference record;
    std::string domainPath;
    std::optional<Bytes> domainBytes;  // nullopt: the domain had no file
};

// What writePreferences did.
struct PreferencesWrite {
    // false when the file no longer held what it was planned from: it was left alone.
    bool fileWritten = false;
    // The pushes of extension visibility that reached the preferences service.
    std::vector<PushedPreference> pushed;
    // The domain files of pushes another program changed after planning: left as it wrote
    // them, and the push not made.
    std::vector<std::string> domainsNotWritten;
    // Pushes that failed, each in words; the file write stands.
    std::vector<std::string> warnings;
};

// Reads, compares and writes the Finder's global preferences: the com.apple.finder property
// list and the global AppleShowAllExtensions flag. Keeps nothing but the file's path and its
// preferences service; every call reads the file anew. Takes no locks.
class FinderPreferencesManager final {
  public:
    static constexpr const char* kDomain = "FinderPreferencesManager";
    enum ErrorCode : int { kUnreadablePreferences = 1 };

    // `preferencesPath` replaces <homeDirectory>/Library/Preferences/com.apple.finder.plist.
    // The preferences service works on the domains of `homeDirectory`.
    explicit FinderPreferencesManager(std::optional<std::string> preferencesPath = std::nullopt,
                                      std::string homeDirectory = platform::homeDirectory());
    FinderPreferencesManager(std::optional<std::string> preferencesPath,
                             platform::PreferencesService preferences);
    FinderPreferencesManager(const FinderPreferencesManager&) = delete;
    FinderPreferencesManager& operator=(const FinderPreferencesManager&) = delete;

    // The path of the Finder's preferences file.
    const std::string& plistPath() const { return m_plistPath; }

    // The file as it is now. Never throws.
    PreferencesFile readPreferencesFile() const;

    // The current global layout, with the preferred values standing in for everything the
    // file lacks or holds with the wrong type. Never throws. The overload works from a read
    // the caller already made.
    FinderLayoutPreferences currentPreferences() const;
    FinderLayoutPreferences currentPreferences(const PreferencesFile& file) const;

    // The changes that writePreferences(target) would make, in a fixed order (view style,
    // grouping, sort key, icon size, text size, the three switches, extension visibility).
    // gridSpacing and backgroundType never appear. Never throws.
    std::vector<SettingChange> plistChanges(const FinderLayoutPreferences& target) const;
    std::vector<SettingChange> plistChanges(const FinderLayoutPreferences& target,
                                            const PreferencesFile& file) const;

    // The preferences service's global AppleShowAllExtensions, else the file's; false when
    // neither is a boolean. Never throws.
    bool showsAllExtensions() const;
    bool showsAllExtensions(const PreferencesFile& file) const;

    // The values writePreferences(target) pushes into the preferences service, each with what
    // its domain holds now. Throws Error naming a domain file that exists but cannot be read,
    // and kPropertyListUnwritable, naming the file and the key, for a value held now that no
    // property-list form can record.
    std::vector<PlannedPush> plannedPushes(const FinderLayoutPreferences& target) const;

    // The file writePreferences(target, planned, ...) writes: `planned`'s dictionary with the
    // target's keys. Throws when `planned` could not be used, and kPropertyListUnwritable.
    Bytes fileImage(const FinderLayoutPreferences& target, const PreferencesFile& planned) const;

    // Writes `target` into the file, keeping every other key, then pushes the extension
    // visibility through the preferences service. Throws, writing nothing, when the file or a
    // pushed domain's file exists but cannot be read as a dictionary (it is never overwritten),
    // and the platform's Error when the file cannot be serialised or written: a link to a file
    // outside the home, or anything on the way to it that is a link, is refused.
    void writePreferences(const FinderLayoutPreferences& target);
    // The same from `planned`, the read the change was planned from: the file is replaced only
    // if it still holds exactly what that read found, and `pushes` (from plannedPushes) are
    // pushed. Failed pushes are reported, not thrown.
    PreferencesWrite writePreferences(const FinderLayoutPreferences& target,
                                      const PreferencesFile& planned,
                                      const std::vector<PlannedPush>& pushes);

  private:
    // The pushes of `target`, without what the domains hold now.
    std::vector<PlannedPush> pushesFor(const FinderLayoutPreferences& target) const;

    std::string m_plistPath;
    platform::PreferencesService m_preferences;
};

}  // namespace lumifold
