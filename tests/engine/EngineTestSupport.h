#pragma once

#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <filesystem>

#include "core/common/Paths.h"
#include "core/engine/LumifoldEngine.h"
#include "core/platform/FileMetadata.h"
#include "tests/finder/FakeFinder.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold::testing {

using Fingerprint = TreeState;

// The engine in a temporary home, on a fake, running Finder.
class EngineTest : public ::testing::Test {
  protected:
    using PlistValue = platform::PlistValue;
    using PlistDictionary = platform::PlistDictionary;

    EngineTest() { engine = makeEngine(home.path()); }

    std::unique_ptr<LumifoldEngine> makeEngine(
        const std::string& homePath, const std::function<void(EngineOptions&)>& adjust = {}) {
        EngineOptions options;
        options.homeDirectory = homePath;
        options.finderHost = finder.host();
        if (adjust) adjust(options);
        return std::make_unique<LumifoldEngine>(std::move(options));
    }

    std::string preferencesPath() const {
        return home / "Library/Preferences/com.apple.finder.plist";
    }
    // Preferences differing from the preferred layout in every key, plus one to keep.
    std::string writeUserPreferences(double gridSpacing = 80.0) const {
        return home.writeFile(
            preferencesPath().substr(home.path().size() + 1),
            "<plist><dict><key>FXPreferredViewStyle</key><string>Nlsv</string>"
            "<key>FXArrangeGroupViewBy</key><string>Name</string>"
            "<key>AppleShowAllExtensions</key><true/><key>ShowPathbar</key><true/>"
            "<key>StandardViewSettings</key><dict><key>IconViewSettings</key><dict>"
            "<key>arrangeBy</key><string>name</string><key>iconSize</key><real>64</real>"
            "<key>gridSpacing</key><real>" +
                std::to_string(gridSpacing) +
                "</real>"
                "</dict></dict></dict></plist>");
    }

    std::string writeStore(const std::string& relative,
                           const std::vector<DSStoreEntry>& entries) const {
        return home.writeFile(relative.empty() ? ".DS_Store" : relative + "/.DS_Store",
                              writer.encode(entries));
    }
    static bool holds(const std::string& path, const DSStoreEntry& wanted) {
        const auto entries = DSStoreReader().parseEntries(platform::readFile(path));
        return std::find(entries.begin(), entries.end(), wanted) != entries.end();
    }

    static DSStoreEntry viewStyle(std::string filename, std::string code) {
        return {std::move(filename), "vstl", kTypeType, DSStoreValue::fourCC(std::move(code))};
    }
    static DSStoreEntry iconView(std::string filename, double iconSize, std::string arrangeBy,
                                 PlistDictionary options = {}) {
        options.insert({{"iconSize", PlistValue::real(iconSize)},
                        {"arrangeBy", PlistValue::string(arrangeBy)}});
        return {
            std::move(filename), "icvp", kTypeBlob,
            DSStoreValue::data(platform::toBinaryPropertyList(PlistValue::dictionary(options)))};
    }
    // A record the planner acts on only when `code` is a list-view one; `seed` makes it unique.
    static DSStoreEntry blob(std::string filename, std::string code, char seed = 'Z') {
        return {std::move(filename), std::move(code), kTypeBlob,
                DSStoreValue::data(Bytes(16, std::byte(seed)))};
    }

    // How many of `lines` mention `text`.
    static long mentions(const std::vector<std::string>& lines, const std::string& text) {
        return std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return line.find(text) != std::string::npos;
        });
    }
    static bool hiddenExtension(const std::string& path) {
        return platform::hasHiddenExtension(path).value_or(false);
    }
    // True when the home keeps the hidden-extension flag, an extended attribute.
    bool flagsWork() const { return ::setxattr(home.path().c_str(), "user.probe", "", 0, 0) == 0; }

    // Every item under the home by path; snapshots only when asked, never the lock.
    Fingerprint fingerprint(bool withSnapshots = false) const {
        const std::string lumifold = home / ".lumifold";
        Fingerprint prints = treeState(home.path(), [&](const std::string& path) {
            return path == lumifold + "/lock" || (!withSnapshots && path == lumifold);
        });
        prints.erase(lumifold);
        return prints;
    }

    // Puts a file where the folder of `path` is, so nothing can be written there, even as root.
    void breakFolderOf(const std::string& path) const {
        const std::string folder = deletingLastPathComponent(path);
        std::filesystem::rename(folder, folder + ".moved");
        home.writeFile(folder.substr(home.path().size() + 1), "not a folder");
    }

    TempHome home;
    DSStoreWriter writer;
    FakeFinder finder{.running = true};
    std::unique_ptr<LumifoldEngine> engine;
};

// Apply and Restore, and what keeps them from losing anything.
class WritingStagesTest : public EngineTest {
  protected:
    // Apply rewrites the preferences and two stores (one with odd bits) and hides two flags.
    void makeHome() {
        writeUserPreferences();
        platform::setPermissionBits(preferencesPath(), 0600);
        documentsStore = writeStore("Documents", {viewStyle(".", "Nlsv"), blob("a.pdf", "Iloc")});
        platform::setPermissionBits(documentsStore, 0640);
        picturesStore = writeStore("Pictures", {iconView(".", 64.0, "name")});
        home.writeFile("Documents/a.pdf", "pdf");
        home.writeFile("Pictures/b.png", "png");
    }

    std::string documentsStore, picturesStore;
    const std::vector<std::string> folders{home / "Documents", home / "Pictures"};
};

}  // namespace lumifold::testing
