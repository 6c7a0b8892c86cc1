#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/backup/BackupManager.h"
#include "core/platform/PosixError.h"
#include "core/platform/PreferencesService.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/LumifoldAssertions.h"

namespace lumifold::testing {
namespace {

using platform::PlistDictionary;
using platform::PlistValue;
using platform::PreferencesService;

class RestoreTest : public BackupTest {
  protected:
    // The AppleShowAllExtensions value stored in one current-host domain file, read directly
    // so that the global domain cannot stand in for the Finder's.
    std::optional<PlistValue> currentHostValue(const std::string& applicationId) const {
        const auto path = PreferencesService(home.path())
                              .domainPath(applicationId, PreferencesService::Host::current);
        if (!path || !platform::fileExists(*path)) return std::nullopt;
        const PlistValue root = platform::parsePropertyList(platform::readFile(*path));
        const auto* dictionary = root.ifDictionary();
        if (dictionary == nullptr || !dictionary->contains("AppleShowAllExtensions")) {
            return std::nullopt;
        }
        return dictionary->at("AppleShowAllExtensions");
    }

    // Checksum, bits and hidden-extension flag of every file under the home, except the
    // snapshot store and the current-host preference domains (checked on their own).
    std::map<std::string, std::string> liveState() const {
        namespace fs = std::filesystem;
        std::map<std::string, std::string> state;
        for (auto it = fs::recursive_directory_iterator(home.path());
             it != fs::recursive_directory_iterator(); ++it) {
            const std::string path = it->path().string();
            if (path == home / ".lumifold" || path == home / "Library/Preferences/ByHost") {
                it.disable_recursion_pending();
            } else if (it->is_regular_file()) {
                state[path] = checksumOf(path) + " " +
                              std::to_string(platform::permissionBits(path).value_or(0)) + " " +
                              std::to_string(platform::hasHiddenExtension(path).value_or(false));
            }
        }
        return state;
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
    const BackupManifest manifest =
        manager.recordPostModificationHashes(created.id, preferencesPath(), ApplyOutcome{});
    const std::string directory = snapshotDirectory(manifest.id);
    EXPECT_FALSE(manager.evaluateRestore(manifest).hasModifications());

    // Someone edits a store after Apply.
    writeStore("Documents", "edited by hand", 0644);
    const auto copyOf = [&](std::size_t i) {
        return appending(directory, manifest.dsStoreBackups[i].backupRelativePath);
    };
    EXPECT_EQ(
        manager.evaluateRestore(manifest).items,
        (std::vector<RestoreEvaluationItem>{
            {preferencesPath(), manifest.finderPlistBackupPath, false,
             checksumOf(preferencesPath()), *manifest.finderPlistPostSHA256, kStatusSafeToRestore},
            {desktop, copyOf(0), false, checksumOf(desktop),
             *manifest.dsStoreBackups[0].postModificationSHA256, kStatusSafeToRestore},
            {documents, copyOf(1), true, checksumOf(documents),
             *manifest.dsStoreBackups[1].postModificationSHA256, kStatusDriftDetected}}));

    const auto drifted = liveState();
    EXPECT_LUMIFOLD_ERROR(manager.restoreSnapshot(manifest, false), kBackupManagerDomain,
                          kBackupDriftWithoutForce,
                          "Files were modified since backup. Re-run with force to overwrite.");
    EXPECT_EQ(liveState(), drifted);
    EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), std::nullopt);

    manager.restoreSnapshot(manifest, true);
    EXPECT_EQ(liveState(), before);  // bytes, permission bits and hidden flags
    EXPECT_EQ(platform::hasHiddenExtension(report), false);
    EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), PlistValue::boolean(true));
    EXPECT_EQ(currentHostValue("com.apple.finder"), PlistValue::boolean(true));
    // The snapshot stays as it was, so it can be restored again.
    EXPECT_EQ(manager.loadManifest(manifest.id), manifest);
}

TEST_F(RestoreTest, ExtensionFlagOfTheCopyIsPushedOnlyWhenItIsABoolean) {
    const auto plist = [](PlistDictionary root) {
        return std::string(asText(platform::toBinaryPropertyList(PlistValue::dictionary(root))));
    };
    const std::vector<std::pair<std::string, std::optional<PlistValue>>> cases{
        {"not a property list", std::nullopt},
        {plist({{"AppleShowAllExtensions", PlistValue::string("YES")}}), std::nullopt},
        {plist({}), std::nullopt},
        {plist({{"AppleShowAllExtensions", PlistValue::boolean(false)}}),
         PlistValue::boolean(false)}};
    // Only a boolean flag in the copy reaches both current-host domains.
    for (const auto& [content, pushed] : cases) {
        home.writeFile("Library/Preferences/com.apple.finder.plist", content);
        const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {}, {}, {});
        writePreferences(true);
        manager.restoreSnapshot(manifest, true);
        EXPECT_EQ(asText(platform::readFile(preferencesPath())), content);
        EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), pushed);
        EXPECT_EQ(currentHostValue("com.apple.finder"), pushed);
    }
    EXPECT_EQ(
        PreferencesService(home.path()).copyAppValue("AppleShowAllExtensions", "com.apple.finder"),
        PlistValue::boolean(false));
}

// A deleted store is recreated without force. Without recorded checksums every rewritten file
// is drift, and a preferences file the snapshot lacked is neither created nor replaced.
TEST_F(RestoreTest, EvaluationNamesEachFilesStateAndRestoreActsOnIt) {
    const std::string desktop = writeStore("Desktop", "desktop", 0604);
    const std::string music = writeStore("Music", "music", 0640);
    const BackupManifest manifest =
        manager.createSnapshot(preferencesPath(), {desktop, music}, {}, {});
    const auto copyOf = [&](std::size_t i) {
        return appending(snapshotDirectory(manifest.id),
                         manifest.dsStoreBackups[i].backupRelativePath);
    };
    const auto itemFor = [&](std::size_t i, bool modified, std::string live, const char* status) {
        return RestoreEvaluationItem{
            manifest.dsStoreBackups[i].originalPath,   copyOf(i), modified, std::move(live),
            manifest.dsStoreBackups[i].originalSHA256, status};
    };
    platform::removeFile(music);
    auto summary = manager.evaluateRestore(manifest);
    EXPECT_EQ(summary.items[1], itemFor(1, false, "missing", kStatusWillBeRecreated));
    EXPECT_FALSE(summary.hasModifications());
    manager.restoreSnapshot(manifest, false);
    EXPECT_EQ(asText(platform::readFile(music)), "music");
    EXPECT_EQ(platform::permissionBits(music), 0640u);

    writePreferences(true);
    writeStore("Desktop", "changed");
    summary = manager.evaluateRestore(manifest);
    ASSERT_EQ(summary.items.size(), 3u);
    EXPECT_EQ(summary.items[0].expectedSHA256, "");
    EXPECT_EQ(summary.items[0].statusDescription, kStatusContentChanged);
    EXPECT_EQ(summary.items[1], itemFor(0, true, checksumOf(desktop), kStatusDriftDetected));
    EXPECT_TRUE(summary.hasModifications());
    const std::string live = checksumOf(preferencesPath());
    manager.restoreSnapshot(manifest, true);
    EXPECT_EQ(checksumOf(preferencesPath()), live);
    EXPECT_EQ(asText(platform::readFile(desktop)), "desktop");
    EXPECT_EQ(platform::permissionBits(desktop), 0604u);
}

// Whatever went wrong since the snapshot, a restore that cannot put everything back safely
// writes nothing at all, force or not.
TEST_F(RestoreTest, DamagedCopiesAndLinkedTargetsStopTheWholeRestore) {
    writePreferences(true);
    const std::string desktop = writeStore("Desktop", "one");
    const std::string report = home.writeFile("Desktop/report.pdf", "pdf");
    const BackupManifest manifest = manager.createSnapshot(
        preferencesPath(), {desktop}, {}, {{report, true}, {home / "Desktop/gone.pdf", true}});
    const std::string copy =
        appending(snapshotDirectory(manifest.id), manifest.dsStoreBackups[0].backupRelativePath);
    const auto link = [](const std::string& to, const std::string& at) {
        platform::removeFile(at);
        ASSERT_EQ(::symlink(to.c_str(), at.c_str()), 0);
    };
    using Break = std::function<void()>;
    const std::vector<std::tuple<const char*, int, Break>> cases{
        {"store copy missing", kBackupDamagedCopy, [&] { platform::removeFile(copy); }},
        {"store copy altered", kBackupDamagedCopy,
         [&] { home.writeFile(copy.substr(home.path().size() + 1), "two"); }},
        {"store copy a link", kBackupDamagedCopy, [&] { link(desktop, copy); }},
        {"preferences copy missing", kBackupDamagedCopy,
         [&] { platform::removeFile(manifest.finderPlistBackupPath); }},
        {"live store a link", kBackupUnsafeManifestPath,
         [&] { link(home / "elsewhere", desktop); }},
        {"flagged file a link", kBackupUnsafeManifestPath,
         [&] { link(home / "elsewhere", report); }},
    };
    const std::string snapshot = snapshotDirectory(manifest.id);
    std::filesystem::copy(snapshot, snapshot + ".kept", std::filesystem::copy_options::recursive);
    for (const auto& [what, code, breakIt] : cases) {
        SCOPED_TRACE(what);
        home.writeFile("elsewhere", "elsewhere");
        writeStore("Desktop", "live");
        home.writeFile("Desktop/report.pdf", "pdf");
        breakIt();
        const auto state = liveState();
        EXPECT_LUMIFOLD_ERROR_CODE(manager.restoreSnapshot(manifest, true), kBackupManagerDomain,
                                   code);
        EXPECT_EQ(liveState(), state);
        std::filesystem::remove_all(snapshot);
        std::filesystem::copy(snapshot + ".kept", snapshot,
                              std::filesystem::copy_options::recursive);
        platform::removeFile(desktop);
        platform::removeFile(report);
    }
    // Intact, it restores; a flagged file that is gone is passed by.
    writeStore("Desktop", "live");
    manager.restoreSnapshot(manifest, true);
    EXPECT_EQ(asText(platform::readFile(desktop)), "one");
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

    using Field = std::function<std::string&(BackupManifest&)>;
    const Field copy = [](auto& m) -> auto& { return m.dsStoreBackups[0].backupRelativePath; };
    const Field store = [](auto& m) -> auto& { return m.dsStoreBackups[0].originalPath; };
    const Field plist = [](auto& m) -> auto& { return m.finderPlistOriginalPath; };
    const Field plistCopy = [](auto& m) -> auto& { return m.finderPlistBackupPath; };
    const Field flagged = [](auto& m) -> auto& { return m.fileExtensionBackups[0].filePath; };
    const Field id = [](auto& m) -> auto& { return m.id; };
    const char* const outside = "is outside the snapshot folder";
    const char* const relative = "is not an absolute path";
    const char* const notAStore = "is not the absolute path of a .DS_Store file";
    const std::vector<std::tuple<std::string, const char*, Field>> cases{
        {"/etc/passwd", outside, copy},
        {"../../../outside", outside, copy},
        {"files/../../x", outside, copy},
        {"Desktop/.DS_Store", notAStore, store},
        {home / "outside", notAStore, store},
        {home / "Desktop/../.DS_Store", notAStore, store},
        {"com.apple.finder.plist", relative, plist},
        {"report.pdf", relative, flagged},
        {home / "outside", outside, plistCopy},
        {directory + "/../other/com.apple.finder.plist", outside, plistCopy},
        {directory + "-2/com.apple.finder.plist", outside, plistCopy},
        {"../..", "is not a snapshot name", id},
    };
    const auto state = liveState();
    for (const auto& [offending, why, field] : cases) {
        BackupManifest manifest = good;
        field(manifest) = offending;
        const std::string message =
            "Unsafe path in snapshot manifest: \"" + offending + "\" " + why;
        EXPECT_LUMIFOLD_ERROR(manager.evaluateRestore(manifest), kBackupManagerDomain,
                              kBackupUnsafeManifestPath, message);
        EXPECT_LUMIFOLD_ERROR(manager.restoreSnapshot(manifest, true), kBackupManagerDomain,
                              kBackupUnsafeManifestPath, message);
        EXPECT_EQ(liveState(), state) << offending;
        EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), std::nullopt);
    }
    // A snapshot of another preferences file (another home, or this one before it moved).
    BackupManifest foreign = good;
    foreign.finderPlistOriginalPath = home / "Old/Library/Preferences/com.apple.finder.plist";
    EXPECT_LUMIFOLD_ERROR_CODE(manager.restoreSnapshot(foreign, true), kBackupManagerDomain,
                               kBackupForeignHome);
    // Only the value Apply pushes may be pushed back.
    BackupManifest pushing = good;
    PushedPreference foreignDomain;
    foreignDomain.domain = "com.other.app";
    foreignDomain.key = "AppleShowAllExtensions";
    pushing.pushedPreferences = {foreignDomain};
    EXPECT_LUMIFOLD_ERROR_CODE(manager.restoreSnapshot(pushing, true), kBackupManagerDomain,
                               kBackupUnsafeManifestPath);
    EXPECT_EQ(liveState(), state);
    // The untouched manifest restores.
    manager.restoreSnapshot(good, true);
    EXPECT_EQ(asText(platform::readFile(desktop)), "snapshot");
}

}  // namespace
}  // namespace lumifold::testing
