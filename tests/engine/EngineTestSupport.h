#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/dsstore/DSStoreEntry.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/engine/LumifoldEngine.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PropertyList.h"
#include "core/platform/Sha256.h"
#include "core/preferences/FinderLayoutPreferences.h"
#include "core/preferences/FinderPreferencesManager.h"
#include "tests/dsstore/DSStoreTestSupport.h"
#include "tests/support/TempHome.h"

namespace lumifold::testing {

// A pretend Finder: running or not, with or without a copy window, quitting at once when asked.
// Every call that touches it is logged by name; sleeping advances its clock. `onQuit` runs right
// after the Finder went away, which is where a test breaks the disk under Apply or restore.
class FakeFinder {
  public:
    bool running = false;
    bool transferWindow = false;
    double now = 1000.0;
    std::vector<std::string> calls;
    std::function<void()> onQuit;

    FinderHost host() {
        FinderHost host;
        host.runAppleScript = [this](const std::string& script) -> std::optional<std::string> {
            if (script.find("copyWindows") != std::string::npos) {
                return transferWindow ? "1" : "0";
            }
            if (script.find("quit") != std::string::npos) {
                calls.push_back("quit");
                running = false;
                if (onQuit) onQuit();
                return std::nullopt;
            }
            ADD_FAILURE() << "unexpected script:\n" << script;
            return std::nullopt;
        };
        host.runningBundleIdentifiers = [this] {
            std::vector<std::string> identifiers{"com.apple.dock"};
            if (running) identifiers.push_back("com.apple.finder");
            return identifiers;
        };
        host.runProcess = [this](const std::string& path, const std::vector<std::string>& args) {
            std::string call = lastPathComponent(path);
            for (const auto& arg : args) call += " " + arg;
            calls.push_back(call);
            if (call == "killall Finder") running = false;
            if (call == "open -a Finder") running = true;
            platform::ProcessResult result;
            result.started = true;
            result.exitStatus = 0;
            return result;
        };
        host.sleep = [this](double seconds) { now += seconds; };
        host.monotonicSeconds = [this] { return now; };
        host.synchronizePreferences = [this](const std::string& id) {
            calls.push_back("synchronize " + id);
            return true;
        };
        return host;
    }
};

// Checksum (files only), permission bits and hidden-extension flag of each item, by path.
using Fingerprint = std::map<std::string, std::string>;

// The engine in a temporary home, on a fake Finder, a fake snapshot clock and a fake sw_vers.
class EngineTest : public ::testing::Test {
  protected:
    using PlistValue = platform::PlistValue;
    using PlistDictionary = platform::PlistDictionary;

    EngineTest() { engine = makeEngine(home.path()); }

    // An engine on `homePath` with this fixture's fakes; `adjust` changes its options further.
    std::unique_ptr<LumifoldEngine> makeEngine(
        const std::string& homePath, const std::function<void(EngineOptions&)>& adjust = {}) {
        EngineOptions options;
        options.homeDirectory = homePath;
        options.finderHost = finder.host();
        options.clock = [this] { return snapshotTime; };
        SystemInspectorHost inspectorHost;
        inspectorHost.runProcess = [](const std::string&, const std::vector<std::string>&) {
            platform::ProcessResult result;
            result.started = true;
            result.exitStatus = 0;
            result.standardOutput = "22A380\n";
            return result;
        };
        options.inspectorHost = inspectorHost;
        if (adjust) adjust(options);
        return std::make_unique<LumifoldEngine>(std::move(options));
    }

    std::string preferencesPath() const {
        return home / "Library/Preferences/com.apple.finder.plist";
    }

    // A binary preferences file holding `root`.
    std::string writePreferencesDictionary(PlistDictionary root) const {
        return home.writeFile(
            "Library/Preferences/com.apple.finder.plist",
            platform::toBinaryPropertyList(PlistValue::dictionary(std::move(root))));
    }

    // A preferences file holding `layout`, written the way the Finder's own manager writes it.
    void writePreferences(const FinderLayoutPreferences& layout) const {
        FinderPreferencesManager(preferencesPath(), home.path()).writePreferences(layout);
    }

    // A preferences file that differs from the preferred layout in every compared key, with
    // the user's grid spacing and a key the system must keep.
    std::string writeUserPreferences(double gridSpacing = 80.0) const {
        PlistDictionary iconView{{"arrangeBy", PlistValue::string("name")},
                                 {"iconSize", PlistValue::real(64.0)},
                                 {"gridSpacing", PlistValue::real(gridSpacing)},
                                 {"textSize", PlistValue::real(13.0)}};
        return writePreferencesDictionary(
            {{"FXPreferredViewStyle", PlistValue::string("Nlsv")},
             {"FXArrangeGroupViewBy", PlistValue::string("Name")},
             {"AppleShowAllExtensions", PlistValue::boolean(true)},
             {"ShowPathbar", PlistValue::boolean(true)},
             {"StandardViewSettings",
              PlistValue::dictionary({{"IconViewSettings", PlistValue::dictionary(iconView)}})}});
    }

    // The default folders, created empty.
    std::vector<std::string> makeDefaultFolders() const {
        std::vector<std::string> folders;
        for (const char* name :
             {"Desktop", "Documents", "Downloads", "Pictures", "Movies", "Music"}) {
            folders.push_back(home.makeFolder(name));
        }
        return folders;
    }

    // A .DS_Store holding `entries` in the folder `relative` of the home ("" for the home).
    std::string writeStore(const std::string& relative,
                           const std::vector<DSStoreEntry>& entries) const {
        return home.writeFile(relative.empty() ? ".DS_Store" : relative + "/.DS_Store",
                              writer.encode(entries));
    }

    std::vector<DSStoreEntry> readStore(const std::string& path) const {
        return DSStoreReader().parseEntries(platform::readFile(path));
    }

    static DSStoreEntry viewStyle(std::string filename, std::string code) {
        return {std::move(filename), "vstl", kTypeType, DSStoreValue::fourCC(std::move(code))};
    }
    static DSStoreEntry iconView(std::string filename, double iconSize, std::string arrangeBy) {
        const PlistDictionary options{{"iconSize", PlistValue::real(iconSize)},
                                      {"arrangeBy", PlistValue::string(std::move(arrangeBy))},
                                      {"showItemInfo", PlistValue::boolean(false)},
                                      {"showIconPreview", PlistValue::boolean(true)}};
        return {
            std::move(filename), "icvp", kTypeBlob,
            DSStoreValue::data(platform::toBinaryPropertyList(PlistValue::dictionary(options)))};
    }
    static DSStoreEntry listView(std::string filename, std::string code = "lsvp") {
        return {std::move(filename), std::move(code), kTypeBlob,
                DSStoreValue::data(Bytes(24, std::byte{0x11}))};
    }
    // A record the planner never acts on; `seed` makes its bytes distinct.
    static DSStoreEntry blob(std::string filename, std::string code, std::size_t size = 16,
                             std::byte seed = std::byte{0x5A}) {
        return {std::move(filename), std::move(code), kTypeBlob,
                DSStoreValue::data(Bytes(size, seed))};
    }
    static DSStoreEntry comment(std::string filename, std::string text) {
        return {std::move(filename), "cmmt", "ustr", DSStoreValue::string(std::move(text))};
    }

    static bool hiddenExtension(const std::string& path) {
        return platform::hasHiddenExtension(path).value_or(false);
    }
    // True when the home keeps the hidden-extension flag (an extended attribute).
    bool flagsWork() const {
        const std::string probe = home.writeFile(".flag-probe.txt", "x");
        try {
            platform::setHasHiddenExtension(probe, true);
        } catch (const Error&) {
        }
        const bool works = hiddenExtension(probe);
        platform::removeFile(probe);
        return works;
    }

    // Every file and folder under the home (links not followed), keyed by path.
    Fingerprint fingerprint(bool withSnapshots = false) const {
        namespace fs = std::filesystem;
        Fingerprint prints;
        for (auto it = fs::recursive_directory_iterator(home.path());
             it != fs::recursive_directory_iterator(); ++it) {
            const std::string path = it->path().string();
            if (!withSnapshots && lastPathComponent(path) == ".lumifold") {
                it.disable_recursion_pending();
                continue;
            }
            // The lock (and the folder that holds it) is no change to the home.
            if (path == home / ".lumifold" || path == home / ".lumifold/lock") continue;
            struct stat info {};
            if (::lstat(path.c_str(), &info) != 0) continue;
            std::string& print = prints[path];
            if (S_ISREG(info.st_mode)) print = platform::sha256Hex(platform::readFile(path));
            print += " " + std::to_string(info.st_mode & 07777);
            if (!S_ISLNK(info.st_mode) && hiddenExtension(path)) print += " hidden";
        }
        return prints;
    }

    // `after` cut down to the items `before` has.
    static Fingerprint restrictedTo(const Fingerprint& after, const Fingerprint& before) {
        Fingerprint kept;
        for (const auto& [path, print] : after) {
            if (before.contains(path)) kept[path] = print;
        }
        return kept;
    }

    // Puts a plain file where the folder holding `path` is, so nothing can be written there,
    // not even as root.
    void breakFolderOf(const std::string& path) const {
        const std::string folder = deletingLastPathComponent(path);
        std::filesystem::rename(folder, folder + ".moved");
        home.writeFile(folder.substr(home.path().size() + 1), "not a folder");
    }

    // A store in `relative` whose second record has a type code the reader does not know.
    std::string writeUndecodableStore(const std::string& relative) const {
        Bytes image = writer.encode({viewStyle(".", "Nlsv"), blob(".", "lsvp")});
        const std::size_t secondRecord = 0x44 + 8 + 4 + 2 + 8 + 4 + 4;
        putText(image, secondRecord + 4 + 2 + 4, "zzzz");
        return home.writeFile(relative + "/.DS_Store", image);
    }

    TempHome home;
    DSStoreWriter writer;
    FakeFinder finder;
    std::chrono::system_clock::time_point snapshotTime =
        std::chrono::sys_days{std::chrono::year{2025} / 1 / 31} + std::chrono::hours{14};
    std::unique_ptr<LumifoldEngine> engine;
};

// The calls a Finder restart around a write makes, in order.
inline const std::vector<std::string> kQuitThenRestart = {"quit", "synchronize com.apple.finder",
                                                          "killall cfprefsd", "open -a Finder"};

}  // namespace lumifold::testing
