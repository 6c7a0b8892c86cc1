#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/backup/BackupManager.h"
#include "core/platform/PosixError.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/LumifoldAssertions.h"

namespace lumifold::testing {
namespace {

using platform::listDirectory;
using platform::readFile;

const std::vector<SettingChange> kChanges{
    {"com.apple.finder", "FXPreferredViewStyle", "Nlsv", "icnv", "Global Preference"}};
const std::vector<FileExtensionBackupItem> kExtensions{{"/Users/a/Desktop/report.pdf", false}};

std::vector<std::string> idsOf(const std::vector<BackupManifest>& manifests) {
    std::vector<std::string> ids;
    for (const auto& manifest : manifests) ids.push_back(manifest.id);
    return ids;
}

TEST_F(BackupTest, SnapshotCopiesEveryFileAndLaterRecordsTheLiveChecksums) {
    writePreferences(true);
    const std::string desktop = writeStore("Desktop", "desktop store", 0640);
    const std::string documents = writeStore("Documents", "documents store", 0604);
    // createdAt is read after the copies: let the clock move on in between.
    int calls = 0;
    BackupManager ticking(
        std::nullopt, BackupManagerHost{.now = [&] { return now + std::chrono::seconds(calls++); },
                                        .homeDirectory = home.path(),
                                        .preferencesPath = {}});

    const BackupManifest manifest =
        ticking.createSnapshot(preferencesPath(), {desktop, documents}, kChanges, kExtensions);

    EXPECT_EQ(manifest.id, "2025-01-31T14-05-09Z");
    EXPECT_EQ(manifest.createdAt, utc(2025, 1, 31, 14, 5, 10));
    const std::string directory = snapshotDirectory(manifest.id);
    EXPECT_EQ(manifest.finderPlistOriginalPath, preferencesPath());
    EXPECT_EQ(manifest.finderPlistBackupPath, directory + "/com.apple.finder.plist");
    EXPECT_EQ(manifest.finderPlistOriginalSHA256, checksumOf(preferencesPath()));
    EXPECT_EQ(readFile(manifest.finderPlistBackupPath), readFile(preferencesPath()));
    EXPECT_EQ(manifest.finderPlistPostSHA256, std::nullopt);
    const std::string desktopSum = checksumOf(desktop), documentsSum = checksumOf(documents);
    EXPECT_EQ(manifest.dsStoreBackups,
              (std::vector<DSStoreBackupItem>{
                  {desktop, "files/" + desktopSum.substr(0, 12) + "_.DS_Store", desktopSum,
                   std::nullopt, 0640},
                  {documents, "files/" + documentsSum.substr(0, 12) + "_.DS_Store", documentsSum,
                   std::nullopt, 0604}}));
    for (const auto& item : manifest.dsStoreBackups) {
        EXPECT_EQ(readFile(appending(directory, item.backupRelativePath)),
                  readFile(item.originalPath));
    }
    EXPECT_EQ(manifest.appliedChanges, kChanges);
    EXPECT_EQ(manifest.fileExtensionBackups, kExtensions);
    EXPECT_EQ(manager.loadManifest(manifest.id), manifest);

    // After Apply: checksums of the live files; the URL list is not consulted, the items are.
    writePreferences(false, "icnv");
    writeStore("Desktop", "after");
    platform::removeFile(documents);
    const BackupManifest recorded =
        manager.recordPostModificationHashes(manifest.id, preferencesPath(), ApplyOutcome{});
    EXPECT_EQ(recorded.finderPlistPostSHA256, checksumOf(preferencesPath()));
    EXPECT_EQ(recorded.dsStoreBackups[0].postModificationSHA256, checksumOf(desktop));
    EXPECT_EQ(recorded.dsStoreBackups[1].postModificationSHA256, std::nullopt);
    EXPECT_EQ(manager.loadManifest(manifest.id), recorded);
    // An absent checksum is left out of the file, never written as null.
    const std::string text = manifestText(manifest.id);
    EXPECT_EQ(text.find("null"), std::string::npos);
    const auto first = text.find("\"postModificationSHA256\"");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("\"postModificationSHA256\"", first + 1), std::string::npos);
}

TEST_F(BackupTest, MissingFilesAreSkippedAndEqualStoresShareACopy) {
    const std::string desktop = writeStore("Desktop", "same bytes");
    const std::string music = writeStore("Music", "same bytes");
    const BackupManifest manifest = manager.createSnapshot(
        preferencesPath(), {desktop, home / "Movies/.DS_Store", music}, {}, {});
    // The missing preferences file is recorded with an empty checksum but not copied.
    EXPECT_EQ(manifest.finderPlistOriginalSHA256, "");
    EXPECT_FALSE(platform::fileExists(manifest.finderPlistBackupPath));
    ASSERT_EQ(manifest.dsStoreBackups.size(), 2u);
    EXPECT_EQ(manifest.dsStoreBackups[0].originalPath, desktop);
    EXPECT_EQ(manifest.dsStoreBackups[1].originalPath, music);
    EXPECT_EQ(manifest.dsStoreBackups[0].backupRelativePath,
              manifest.dsStoreBackups[1].backupRelativePath);
    EXPECT_EQ(listDirectory(snapshotDirectory(manifest.id) + "/files").size(), 1u);

    const BackupManifest empty = manager.createSnapshot(preferencesPath(), {}, {}, {});
    EXPECT_TRUE(listDirectory(snapshotDirectory(empty.id) + "/files").empty());
    EXPECT_NE(manifestText(empty.id).find("\"dsStoreBackups\": []"), std::string::npos);
}

TEST_F(BackupTest, SnapshotsArePrivateEvenWhenTheirOriginalsAreNot) {
    writePreferences(true);
    platform::setPermissionBits(preferencesPath(), 0644);
    const std::string store = writeStore("Desktop", "store", 0666);
    const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {store}, {}, {});
    const std::string directory = snapshotDirectory(manifest.id);
    for (const std::string& folder :
         {home / ".lumifold", home / ".lumifold/backups", directory, directory + "/files"}) {
        EXPECT_EQ(platform::permissionBits(folder).value() & 0077u, 0u) << folder;
    }
    for (const std::string& file :
         {manifest.finderPlistBackupPath, directory + "/manifest.json",
          appending(directory, manifest.dsStoreBackups[0].backupRelativePath)}) {
        EXPECT_EQ(platform::permissionBits(file), 0600u) << file;
    }
    // The original's bits are still what restore will put back.
    EXPECT_EQ(manifest.dsStoreBackups[0].posixPermissions, 0666);
}

TEST_F(BackupTest, TwoSnapshotsInOneSecondBothSurvive) {
    writePreferences(true);
    const std::string store = writeStore("Desktop", "first");
    const BackupManifest first = manager.createSnapshot(preferencesPath(), {store}, kChanges, {});
    writePreferences(false);
    writeStore("Desktop", "second");
    const BackupManifest second = manager.createSnapshot(preferencesPath(), {store}, {}, {});

    EXPECT_EQ(first.id, "2025-01-31T14-05-09Z");
    EXPECT_EQ(second.id, "2025-01-31T14-05-09Z-2");
    EXPECT_EQ(second.finderPlistBackupPath,
              snapshotDirectory(second.id) + "/com.apple.finder.plist");
    EXPECT_EQ(manager.loadManifest(first.id), first);
    EXPECT_EQ(manager.loadManifest(second.id), second);
    // The first snapshot's copies are its own, untouched by the second.
    EXPECT_EQ(checksumOf(first.finderPlistBackupPath), first.finderPlistOriginalSHA256);
    EXPECT_EQ(asText(readFile(appending(snapshotDirectory(first.id),
                                        first.dsStoreBackups[0].backupRelativePath))),
              "first");
}

TEST_F(BackupTest, ListingIsNewestFirstAndOrdersOneSecondByNumber) {
    now = utc(2025, 1, 31, 10, 0, 0);
    manager.createSnapshot(preferencesPath(), {}, {}, {});
    now = utc(2025, 1, 31, 12, 0, 0);
    for (int i = 0; i < 11; ++i) manager.createSnapshot(preferencesPath(), {}, {}, {});
    now = utc(2025, 1, 31, 11, 0, 0);
    manager.createSnapshot(preferencesPath(), {}, {}, {});
    // The directory lists "-10" and "-11" before "-2"; the later snapshot must still lead.
    std::vector<std::string> expected;
    for (int n = 11; n >= 2; --n) expected.push_back("2025-01-31T12-00-00Z-" + std::to_string(n));
    expected.insert(expected.end(),
                    {"2025-01-31T12-00-00Z", "2025-01-31T11-00-00Z", "2025-01-31T10-00-00Z"});
    EXPECT_EQ(idsOf(manager.listManifests()), expected);
}

TEST_F(BackupTest, ListingSkipsWhatIsNotASnapshot) {
    EXPECT_TRUE(manager.listManifests().empty());  // no store yet

    const BackupManifest kept = manager.createSnapshot(preferencesPath(), {}, {}, {});
    home.writeFile(".lumifold/backups/stray-file", "x");
    home.makeFolder(".lumifold/backups/stray-folder");
    home.writeFile(".lumifold/backups/broken/manifest.json", "{not json");
    // A manifest without appliedChanges does not load.
    std::string text = manifestText(kept.id);
    const std::string applied = "\"appliedChanges\": [],";
    ASSERT_NE(text.find(applied), std::string::npos);
    home.writeFile(".lumifold/backups/incomplete/manifest.json",
                   text.erase(text.find(applied), applied.size()));

    // A manifest copied into another folder would restore under a false name.
    home.writeFile(".lumifold/backups/.copied/manifest.json", manifestText(kept.id));

    EXPECT_EQ(idsOf(manager.listManifests()), std::vector<std::string>{kept.id});
    EXPECT_EQ(manager.loadManifest("incomplete"), std::nullopt);
    EXPECT_EQ(manager.loadManifest("missing"), std::nullopt);
    EXPECT_EQ(manager.loadManifest("../backups/" + kept.id), std::nullopt);
    EXPECT_EQ(manager.loadManifest(".copied"), std::nullopt);
    std::vector<std::string> problems;
    for (const auto& problem : manager.snapshotProblems()) {
        problems.push_back(problem.name + (problem.incomplete ? " (incomplete)" : ""));
    }
    EXPECT_EQ(problems, (std::vector<std::string>{".copied", "broken", "incomplete",
                                                  "stray-folder (incomplete)"}));
}

TEST_F(BackupTest, SnapshotFoldersWhoseNamesBeginWithADotAreListed) {
    now = utc(2025, 1, 31, 14, 5, 9);
    const BackupManifest made = manager.createSnapshot(preferencesPath(), {}, {}, {});
    std::string text = manifestText(made.id);
    const std::string id = "\"id\": \"" + made.id + "\"";
    text.replace(text.find(id), id.size(), "\"id\": \".hidden\"");
    home.writeFile(".lumifold/backups/.hidden/manifest.json", text);
    EXPECT_EQ(idsOf(manager.listManifests()), (std::vector<std::string>{made.id, ".hidden"}));
}

TEST_F(BackupTest, PostModificationHashesNeedAManifest) {
    home.writeFile(".lumifold/backups/garbled/manifest.json", "[]");
    for (const char* id : {"2025-01-31T14-05-09Z", "garbled"}) {
        EXPECT_LUMIFOLD_ERROR(
            manager.recordPostModificationHashes(id, preferencesPath(), ApplyOutcome{}),
            kBackupManagerDomain, kBackupManifestNotFound, "Manifest not found");
    }
    EXPECT_EQ(manifestText("garbled"), "[]");
}

TEST_F(BackupTest, UnreadableStoreFailsTheSnapshotWithoutAManifest) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    const std::string desktop = writeStore("Desktop", "readable");
    const std::string locked = writeStore("Documents", "locked", 0000);
    EXPECT_LUMIFOLD_ERROR_CODE(manager.createSnapshot(preferencesPath(), {desktop, locked}, {}, {}),
                               platform::kPosixDomain, EACCES);
    EXPECT_FALSE(
        platform::fileExists(snapshotDirectory("2025-01-31T14-05-09Z") + "/manifest.json"));
    EXPECT_TRUE(manager.listManifests().empty());
}

}  // namespace
}  // namespace lumifold::testing
