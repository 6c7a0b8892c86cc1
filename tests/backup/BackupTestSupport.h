#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "core/backup/BackupManager.h"
#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PropertyList.h"
#include "core/platform/Sha256.h"
#include "tests/support/TempHome.h"

namespace lumifold::testing {

using std::chrono::system_clock;

inline system_clock::time_point utc(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    using namespace std::chrono;
    return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

// A snapshot store in the default place of a temporary home, on a clock the test sets.
class BackupTest : public ::testing::Test {
  protected:
    BackupTest()
        : manager(std::nullopt, BackupManagerHost{.now = [this] { return now; },
                                                  .homeDirectory = home.path(),
                                                  .preferencesPath = {}}) {}

    std::string preferencesPath() const {
        return home / "Library/Preferences/com.apple.finder.plist";
    }

    // A binary Finder preferences file with a view style and, when given, the extension flag.
    std::string writePreferences(std::optional<bool> showAllExtensions,
                                 const std::string& viewStyle = "Nlsv") const {
        platform::PlistDictionary root{
            {"FXPreferredViewStyle", platform::PlistValue::string(viewStyle)}};
        if (showAllExtensions) {
            root["AppleShowAllExtensions"] = platform::PlistValue::boolean(*showAllExtensions);
        }
        return home.writeFile(
            "Library/Preferences/com.apple.finder.plist",
            platform::toBinaryPropertyList(platform::PlistValue::dictionary(std::move(root))));
    }

    std::string writeStore(const std::string& folder, const std::string& content,
                           unsigned bits = 0644) const {
        const std::string path = home.writeFile(folder + "/.DS_Store", content);
        platform::setPermissionBits(path, bits);
        return path;
    }

    std::string snapshotDirectory(const std::string& id) const {
        return appending(home / ".lumifold/backups", id);
    }
    std::string manifestText(const std::string& id) const {
        return std::string(
            asText(platform::readFile(appending(snapshotDirectory(id), "manifest.json"))));
    }
    static std::string checksumOf(const std::string& path) {
        return platform::sha256Hex(platform::readFile(path));
    }

    // True when the temporary home keeps the hidden-extension flag (an extended attribute).
    bool extendedAttributesWork() const {
        const std::string probe = home.writeFile(".xattr-probe", "x");
        try {
            platform::setHasHiddenExtension(probe, true);
        } catch (const Error&) {
        }
        const bool works = platform::hasHiddenExtension(probe) == std::optional<bool>(true);
        platform::removeFile(probe);
        return works;
    }

    TempHome home;
    system_clock::time_point now = utc(2025, 1, 31, 14, 5, 9);
    BackupManager manager;
};

}  // namespace lumifold::testing
