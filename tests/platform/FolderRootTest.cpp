#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "core/platform/FileLock.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

// A home with a real folder tree, a name that links to it, links below it, and a folder
// elsewhere that no write may reach.
class FolderRootTest : public ::testing::Test {
  protected:
    FolderRootTest() {
        home.writeFile("real/a/b/file", "b");
        home.writeFile("real/a/file", "a");
        home.writeFile("elsewhere/file", "elsewhere");
        home.link(home / "real", "viaLink");
        home.link(home / "elsewhere", "real/a/linked");
    }
    // Moves `relative` aside and puts a link to the folder elsewhere in its place.
    void swapForLink(const std::string& relative) const {
        ASSERT_EQ(std::rename((home / relative).c_str(), (home / (relative + ".moved")).c_str()),
                  0);
        home.link(home / "elsewhere", relative);
    }
    bool elsewhereUntouched() const {
        return listDirectory(home / "elsewhere", true) == std::vector<std::string>{"file"} &&
               asText(readFile(home / "elsewhere/file")) == "elsewhere" &&
               hasHiddenExtension(home / "elsewhere/file") == false;
    }

    testing::TempHome home;
};

TEST_F(FolderRootTest, ARootResolvesOnceAndEverythingBelowIsReachedWithoutLinks) {
    const FolderRoot root = FolderRoot::open(home / "viaLink/");
    EXPECT_EQ(root.path(), home / "viaLink");
    EXPECT_EQ(root.resolvedPath(), home / "real");
    EXPECT_EQ(root.openFolder("a/b").path(), home / "viaLink/a/b");
    EXPECT_EQ(root.openFolder("a/b").identity(), fileIdentity(home / "real/a/b"));
    EXPECT_EQ(root.openFolder("").identity(), fileIdentity(home / "real"));
    struct Case {
        const char* relative;
        int code;
    };
    for (const Case& each : std::vector<Case>{
             {"a/linked", kLinkOnTheWay},    // a link at the end
             {"a/linked/x", kLinkOnTheWay},  // a link on the way
             {"a/file", ENOTDIR},
             {"a/missing", ENOENT},
             {"a/../a", EINVAL},
             {"a/./b", EINVAL},
             {"a//b", EINVAL},
             {"/a", EINVAL},
         }) {
        SCOPED_TRACE(each.relative);
        EXPECT_LUMIFOLD_ERROR_CODE((void)root.openFolder(each.relative), kPosixDomain, each.code);
    }
    // The message names the link itself, not the path asked for.
    EXPECT_LUMIFOLD_ERROR((void)root.openFolder("a/linked/x"), kPosixDomain, kLinkOnTheWay,
                          "Could not open \"" + home / "viaLink/a/linked" +
                              "\": it is a symbolic link, which is never followed below a "
                              "chosen folder");
    EXPECT_EQ(root.createFolders("a/new/deeper", 0700).path(), home / "viaLink/a/new/deeper");
    EXPECT_LUMIFOLD_ERROR_CODE((void)root.createFolders("a/linked/made", 0700), kPosixDomain,
                               kLinkOnTheWay);
    EXPECT_TRUE(elsewhereUntouched());

    // A path lies below a root by either of its names, by whole components only.
    for (const auto& [path, relative] : std::vector<std::pair<std::string, const char*>>{
             {home / "viaLink", ""},
             {home / "viaLink/a/b", "a/b"},
             {home / "real/a", "a"},
             {home / "realx/a", nullptr},
             {home / "real/../elsewhere", nullptr},
             {home / "viaLink/a//b", nullptr},
             {home / "elsewhere", nullptr},
         }) {
        SCOPED_TRACE(path);
        EXPECT_EQ(root.relativePathOf(path),
                  relative ? std::optional<std::string>(relative) : std::nullopt);
    }
    EXPECT_EQ(FolderRoot::open("/").relativePathOf("/etc/x"), "etc/x");
}

// A folder is checked and written through one descriptor: a link that takes its place between
// the two leads nowhere.
TEST_F(FolderRootTest, AFolderHeldOpenIsWrittenEvenWhenALinkTakesItsPlace) {
    const FolderRoot root = FolderRoot::open(home.path());
    const OpenFolder folder = root.openFolder("real/a");
    swapForLink("real/a");
    EXPECT_TRUE(replaceFileIn(folder, ".DS_Store", asBytes("store")));
    setHasHiddenExtensionIn(folder, "file", true);
    EXPECT_EQ(asText(readFile(home / "real/a.moved/.DS_Store")), "store");
    EXPECT_EQ(hasHiddenExtension(home / "real/a.moved/file"), true);
    EXPECT_TRUE(elsewhereUntouched());

    // The same when the swap comes while the new file is being written.
    const OpenFolder b = root.openFolder("real/a.moved/b");
    EXPECT_TRUE(replaceFileIn(b, ".DS_Store", [&](const ByteWriter& write) {
        swapForLink("real/a.moved/b");
        write(asBytes("store"));
    }));
    EXPECT_EQ(asText(readFile(home / "real/a.moved/b.moved/.DS_Store")), "store");
    EXPECT_TRUE(elsewhereUntouched());

    // Entries that are links are never written through, nor their flags set.
    EXPECT_LUMIFOLD_ERROR_CODE(replaceFileIn(folder, "linked", asBytes("x")), kPosixDomain, ELOOP);
    EXPECT_LUMIFOLD_ERROR_CODE(setHasHiddenExtensionIn(folder, "linked", true), kPosixDomain,
                               EPERM);
    EXPECT_LUMIFOLD_ERROR_CODE(readFileIn(folder, "linked"), kPosixDomain, kNotRegularFile);
    EXPECT_LUMIFOLD_ERROR_CODE(replaceFileIn(folder, "../x", asBytes("x")), kPosixDomain, EINVAL);
    EXPECT_TRUE(elsewhereUntouched());
}

TEST_F(FolderRootTest, APreferencesFileIsWrittenThroughALinkOnlyToAFileBelowItsRoot) {
    home.writeFile("real/Sync/prefs.plist", "synced");
    home.link(home / "real/Sync/prefs.plist", "real/a/prefs.plist");
    home.link("../Sync/prefs.plist", "real/a/relative.plist");
    home.link(home / "real/a/prefs.plist", "real/a/chain.plist");
    home.link(home / "elsewhere/file", "real/a/out.plist");
    home.link(home / "real/a/gone", "real/a/dangling.plist");
    const FolderRoot root = FolderRoot::open(home / "real");
    for (const char* name : {"prefs.plist", "relative.plist", "chain.plist"}) {
        SCOPED_TRACE(name);
        const FilePlace place = placeFile(root, std::string("a/") + name, true);
        EXPECT_TRUE(place.throughLink);
        EXPECT_EQ(place.path(), home / "real/Sync/prefs.plist");
        EXPECT_LUMIFOLD_ERROR_CODE((void)placeFile(root, std::string("a/") + name, false),
                                   kPosixDomain, kLinkOnTheWay);
    }
    EXPECT_LUMIFOLD_ERROR((void)placeFile(root, "a/out.plist", true), kPosixDomain, kOutsideRoots,
                          "Could not write \"" + home / "real/a/out.plist" +
                              "\": it is a link to \"" + home / "elsewhere/file" +
                              "\", which lies outside \"" + home / "real" + "\"");
    EXPECT_LUMIFOLD_ERROR_CODE((void)placeFile(root, "a/dangling.plist", true), kPosixDomain,
                               ENOENT);
    const FilePlace plain = placeFile(root, "a/file", true);
    EXPECT_FALSE(plain.throughLink);
    EXPECT_EQ(plain.path(), home / "real/a/file");
    EXPECT_EQ(placeFile(root, "made/deeper/new.plist", false, 0700).path(),
              home / "real/made/deeper/new.plist");
    // A path outside the root is placed in its own folder, as its caller chose it.
    EXPECT_EQ(placeFileUnder(home / "real", home / "elsewhere/file", false).path(),
              home / "elsewhere/file");
}

TEST_F(FolderRootTest, BoundsAllowTheirTreesAndTheParentsStoreOnly) {
    home.link(home / "real/a", "chosen");
    WriteBounds bounds;
    bounds.addRoot(home / "real/a/b");
    bounds.addRoot(home / "chosen");  // a chosen folder that is a link works as chosen
    bounds.addFileOnly(home / "real", ".DS_Store");
    for (const auto& [path, allowed] : std::vector<std::pair<std::string, bool>>{
             {home / "real/a/b/.DS_Store", true},
             {home / "real/a/b/c/d/file", true},
             {home / "chosen/.DS_Store", true},
             {home / "chosen/b/file", true},
             {home / "real/.DS_Store", true},
             {home / "real/other", false},
             {home / "real/x/.DS_Store", false},
             {home / "elsewhere/.DS_Store", false},
             {home / "chosen/../elsewhere/file", false},
             {"/etc/.DS_Store", false},
         }) {
        SCOPED_TRACE(path);
        EXPECT_EQ(bounds.allows(path), allowed);
    }
    // The deepest root holding a path reaches it: through the chosen link, not from above it.
    EXPECT_EQ(bounds.openFolderOf(home / "chosen/b/file").identity(),
              fileIdentity(home / "real/a/b"));
    EXPECT_EQ(bounds.openFolderOf(home / "real/.DS_Store").identity(), fileIdentity(home / "real"));
    EXPECT_LUMIFOLD_ERROR_CODE((void)bounds.openFolderOf(home / "chosen/linked/file"), kPosixDomain,
                               kLinkOnTheWay);
    EXPECT_LUMIFOLD_ERROR_CODE((void)bounds.openFolderOf(home / "elsewhere/file"), kPosixDomain,
                               kOutsideRoots);
}

TEST(FileLockTest, ALockFileRemovedWhileHeldStillKeepsOthersOut) {
    const testing::TempHome home;
    const std::string path = home / "lock";
    {
        const auto held = FileLock::tryAcquire(path);
        ASSERT_TRUE(held);
        EXPECT_FALSE(FileLock::tryAcquire(path));
        removeFile(path);
        EXPECT_FALSE(FileLock::tryAcquire(path));
    }
    EXPECT_TRUE(FileLock::tryAcquire(path));
}

// A file made for a share's users: as root only, since only root can give a file away.
TEST(SharedFilesTest, ANewFileTakesItsFoldersOwnerAndTheBitsOfItsNeighbours) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root gives a file its folder's owner";
    struct Case {
        unsigned folder;
        std::vector<unsigned> neighbours;
        unsigned expected;
    };
    for (const Case& each : std::vector<Case>{
             {0775, {}, 0664},                  // no files: the folder's own read and write
             {0777, {0664, 0600, 0664}, 0664},  // what most files have
             {0755, {0666}, 0644},              // never more than the folder lets a class do
             {0777, {0755, 0755}, 0644},        // never executable
             {0777, {0644, 0600}, 0600},        // of equal counts the smaller
         }) {
        testing::TempHome home;
        const std::string folder = home.makeFolder("share");
        for (std::size_t i = 0; i < each.neighbours.size(); ++i) {
            const std::string file = home.writeFile("share/f" + std::to_string(i), "x");
            setPermissionBits(file, each.neighbours[i]);
        }
        setPermissionBits(folder, each.folder);
        ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
        const FolderRoot root = FolderRoot::open(folder);
        ReplaceOptions options;
        options.belongsToFolderWhenNew = true;
        ASSERT_TRUE(replaceFileIn(root.folder(), ".DS_Store", asBytes("new"), options));
        struct stat made {};
        ASSERT_EQ(::stat((folder + "/.DS_Store").c_str(), &made), 0);
        EXPECT_EQ(made.st_mode & 07777, each.expected) << std::oct << each.folder;
        EXPECT_EQ(made.st_uid, 65534u);
        EXPECT_EQ(made.st_gid, 65534u);
    }
}

}  // namespace
}  // namespace lumifold::platform
