#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/backup/BackupManager.h"
#include "core/common/Iso8601.h"
#include "core/common/Paths.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/Sha256.h"
#include "core/preferences/FinderPreferenceKeys.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold::testing {
namespace {

using platform::readFile;

// A snapshot of a home and of a folder outside it, restored under hostile changes: a manifest
// naming files beyond the bounds the caller gives, links and folders swapped in since, copies
// that are not what they claim. A victim folder outside both must never change.
class SnapshotRestoreTest : public ::testing::Test {
  protected:
    SnapshotRestoreTest() { populate(); }
    void populate() {
        for (const TempHome* tree : {&home, &elsewhere}) {
            for (const auto& name : platform::listDirectory(tree->path(), true)) {
                platform::removeTree(appending(tree->path(), name));
            }
        }
        home.writeFile(finder_preferences::kRelativePath, "preferences before");
        desktop = home.writeFile("Desktop/.DS_Store", "desktop before");
        movies = home.writeFile("Movies/.DS_Store", "movies before");
        report = home.writeFile("Desktop/report.pdf", "pdf");
        outsideStore = elsewhere.writeFile("outside/.DS_Store", "outside before");
        parentStore = elsewhere.writeFile(".DS_Store", "parent before");
        outsideFile = elsewhere.writeFile("outside/notes.txt", "txt");
        victimStore = elsewhere.writeFile("victim/.DS_Store", "victim");
        platform::setPermissionBits(victimStore, 0600);
        elsewhere.writeFile("victim/report.pdf", "victim's");
        elsewhere.writeFile("victim/notes.txt", "victim's");
    }

    // A snapshot of `stores` and `flags` as Apply takes it, then Apply's writes.
    BackupManifest snapshot(const std::vector<std::string>& stores,
                            const std::vector<std::string>& flags) {
        BackupManifest lists;
        for (const std::string& flag : flags) lists.fileExtensionBackups.push_back({flag, false});
        SnapshotRequest request;
        request.finderPlistPath = home / finder_preferences::kRelativePath;
        request.finderPlistBytes = readFile(request.finderPlistPath);
        request.lists = ManifestLists::of(lists);
        request.writtenFolders.emplace();
        for (const std::string& store : stores) {
            request.dsStores.push_back({store, readFile(store), std::nullopt});
        }
        for (const auto& file : stores) written(request, deletingLastPathComponent(file));
        for (const auto& file : flags) written(request, deletingLastPathComponent(file));
        BackupManifest manifest = lists;
        static_cast<ManifestHeader&>(manifest) = manager.createSnapshot(request).header;
        for (const std::string& store : stores)
            platform::writeFileAtomically(store, asBytes("after"));
        return manifest;
    }
    static void written(SnapshotRequest& request, const std::string& folder) {
        const auto identity = platform::fileIdentity(folder).value();
        request.writtenFolders->push_back({folder, identity.device, identity.inode});
    }
    // Bounds as the engine gives them: the home, and each folder given again as a root with
    // its parent's store.
    platform::WriteBounds bounds(const std::vector<std::string>& given = {}) const {
        platform::WriteBounds bounds;
        bounds.addRoot(home.path());
        for (const std::string& folder : given) {
            bounds.addRoot(folder);
            bounds.addFileOnly(deletingLastPathComponent(folder), ".DS_Store");
        }
        return bounds;
    }
    void restore(const BackupManifest& manifest, const platform::WriteBounds& within) {
        manager.restoreSnapshot(manifest, true, manager.evaluateRestore(manifest), within);
    }
    // A link to `target` in place of the home's `at`.
    void link(const std::string& target, const std::string& at) const {
        home.link(target, at.substr(home.path().size() + 1));
    }
    // Everything in both trees but the snapshots.
    TreeState state() const {
        TreeState state = treeState(elsewhere.path());
        state.merge(
            treeState(home.path(), [&](const auto& path) { return path == home / ".lumifold"; }));
        return state;
    }

    TempHome home;
    TempHome elsewhere;
    std::string desktop, movies, report, outsideStore, parentStore, outsideFile, victimStore;
    BackupManager manager{
        std::nullopt, BackupManagerHost{.now = [] { return *parseIso8601("2025-01-31T14:05:09Z"); },
                                        .homeDirectory = home.path(),
                                        .preferencesPath = {}}};
};

// Each refusal comes before anything is written, force or not.
TEST_F(SnapshotRestoreTest, NothingIsWrittenBeyondTheBoundsOrThroughALinkOrAReplacedFolder) {
    struct Case {
        const char* what = "";
        std::vector<std::string> stores = {};
        std::vector<std::string> flags = {};
        std::function<void()> meanwhile = {};
        std::vector<std::string> given = {};
        int code = 0;
        std::string named = {};  // a text the refusal holds
    };
    const std::vector<Case> cases{
        {.what = "a store outside the home",
         .stores = {desktop, outsideStore},
         .code = BackupManager::kOutsideFolders,
         .named = "give their folders again (--folder): \"" + elsewhere / "outside" + "\""},
        {.what = "a flag outside the home",
         .flags = {report, outsideFile},
         .code = BackupManager::kOutsideFolders,
         .named = "\"" + elsewhere / "outside" + "\""},
        {.what = "the parent of a folder outside, which comes back with it",
         .stores = {parentStore, outsideStore},
         .code = BackupManager::kOutsideFolders,
         .named = "(--folder): \"" + elsewhere / "outside" + "\""},
        {.what = "a file of that parent other than its store",
         .stores = {outsideStore},
         .flags = {elsewhere / "victim/notes.txt"},
         .given = {elsewhere / "outside"},
         .code = BackupManager::kOutsideFolders,
         .named = "\"" + elsewhere / "victim" + "\""},
        {.what = "a link in a middle component",
         .stores = {desktop, movies},
         .meanwhile = [&] { link(elsewhere / "victim", home / "Movies"); },
         .code = BackupManager::kUnsafeManifestPath,
         .named = "\"" + home / "Movies" + "\": it is a symbolic link"},
        {.what = "a link at the end",
         .stores = {desktop},
         .meanwhile = [&] { link(victimStore, desktop); },
         .code = BackupManager::kUnsafeManifestPath,
         .named = "it is a symbolic link"},
        {.what = "a flagged file that became a link",
         .flags = {report},
         .meanwhile = [&] { link(elsewhere / "victim/report.pdf", report); },
         .code = BackupManager::kUnsafeManifestPath,
         .named = "no longer a regular file"},
        {.what = "a folder replaced by another",
         .stores = {desktop, movies},
         .meanwhile =
             [&] {
                 std::filesystem::rename(home / "Movies", home / "Movies.old");
                 home.writeFile("Movies/.DS_Store", "a new folder's");
             },
         .code = BackupManager::kFolderReplaced,
         .named = "\"" + home / "Movies" + "\": it is no longer the folder Apply wrote in"},
        {.what = "the preferences file, now a link to a file outside",
         .stores = {desktop},
         .meanwhile = [&] { link(victimStore, home / finder_preferences::kRelativePath); },
         .code = BackupManager::kUnsafeManifestPath,
         .named = "it was none when the snapshot was taken"},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.what);
        populate();
        const BackupManifest manifest = snapshot(each.stores, each.flags);
        if (each.meanwhile) each.meanwhile();
        const auto within = bounds(each.given);
        const auto before = state();
        try {
            restore(manifest, within);
            ADD_FAILURE() << "restored";
        } catch (const Error& error) {
            EXPECT_EQ(error.domain(), BackupManager::kDomain);
            EXPECT_EQ(error.code(), each.code) << error.message();
            EXPECT_NE(error.message().find(each.named), std::string::npos) << error.message();
        }
        EXPECT_EQ(state(), before);
    }
}

TEST_F(SnapshotRestoreTest, FoldersGivenAgainAreRestoredWithTheirParentsStore) {
    const BackupManifest manifest = snapshot({desktop, parentStore, outsideStore}, {outsideFile});
    platform::setHasHiddenExtension(outsideFile, true);
    restore(manifest, bounds({elsewhere / "outside"}));
    EXPECT_EQ(asText(readFile(desktop)), "desktop before");
    EXPECT_EQ(asText(readFile(parentStore)), "parent before");
    EXPECT_EQ(asText(readFile(outsideStore)), "outside before");
    EXPECT_EQ(platform::hasHiddenExtension(outsideFile), false);
}

// The bits come from the manifest, never set-id or sticky; a store deleted since comes back as
// its folder's when Restore runs as root.
TEST_F(SnapshotRestoreTest, RestoredStoresTakeTheirRecordedBitsOnly) {
    BackupManifest manifest = snapshot({desktop, movies}, {});
    manifest.dsStoreBackups[0].posixPermissions = 06755;
    platform::removeFile(movies);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown((home / "Movies").c_str(), 4321, 4322), 0);
    }
    restore(manifest, bounds());
    EXPECT_EQ(platform::permissionBits(desktop), 0755u);
    struct stat info {};
    ASSERT_EQ(::stat(movies.c_str(), &info), 0);
    EXPECT_EQ(asText(readFile(movies)), "movies before");
    if (root) {
        EXPECT_EQ(info.st_uid, 4321u);
        EXPECT_EQ(info.st_gid, 4322u);
    }
}

// A preferences file that was a link is restored through it, to a file below the home only.
TEST_F(SnapshotRestoreTest, APreferencesLinkIsFollowedOnlyAsItWasAndOnlyBelowTheHome) {
    const std::string preferences = home / finder_preferences::kRelativePath;
    const std::string synced = home.writeFile("Sync/finder.plist", "preferences before");
    link(synced, preferences);
    BackupManifest manifest = snapshot({desktop}, {});
    EXPECT_FALSE(manifest.finderPlistWasLink);  // the request did not say so
    manifest.finderPlistWasLink = true;
    platform::writeFileAtomically(synced, asBytes("after"));
    link(victimStore, preferences);
    EXPECT_LUMIFOLD_ERROR_CODE(restore(manifest, bounds()), BackupManager::kDomain,
                               BackupManager::kUnsafeManifestPath);
    EXPECT_EQ(asText(readFile(victimStore)), "victim");
    link(synced, preferences);
    restore(manifest, bounds());
    EXPECT_TRUE(platform::isSymbolicLink(preferences));
    EXPECT_EQ(asText(readFile(synced)), "preferences before");
}

// What Apply planned for a file, or the snapshot's own copy, is never another program's change:
// an Apply or a Restore cut short leaves nothing a plain restore must be forced over.
TEST_F(SnapshotRestoreTest, ApplysOwnWritesAndTheSnapshotsCopiesAreNeverDrift) {
    BackupManifest manifest = snapshot({desktop, movies}, {});
    const std::string preferences = manifest.finderPlistOriginalPath;
    platform::writeFileAtomically(preferences, asBytes("after"));
    manifest.dsStoreBackups[0].plannedSHA256 = platform::sha256Hex(asBytes("after"));
    manifest.dsStoreBackups[1].plannedSHA256 = platform::sha256Hex(asBytes("planned"));
    platform::writeFileAtomically(movies, asBytes("movies before"));  // never written
    // Without the checksums Apply records at its end, a rewritten file it planned nothing
    // for is drift, as ever.
    auto summary = manager.evaluateRestore(manifest);
    ASSERT_EQ(summary.items.size(), 3u);
    EXPECT_EQ(summary.items[0].statusDescription, kStatusContentChanged);
    EXPECT_EQ(summary.items[1].statusDescription, kStatusSafeToRestore);
    EXPECT_EQ(summary.items[2].statusDescription, kStatusAlreadyRestored);
    EXPECT_FALSE(summary.items[2].isModifiedSinceBackup);
    manifest.finderPlistPlannedSHA256 = platform::sha256Hex(asBytes("after"));
    platform::writeFileAtomically(movies, asBytes("someone else's"));
    summary = manager.evaluateRestore(manifest);
    EXPECT_EQ(summary.items[0].statusDescription, kStatusSafeToRestore);
    EXPECT_EQ(summary.items[2].statusDescription, kStatusDriftDetected);
    EXPECT_TRUE(summary.hasModifications());
}

}  // namespace
}  // namespace lumifold::testing
