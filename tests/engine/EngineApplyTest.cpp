#include <gtest/gtest.h>

#include <algorithm>

#include "core/finder/FinderCoordinator.h"
#include "tests/dsstore/DSStoreTestSupport.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/LumifoldAssertions.h"

namespace lumifold::testing {
namespace {

class EngineApplyTest : public EngineTest {
  protected:
    // Puts a non-empty folder where a file is: no rename can replace it, not even as root.
    void blockWithFolder(const std::string& path) const {
        platform::removeFile(path);
        platform::createDirectories(path, 0755);
        home.writeFile(path.substr(home.path().size() + 1) + "/occupant", "x");
    }

    std::string backups() const { return home / ".lumifold/backups"; }

    bool hasEntry(const std::vector<DSStoreEntry>& entries, const DSStoreEntry& wanted) const {
        return std::find(entries.begin(), entries.end(), wanted) != entries.end();
    }
};

TEST_F(EngineApplyTest, RealisticHomeEndsFullyCompliantAndKeepsForeignRecords) {
    if (!flagsWork()) GTEST_SKIP() << "this file system keeps no extended attributes";
    writeUserPreferences(80.0);
    makeDefaultFolders();
    const DSStoreEntry homeLocation = blob("Other", "Iloc", 16, std::byte{0x01});
    const DSStoreEntry desktopLocation = blob("Desktop", "Iloc", 16, std::byte{0x02});
    const DSStoreEntry window = blob(".", "bwsp", 40, std::byte{0x03});
    const DSStoreEntry reportLocation = blob("report.pdf", "Iloc", 16, std::byte{0x04});
    const DSStoreEntry note = comment("notes.txt", "keep this comment");
    const std::string homeStore =
        writeStore("", {window, desktopLocation, viewStyle("Documents", "Nlsv"),
                        listView("Documents", "lsvC"), homeLocation});
    const std::string documentsStore =
        writeStore("Documents", {viewStyle(".", "Nlsv"), listView("."), reportLocation, note});
    const std::string downloadsStore = writeStore("Downloads", {iconView(".", 44.0, "kind")});
    const Bytes downloadsBytes = platform::readFile(downloadsStore);
    const auto downloadsTime = platform::modificationTimeNanoseconds(downloadsStore);
    const std::string report = home.writeFile("Documents/report.pdf", "pdf");
    const std::string notes = home.writeFile("Documents/notes.txt", "txt");
    const std::string photo = home.writeFile("Desktop/photo.jpg", "jpg");
    ASSERT_TRUE(setHiddenExtension(photo, true));

    const ApplyResult result = engine->apply(std::nullopt, true);

    EXPECT_TRUE(result.verification.isFullyCompliant());
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_TRUE(engine->verify().isFullyCompliant());
    EXPECT_TRUE(hiddenExtension(report));
    EXPECT_TRUE(hiddenExtension(notes));

    // The snapshot: both rewritten stores, the two visible files as they were, post checksums.
    const BackupManifest& manifest = result.manifest;
    ASSERT_EQ(manifest.dsStoreBackups.size(), 2u);
    EXPECT_EQ(manifest.dsStoreBackups[0].originalPath, homeStore);
    EXPECT_EQ(manifest.dsStoreBackups[1].originalPath, documentsStore);
    EXPECT_EQ(manifest.fileExtensionBackups,
              (std::vector<FileExtensionBackupItem>{{notes, false}, {report, false}}));
    EXPECT_EQ(manifest.finderPlistPostSHA256,
              platform::sha256Hex(platform::readFile(preferencesPath())));
    EXPECT_FALSE(manifest.appliedChanges.empty());

    // Foreign records survive byte for byte; the targets get fresh records.
    const auto homeEntries = readStore(homeStore);
    for (const auto& kept : {window, desktopLocation, homeLocation}) {
        EXPECT_TRUE(hasEntry(homeEntries, kept)) << kept.code << " of " << kept.filename;
    }
    EXPECT_TRUE(hasEntry(homeEntries, viewStyle("Documents", "icnv")));
    const auto documentsEntries = readStore(documentsStore);
    EXPECT_TRUE(hasEntry(documentsEntries, reportLocation));
    EXPECT_TRUE(hasEntry(documentsEntries, note));
    EXPECT_EQ(documentsEntries.size(), 4u);  // the two kept, fresh vstl and icvp

    // A store that needed nothing is neither snapshotted nor rewritten.
    EXPECT_EQ(platform::readFile(downloadsStore), downloadsBytes);
    EXPECT_EQ(platform::modificationTimeNanoseconds(downloadsStore), downloadsTime);

    // The user's grid spacing and unrelated keys stay.
    FinderPreferencesManager preferences(preferencesPath(), home.path());
    EXPECT_EQ(preferences.currentPreferences(), FinderLayoutPreferences::preferred(80.0));
    EXPECT_TRUE(preferences.loadPreferencesDictionary()->contains("ShowPathbar"));
}

TEST_F(EngineApplyTest, NothingToChangeStillSnapshotsThePreferencesFile) {
    writePreferences(FinderLayoutPreferences::preferred(54.0));
    makeDefaultFolders();
    ASSERT_TRUE(engine->preview().plistChanges.empty());

    const ApplyResult result = engine->apply(std::nullopt, true);
    EXPECT_TRUE(result.manifest.dsStoreBackups.empty());
    EXPECT_TRUE(result.manifest.fileExtensionBackups.empty());
    EXPECT_TRUE(result.manifest.appliedChanges.empty());
    EXPECT_EQ(result.manifest.finderPlistOriginalPath, preferencesPath());
    EXPECT_TRUE(platform::isRegularFile(result.manifest.finderPlistBackupPath));
    EXPECT_TRUE(result.manifest.finderPlistPostSHA256.has_value());
    EXPECT_TRUE(result.verification.isFullyCompliant());
    EXPECT_EQ(engine->backupManager().listManifests().size(), 1u);
}

TEST_F(EngineApplyTest, FinderThatIsNotRunningIsLeftAlone) {
    const std::string documents = home.makeFolder("Documents");
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    engine->apply(std::vector<std::string>{documents}, true);
    EXPECT_TRUE(finder.calls.empty());
    EXPECT_FALSE(finder.running);
}

TEST_F(EngineApplyTest, RunningFinderIsQuitBeforeWritingAndStartedAfter) {
    writeUserPreferences();
    const std::string documents = home.makeFolder("Documents");
    const std::string store = writeStore("Documents", {viewStyle(".", "Nlsv")});
    const Bytes storeBefore = platform::readFile(store);
    const Bytes preferencesBefore = platform::readFile(preferencesPath());
    finder.running = true;
    bool untouchedAtQuit = false;
    finder.onQuit = [&] {
        untouchedAtQuit = platform::readFile(store) == storeBefore &&
                          platform::readFile(preferencesPath()) == preferencesBefore &&
                          engine->backupManager().listManifests().size() == 1;
    };

    engine->apply(std::vector<std::string>{documents}, true);
    EXPECT_TRUE(untouchedAtQuit) << "the snapshot comes before the quit, the writes after it";
    EXPECT_EQ(finder.calls, kQuitThenRestart);
    EXPECT_TRUE(finder.running);
    EXPECT_NE(platform::readFile(store), storeBefore);
}

TEST_F(EngineApplyTest, WithoutRelaunchARunningFinderIsNotTouched) {
    const std::string documents = home.makeFolder("Documents");
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    finder.running = true;
    engine->apply(std::vector<std::string>{documents}, false);
    EXPECT_TRUE(finder.calls.empty());
}

TEST_F(EngineApplyTest, CopyWindowStopsApplyAfterTheSnapshotWithNothingWritten) {
    writeUserPreferences();
    const std::string documents = home.makeFolder("Documents");
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    home.writeFile("Documents/report.pdf", "pdf");
    finder.running = true;
    finder.transferWindow = true;
    const Fingerprint before = fingerprint();

    EXPECT_LUMIFOLD_ERROR(
        engine->apply(std::vector<std::string>{documents}, true), FinderCoordinator::kErrorDomain,
        FinderCoordinator::kActiveTransfersErrorCode, FinderCoordinator::kActiveTransfersMessage);
    EXPECT_EQ(fingerprint(), before);
    const auto manifests = engine->backupManager().listManifests();
    ASSERT_EQ(manifests.size(), 1u);
    EXPECT_FALSE(manifests[0].finderPlistPostSHA256.has_value());
    EXPECT_TRUE(finder.calls.empty());
    EXPECT_TRUE(finder.running);
}

TEST_F(EngineApplyTest, FailedPreferencesWriteStillRelaunchesTheFinder) {
    writeUserPreferences();
    const std::string documents = home.makeFolder("Documents");
    const std::string store = writeStore("Documents", {viewStyle(".", "Nlsv")});
    const Bytes storeBefore = platform::readFile(store);
    finder.running = true;
    finder.onQuit = [&] { blockWithFolder(preferencesPath()); };

    EXPECT_LUMIFOLD_ERROR_CODE(engine->apply(std::vector<std::string>{documents}, true), "POSIX",
                               EISDIR);
    EXPECT_EQ(finder.calls, kQuitThenRestart);
    EXPECT_TRUE(finder.running);
    EXPECT_EQ(platform::readFile(store), storeBefore) << "stores come after the preferences";
}

TEST_F(EngineApplyTest, SecondOfThreeStoresFailingLeavesTheFirstWrittenAndTheThirdAlone) {
    std::vector<std::string> folders, stores;
    for (const char* name : {"A", "B", "C"}) {
        folders.push_back(home.makeFolder(name));
        stores.push_back(writeStore(name, {viewStyle(".", "Nlsv"), blob(".", "Iloc")}));
    }
    const Bytes third = platform::readFile(stores[2]);
    const auto thirdTime = platform::modificationTimeNanoseconds(stores[2]);
    finder.running = true;
    finder.onQuit = [&] { blockWithFolder(stores[1]); };

    EXPECT_LUMIFOLD_ERROR_CODE(engine->apply(folders, true), "POSIX", EISDIR);
    EXPECT_TRUE(hasEntry(readStore(stores[0]), viewStyle(".", "icnv")));
    EXPECT_EQ(platform::readFile(stores[2]), third);
    EXPECT_EQ(platform::modificationTimeNanoseconds(stores[2]), thirdTime);
    EXPECT_EQ(finder.calls, kQuitThenRestart);
    EXPECT_TRUE(finder.running);
}

TEST_F(EngineApplyTest, RecordTheWriterCannotPlaceFailsBeforeAnySnapshot) {
    // A store written elsewhere: one 8 KiB leaf holding a record larger than a writer's node.
    writeUserPreferences();
    const std::string documents = home.makeFolder("Documents");
    const std::string downloads = home.makeFolder("Downloads");
    writeStore("Downloads", {viewStyle(".", "clmv")});
    Bytes leaf = nodeHeader(0, 2);
    const auto appendName = [&](std::string_view name) {
        appendU32(leaf, static_cast<std::uint32_t>(name.size()));
        for (const char c : name) {
            leaf.push_back(std::byte{0});
            leaf.push_back(static_cast<std::byte>(c));
        }
    };
    const auto appendText = [&](std::string_view text) {
        for (const char c : text) leaf.push_back(static_cast<std::byte>(c));
    };
    appendName(".");
    appendText("Ilocblob");
    appendU32(leaf, 5000);
    leaf.insert(leaf.end(), 5000, std::byte{0x42});
    appendName(".");
    appendText("vstltypeNlsv");
    RawStore raw;
    const std::uint32_t leafBlock = raw.addBlock(leaf, 13);
    raw.addDirectoryEntry("DSDB", raw.addBlock(treeHeader(leafBlock), 5));
    const Bytes image = raw.build();
    ASSERT_EQ(DSStoreReader().parseEntries(image).size(), 2u);
    home.writeFile("Documents/.DS_Store", image);
    const Fingerprint before = fingerprint(true);

    EXPECT_LUMIFOLD_ERROR_CODE(engine->apply(std::vector<std::string>{downloads, documents}, true),
                               DSStoreWriter::kDomain, DSStoreWriter::kRecordTooLarge);
    EXPECT_EQ(fingerprint(true), before) << "no snapshot, no write";
    EXPECT_FALSE(platform::fileExists(backups()));
}

TEST_F(EngineApplyTest, UndecodableStoreIsNotTouched) {
    const std::string broken = home.makeFolder("Broken");
    Bytes image = writer.encode({viewStyle(".", "Nlsv"), blob(".", "lsvp")});
    const std::size_t secondRecord = 0x44 + 8 + 4 + 2 + 8 + 4 + 4;
    putText(image, secondRecord + 4 + 2 + 4, "zzzz");
    const std::string store = home.writeFile("Broken/.DS_Store", image);

    const ApplyResult result = engine->apply(std::vector<std::string>{broken}, true);
    EXPECT_EQ(platform::readFile(store), image);
    EXPECT_TRUE(result.manifest.dsStoreBackups.empty());
    EXPECT_EQ(result.warnings,
              std::vector<std::string>{"Skipped " + store +
                                       ": it holds records that cannot be decoded, so it is left "
                                       "unchanged."});
}

TEST_F(EngineApplyTest, TwoAppliesInOneSecondKeepBothSnapshots) {
    const std::string documents = home.makeFolder("Documents");
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    const auto first = engine->apply(std::vector<std::string>{documents}, false).manifest;
    const auto second = engine->apply(std::vector<std::string>{documents}, false).manifest;
    EXPECT_NE(first.id, second.id);
    EXPECT_EQ(first.createdAt, second.createdAt);
    const auto manifests = engine->backupManager().listManifests();
    ASSERT_EQ(manifests.size(), 2u);
    EXPECT_EQ(manifests[0].id, second.id);
    EXPECT_EQ(first.dsStoreBackups.size(), 1u);
    EXPECT_TRUE(second.dsStoreBackups.empty()) << "the second run found nothing to rewrite";
}

TEST_F(EngineApplyTest, GivenPreferencesPathAndBackupDirectoryAreTheOnesUsed) {
    writeUserPreferences();
    const std::string elsewhere = home.makeFolder("Elsewhere");
    const std::string preferences = elsewhere + "/finder.plist";
    platform::copyFile(preferencesPath(), preferences);
    const Bytes usersFile = platform::readFile(preferencesPath());
    EngineOptions options;
    options.homeDirectory = home.path();
    options.preferencesPath = preferences;
    options.backupDirectory = elsewhere + "/snapshots";
    options.finderHost = finder.host();
    options.clock = [this] { return snapshotTime; };
    LumifoldEngine custom(std::move(options));

    EXPECT_EQ(custom.preview(std::vector<std::string>{}).plistChanges[0].target, "finder.plist");
    const auto manifest = custom.apply(std::vector<std::string>{}, false).manifest;
    EXPECT_EQ(manifest.finderPlistOriginalPath, preferences);
    EXPECT_TRUE(
        platform::isRegularFile(elsewhere + "/snapshots/" + manifest.id + "/manifest.json"));
    EXPECT_FALSE(platform::fileExists(home / ".lumifold"));
    EXPECT_EQ(platform::readFile(preferencesPath()), usersFile);
    EXPECT_TRUE(custom.verify(std::vector<std::string>{}).finderDefaultsValid);
}

}  // namespace
}  // namespace lumifold::testing
