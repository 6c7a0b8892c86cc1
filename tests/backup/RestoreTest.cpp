#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/backup/BackupManager.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/PosixError.h"
#include "core/platform/PreferencesService.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/LumifoldAssertions.h"

namespace lumifold::testing {
namespace {

using platform::PlistValue;
using platform::PreferencesService;

class RestoreTest : public BackupTest {
  protected:
    // The AppleShowAllExtensions value stored in one current-host domain file, read directly
    // so that the global domain cannot stand in for the Finder's.
    std::optional<PlistValue> currentHostValue(const std::string& applicationId) const {
        const PreferencesService service(home.path());
        const auto path = service.domainPath(applicationId, PreferencesService::Host::current);
        if (!path || !platform::fileExists(*path)) return std::nullopt;
        const PlistValue root = platform::parsePropertyList(platform::readFile(*path));
        const auto* dictionary = root.ifDictionary();
        if (dictionary == nullptr) return std::nullopt;
        const auto found = dictionary->find("AppleShowAllExtensions");
        if (found == dictionary->end()) return std::nullopt;
        return found->second;
    }

    // Checksum, bits and hidden-extension flag of every file under the home, except the
    // snapshot store and the current-host preference domains (checked on their own).
    std::map<std::string, std::string> liveState() const {
        std::map<std::string, std::string> state;
        std::function<void(const std::string&)> walk = [&](const std::string& folder) {
            for (const std::string& name : listAll(folder)) {
                const std::string path = appending(folder, name);
                if (path == home / ".lumifold" || path == home / "Library/Preferences/ByHost") {
                    continue;
                }
                if (platform::isDirectory(path)) {
                    walk(path);
                } else {
                    state[path] =
                        checksumOf(path) + " " +
                        std::to_string(platform::permissionBits(path).value_or(0)) + " " +
                        std::to_string(platform::hasHiddenExtension(path).value_or(false));
                }
            }
        };
        walk(home.path());
        return state;
    }

    // Directory entries including hidden names.
    static std::vector<std::string> listAll(const std::string& folder) {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            ::closedir(dir);
        }
        return names;
    }

    RestoreEvaluationItem item(const std::string& original, const std::string& backup,
                               bool modified, const std::string& current,
                               const std::string& expected, const char* status) const {
        return {original, backup, modified, current, expected, status};
    }
};

TEST_F(RestoreTest, ApplyDriftRefusalAndForcedRestoreBringEverythingBack) {
    if (!extendedAttributesWork()) GTEST_SKIP() << "no user extended attributes here";
    writePreferences(true);
    const std::string desktop = writeStore("Desktop", "desktop before", 0640);
    const std::string documents = writeStore("Documents", "documents before", 0600);
    const std::string report = home.writeFile("Desktop/report.pdf", "pdf");
    const std::string notes = home.writeFile("Documents/notes.txt", "txt");
    platform::setHasHiddenExtension(notes, true);
    const auto before = liveState();

    const BackupManifest created = manager.createSnapshot(preferencesPath(), {desktop, documents},
                                                          {}, {{report, false}, {notes, true}});

    // What Apply does.
    writePreferences(false, "icnv");
    writeStore("Desktop", "desktop after", 0644);
    writeStore("Documents", "documents after", 0644);
    platform::setHasHiddenExtension(report, true);
    platform::setHasHiddenExtension(notes, true);
    const BackupManifest manifest =
        manager.recordPostModificationHashes(created.id, preferencesPath(), {});
    const std::string directory = snapshotDirectory(manifest.id);

    EXPECT_FALSE(manager.evaluateRestore(manifest).hasModifications());

    // Someone edits a store after Apply.
    writeStore("Documents", "edited by hand", 0644);
    const RestoreEvaluationSummary drift = manager.evaluateRestore(manifest);
    EXPECT_EQ(
        drift.items,
        (std::vector<RestoreEvaluationItem>{
            item(preferencesPath(), manifest.finderPlistBackupPath, false,
                 checksumOf(preferencesPath()), *manifest.finderPlistPostSHA256,
                 kStatusSafeToRestore),
            item(desktop, appending(directory, manifest.dsStoreBackups[0].backupRelativePath),
                 false, checksumOf(desktop), *manifest.dsStoreBackups[0].postModificationSHA256,
                 kStatusSafeToRestore),
            item(documents, appending(directory, manifest.dsStoreBackups[1].backupRelativePath),
                 true, checksumOf(documents), *manifest.dsStoreBackups[1].postModificationSHA256,
                 kStatusDriftDetected)}));

    const auto drifted = liveState();
    EXPECT_LUMIFOLD_ERROR(manager.restoreSnapshot(manifest, false), kBackupManagerDomain,
                          kBackupDriftWithoutForce,
                          "Files were modified since backup. Re-run with force to overwrite.");
    EXPECT_EQ(liveState(), drifted);
    EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), std::nullopt);

    manager.restoreSnapshot(manifest, true);
    EXPECT_EQ(liveState(), before);
    EXPECT_EQ(checksumOf(desktop), manifest.dsStoreBackups[0].originalSHA256);
    EXPECT_EQ(platform::permissionBits(documents), 0600u);
    EXPECT_EQ(platform::hasHiddenExtension(report), false);
    EXPECT_EQ(platform::hasHiddenExtension(notes), true);
    EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), PlistValue::boolean(true));
    EXPECT_EQ(currentHostValue("com.apple.finder"), PlistValue::boolean(true));
    // The snapshot stays as it was, so it can be restored again.
    EXPECT_EQ(manager.loadManifest(manifest.id), manifest);
}

TEST_F(RestoreTest, FalseExtensionFlagLandsInBothCurrentHostDomains) {
    writePreferences(false);
    const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {}, {}, {});
    writePreferences(true);
    manager.restoreSnapshot(manifest, true);
    EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), PlistValue::boolean(false));
    EXPECT_EQ(currentHostValue("com.apple.finder"), PlistValue::boolean(false));
    const PreferencesService service(home.path());
    EXPECT_EQ(service.copyAppValue("AppleShowAllExtensions", "com.apple.finder"),
              PlistValue::boolean(false));
    EXPECT_EQ(service.copyAppValue("AppleShowAllExtensions", PreferencesService::kAnyApplication),
              PlistValue::boolean(false));
}

TEST_F(RestoreTest, CopyWithoutABooleanFlagIsRestoredButNotPushed) {
    for (const std::string& content :
         {std::string("not a property list"),
          std::string(asText(platform::toBinaryPropertyList(
              PlistValue::dictionary({{"AppleShowAllExtensions", PlistValue::string("YES")}})))),
          std::string(asText(platform::toBinaryPropertyList(PlistValue::dictionary({}))))}) {
        home.writeFile("Library/Preferences/com.apple.finder.plist", content);
        const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {}, {}, {});
        writePreferences(true);
        manager.restoreSnapshot(manifest, true);
        EXPECT_EQ(asText(platform::readFile(preferencesPath())), content);
        EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), std::nullopt);
        EXPECT_EQ(currentHostValue("com.apple.finder"), std::nullopt);
    }
}

TEST_F(RestoreTest, UnrecordedSnapshotSeesEveryRewrittenFileAsDrifted) {
    writePreferences(true);
    const std::string desktop = writeStore("Desktop", "before");
    const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {desktop}, {}, {});
    writePreferences(false);
    writeStore("Desktop", "after");
    const auto summary = manager.evaluateRestore(manifest);
    ASSERT_EQ(summary.items.size(), 2u);
    EXPECT_EQ(summary.items[0].statusDescription, std::string(kStatusContentChanged));
    EXPECT_EQ(summary.items[0].expectedSHA256, manifest.finderPlistOriginalSHA256);
    EXPECT_EQ(summary.items[1].statusDescription, std::string(kStatusDriftDetected));
    EXPECT_EQ(summary.items[1].expectedSHA256, manifest.dsStoreBackups[0].originalSHA256);
    EXPECT_TRUE(summary.hasModifications());
}

TEST_F(RestoreTest, PreferencesThatDidNotExistAreLeftAloneByRestore) {
    const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {}, {}, {});
    writePreferences(true);
    const auto summary = manager.evaluateRestore(manifest);
    ASSERT_EQ(summary.items.size(), 1u);
    EXPECT_EQ(summary.items[0].expectedSHA256, "");
    EXPECT_EQ(summary.items[0].statusDescription, std::string(kStatusContentChanged));
    EXPECT_TRUE(summary.items[0].isModifiedSinceBackup);

    const std::string live = checksumOf(preferencesPath());
    manager.restoreSnapshot(manifest, true);
    EXPECT_EQ(checksumOf(preferencesPath()), live);
}

TEST_F(RestoreTest, DeletedStoreIsRecreatedWithoutForce) {
    const std::string desktop = writeStore("Desktop", "snapshot bytes", 0604);
    const BackupManifest created = manager.createSnapshot(preferencesPath(), {desktop}, {}, {});
    writeStore("Desktop", "applied");
    const BackupManifest manifest =
        manager.recordPostModificationHashes(created.id, preferencesPath(), {});
    platform::removeFile(desktop);

    const auto summary = manager.evaluateRestore(manifest);
    ASSERT_EQ(summary.items.size(), 1u);
    EXPECT_EQ(summary.items[0], item(desktop,
                                     appending(snapshotDirectory(manifest.id),
                                               manifest.dsStoreBackups[0].backupRelativePath),
                                     false, "missing", manifest.dsStoreBackups[0].originalSHA256,
                                     kStatusWillBeRecreated));
    EXPECT_FALSE(summary.hasModifications());

    manager.restoreSnapshot(manifest, false);
    EXPECT_EQ(asText(platform::readFile(desktop)), "snapshot bytes");
    EXPECT_EQ(platform::permissionBits(desktop), 0604u);
}

TEST_F(RestoreTest, EmptyEvaluationAllowsRestore) {
    const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {}, {}, {});
    const auto summary = manager.evaluateRestore(manifest);
    EXPECT_TRUE(summary.items.empty());
    EXPECT_FALSE(summary.hasModifications());
    manager.restoreSnapshot(manifest, false);
    EXPECT_FALSE(platform::fileExists(preferencesPath()));
}

TEST_F(RestoreTest, MissingCopyIsSkippedAndMissingFlagFilesIgnored) {
    const std::string desktop = writeStore("Desktop", "one");
    const std::string music = writeStore("Music", "two");
    BackupManifest manifest = manager.createSnapshot(preferencesPath(), {desktop, music}, {},
                                                     {{home / "Desktop/gone.pdf", true}});
    platform::removeFile(
        appending(snapshotDirectory(manifest.id), manifest.dsStoreBackups[0].backupRelativePath));
    writeStore("Desktop", "live one");
    writeStore("Music", "live two");
    manager.restoreSnapshot(manifest, true);
    EXPECT_EQ(asText(platform::readFile(desktop)), "live one");
    EXPECT_EQ(asText(platform::readFile(music)), "two");
    EXPECT_FALSE(platform::fileExists(home / "Desktop/gone.pdf"));
}

TEST_F(RestoreTest, StoreWhoseFolderIsGoneStopsTheRestore) {
    const std::string desktop = writeStore("Desktop", "one");
    const std::string gone = writeStore("Gone", "two");
    const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {desktop, gone}, {},
                                                           {{home / "Desktop/x.pdf", true}});
    writeStore("Desktop", "changed");
    platform::removeFile(gone);
    ::rmdir((home / "Gone").c_str());
    home.writeFile("Desktop/x.pdf", "x");
    EXPECT_LUMIFOLD_ERROR_CODE(manager.restoreSnapshot(manifest, true), platform::kPosixDomain,
                               ENOENT);
    EXPECT_EQ(asText(platform::readFile(desktop)), "one");  // restored before the failure
    EXPECT_EQ(platform::hasHiddenExtension(home / "Desktop/x.pdf"), false);  // never reached
}

TEST_F(RestoreTest, UnreadableLiveStoreIsNeitherReportedNorBlocking) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    const std::string desktop = writeStore("Desktop", "one");
    const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {desktop}, {}, {});
    writeStore("Desktop", "changed", 0000);
    EXPECT_TRUE(manager.evaluateRestore(manifest).items.empty());
}

// A manifest is only data: whatever it says, restore reads inside its snapshot and writes
// only to absolute places, and refuses before writing anything otherwise.
TEST_F(RestoreTest, UnsafeManifestsAreRefusedBeforeAnythingIsWritten) {
    writePreferences(false);
    const std::string desktop = writeStore("Desktop", "snapshot");
    const std::string report = home.writeFile("Desktop/report.pdf", "pdf");
    const BackupManifest good =
        manager.createSnapshot(preferencesPath(), {desktop}, {}, {{report, true}});
    writePreferences(true);
    writeStore("Desktop", "live");
    home.writeFile("outside", "outside the store");
    const std::string directory = snapshotDirectory(good.id);

    struct Case {
        std::string offending;
        const char* why;
        std::function<void(BackupManifest&)> change;
    };
    const std::vector<Case> cases{
        {"/etc/passwd", "is outside the snapshot folder",
         [](BackupManifest& m) { m.dsStoreBackups[0].backupRelativePath = "/etc/passwd"; }},
        {"../../../outside", "is outside the snapshot folder",
         [](BackupManifest& m) { m.dsStoreBackups[0].backupRelativePath = "../../../outside"; }},
        {"files/../../x", "is outside the snapshot folder",
         [](BackupManifest& m) { m.dsStoreBackups[0].backupRelativePath = "files/../../x"; }},
        {"Desktop/.DS_Store", "is not an absolute path",
         [](BackupManifest& m) { m.dsStoreBackups[0].originalPath = "Desktop/.DS_Store"; }},
        {"com.apple.finder.plist", "is not an absolute path",
         [](BackupManifest& m) { m.finderPlistOriginalPath = "com.apple.finder.plist"; }},
        {"report.pdf", "is not an absolute path",
         [](BackupManifest& m) { m.fileExtensionBackups[0].filePath = "report.pdf"; }},
        {home / "outside", "is outside the snapshot folder",
         [&](BackupManifest& m) { m.finderPlistBackupPath = home / "outside"; }},
        {directory + "/../other/com.apple.finder.plist", "is outside the snapshot folder",
         [&](BackupManifest& m) {
             m.finderPlistBackupPath = directory + "/../other/com.apple.finder.plist";
         }},
        {directory + "-2/com.apple.finder.plist", "is outside the snapshot folder",
         [&](BackupManifest& m) {
             m.finderPlistBackupPath = directory + "-2/com.apple.finder.plist";
         }},
        {"../..", "is not a snapshot name", [](BackupManifest& m) { m.id = "../.."; }},
    };
    const auto state = liveState();
    for (const Case& unsafe : cases) {
        BackupManifest manifest = good;
        unsafe.change(manifest);
        const std::string message =
            "Unsafe path in snapshot manifest: \"" + unsafe.offending + "\" " + unsafe.why;
        EXPECT_LUMIFOLD_ERROR(manager.evaluateRestore(manifest), kBackupManagerDomain,
                              kBackupUnsafeManifestPath, message);
        EXPECT_LUMIFOLD_ERROR(manager.restoreSnapshot(manifest, true), kBackupManagerDomain,
                              kBackupUnsafeManifestPath, message);
        EXPECT_EQ(liveState(), state) << unsafe.offending;
        EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), std::nullopt);
    }
    // The untouched manifest restores.
    manager.restoreSnapshot(good, true);
    EXPECT_EQ(asText(platform::readFile(desktop)), "snapshot");
}

}  // namespace
}  // namespace lumifold::testing
