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
using platform::permissionBits;
using platform::readFile;

const std::vector<SettingChange> kChanges{
    {"com.apple.finder", "FXPreferredViewStyle", "Nlsv", "icnv", "Global Preference"}};
const std::vector<FileExtensionBackupItem> kExtensions{{"/Users/a/Desktop/report.pdf", false}};

std::vector<std::string> idsOf(const std::vector<BackupManifest>& manifests) {
    std::vector<std::string> ids;
    for (const auto& manifest : manifests) ids.push_back(manifest.id);
    return ids;
}

TEST_F(BackupTest, SnapshotCopiesEveryFileWithItsChecksumAndBits) {
    writePreferences(true);
    const std::string desktop = writeStore("Desktop", "desktop store", 0640);
    const std::string documents = writeStore("Documents", "documents store", 0604);
    // createdAt is read after the copies: let the clock move on in between.
    int calls = 0;
    BackupManager ticking(
        std::nullopt, BackupManagerHost{.now = [&] { return now + std::chrono::seconds(calls++); },
                                        .homeDirectory = home.path()});

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

    const std::string desktopSum = checksumOf(desktop);
    const std::string documentsSum = checksumOf(documents);
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
}

TEST_F(BackupTest, MissingPreferencesFileIsRecordedButNotCopied) {
    const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {}, {}, {});
    EXPECT_EQ(manifest.finderPlistOriginalSHA256, "");
    EXPECT_EQ(manifest.finderPlistBackupPath,
              snapshotDirectory(manifest.id) + "/com.apple.finder.plist");
    EXPECT_FALSE(platform::fileExists(manifest.finderPlistBackupPath));
    // No stores: the files folder is still there, empty.
    EXPECT_TRUE(manifest.dsStoreBackups.empty());
    EXPECT_TRUE(platform::isDirectory(snapshotDirectory(manifest.id) + "/files"));
    EXPECT_TRUE(listDirectory(snapshotDirectory(manifest.id) + "/files").empty());
    EXPECT_NE(manifestText(manifest.id).find("\"dsStoreBackups\": []"), std::string::npos);
}

TEST_F(BackupTest, MissingStoreLocationsAreSkippedAndEqualStoresShareACopy) {
    const std::string desktop = writeStore("Desktop", "same bytes");
    const std::string music = writeStore("Music", "same bytes");
    const BackupManifest manifest = manager.createSnapshot(
        preferencesPath(), {desktop, home / "Movies/.DS_Store", music}, {}, {});
    ASSERT_EQ(manifest.dsStoreBackups.size(), 2u);
    EXPECT_EQ(manifest.dsStoreBackups[0].originalPath, desktop);
    EXPECT_EQ(manifest.dsStoreBackups[1].originalPath, music);
    EXPECT_EQ(manifest.dsStoreBackups[0].backupRelativePath,
              manifest.dsStoreBackups[1].backupRelativePath);
    EXPECT_EQ(listDirectory(snapshotDirectory(manifest.id) + "/files").size(), 1u);
}

TEST_F(BackupTest, IdentifierIsTheCreationTimeWithDashes) {
    now = utc(2025, 3, 5, 9, 3, 7);
    const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {}, {}, {});
    EXPECT_EQ(manifest.id, "2025-03-05T09-03-07Z");
    EXPECT_EQ(listDirectory(storeDirectory()), std::vector<std::string>{"2025-03-05T09-03-07Z"});
}

TEST_F(BackupTest, SnapshotsArePrivateEvenWhenTheirOriginalsAreNot) {
    writePreferences(true);
    platform::setPermissionBits(preferencesPath(), 0644);
    const std::string store = writeStore("Desktop", "store", 0666);
    const BackupManifest manifest = manager.createSnapshot(preferencesPath(), {store}, {}, {});
    const std::string directory = snapshotDirectory(manifest.id);
    for (const std::string& folder :
         {home / ".lumifold", storeDirectory(), directory, directory + "/files"}) {
        EXPECT_EQ(permissionBits(folder).value() & 0077u, 0u) << folder;
    }
    for (const std::string& file :
         {manifest.finderPlistBackupPath, directory + "/manifest.json",
          appending(directory, manifest.dsStoreBackups[0].backupRelativePath)}) {
        EXPECT_EQ(permissionBits(file), 0600u) << file;
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
    const BackupManifest third = manager.createSnapshot(preferencesPath(), {store}, {}, {});

    EXPECT_EQ(first.id, "2025-01-31T14-05-09Z");
    EXPECT_EQ(second.id, "2025-01-31T14-05-09Z-2");
    EXPECT_EQ(third.id, "2025-01-31T14-05-09Z-3");
    EXPECT_EQ(second.finderPlistBackupPath,
              snapshotDirectory(second.id) + "/com.apple.finder.plist");
    EXPECT_EQ(manager.loadManifest(first.id), first);
    EXPECT_EQ(manager.loadManifest(second.id), second);
    // The first snapshot's copies are its own, untouched by the second.
    EXPECT_EQ(checksumOf(first.finderPlistBackupPath), first.finderPlistOriginalSHA256);
    EXPECT_EQ(asText(readFile(appending(snapshotDirectory(first.id),
                                        first.dsStoreBackups[0].backupRelativePath))),
              "first");
    EXPECT_EQ(manager.listManifests().size(), 3u);
}

TEST_F(BackupTest, ListingIsNewestFirst) {
    for (const int hour : {10, 12, 11}) {
        now = utc(2025, 1, 31, hour, 0, 0);
        manager.createSnapshot(preferencesPath(), {}, {}, {});
    }
    EXPECT_EQ(idsOf(manager.listManifests()),
              (std::vector<std::string>{"2025-01-31T12-00-00Z", "2025-01-31T11-00-00Z",
                                        "2025-01-31T10-00-00Z"}));
}

TEST_F(BackupTest, ListingOrdersSnapshotsOfOneSecondByTheirNumber) {
    for (int i = 0; i < 11; ++i) manager.createSnapshot(preferencesPath(), {}, {}, {});
    // The directory lists "-10" and "-11" before "-2"; the later snapshot must still lead.
    std::vector<std::string> expected;
    for (int n = 11; n >= 2; --n) expected.push_back("2025-01-31T14-05-09Z-" + std::to_string(n));
    expected.push_back("2025-01-31T14-05-09Z");
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
    const auto key = text.find("\"appliedChanges\": [],");
    ASSERT_NE(key, std::string::npos);
    home.writeFile(".lumifold/backups/incomplete/manifest.json",
                   text.erase(key, std::string("\"appliedChanges\": [],").size()));

    EXPECT_EQ(idsOf(manager.listManifests()), std::vector<std::string>{kept.id});
    EXPECT_EQ(manager.loadManifest("incomplete"), std::nullopt);
    EXPECT_EQ(manager.loadManifest("missing"), std::nullopt);
    EXPECT_EQ(manager.loadManifest("../backups/" + kept.id), std::nullopt);
}

TEST_F(BackupTest, PostModificationHashesAreTakenOfTheLiveFiles) {
    writePreferences(true);
    const std::string desktop = writeStore("Desktop", "before");
    const std::string documents = writeStore("Documents", "before too");
    const BackupManifest created =
        manager.createSnapshot(preferencesPath(), {desktop, documents}, kChanges, kExtensions);

    writePreferences(false, "icnv");
    writeStore("Desktop", "after");
    platform::removeFile(documents);
    // The URL list is not consulted: the manifest's own items are.
    const BackupManifest recorded =
        manager.recordPostModificationHashes(created.id, preferencesPath(), {});

    EXPECT_EQ(recorded.finderPlistPostSHA256, checksumOf(preferencesPath()));
    EXPECT_EQ(recorded.dsStoreBackups[0].postModificationSHA256, checksumOf(desktop));
    EXPECT_EQ(recorded.dsStoreBackups[1].postModificationSHA256, std::nullopt);
    EXPECT_EQ(manager.loadManifest(created.id), recorded);
    const std::string text = manifestText(created.id);
    EXPECT_EQ(text.find("null"), std::string::npos);
    const auto first = text.find("\"postModificationSHA256\"");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("\"postModificationSHA256\"", first + 1), std::string::npos);
}

TEST_F(BackupTest, PostModificationHashesNeedAManifest) {
    EXPECT_LUMIFOLD_ERROR(
        manager.recordPostModificationHashes("2025-01-31T14-05-09Z", preferencesPath(), {}),
        kBackupManagerDomain, kBackupManifestNotFound, "Manifest not found");
    home.writeFile(".lumifold/backups/garbled/manifest.json", "[]");
    EXPECT_LUMIFOLD_ERROR(manager.recordPostModificationHashes("garbled", preferencesPath(), {}),
                          kBackupManagerDomain, kBackupManifestNotFound, "Manifest not found");
    EXPECT_EQ(asText(readFile(storeDirectory() + "/garbled/manifest.json")), "[]");
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

TEST_F(BackupTest, ChecksumsAreLowerCaseHex) {
    EXPECT_EQ(BackupManager::sha256Hex(asBytes("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace lumifold::testing
