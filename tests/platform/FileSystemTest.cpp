#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/Uuid.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

// Names starting with "." that listDirectory leaves out.
std::vector<std::string> hiddenNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name[0] == '.') names.push_back(name);
    }
    if (dir) ::closedir(dir);
    return names;
}

class FileSystemTest : public ::testing::Test {
  protected:
    testing::TempHome home;
};

TEST_F(FileSystemTest, AtomicWriteReplacesContentAndLeavesNoTemporaryFile) {
    const std::string path = home.writeFile("a/file", "old content");
    writeFileAtomically(path, asBytes("new"));
    EXPECT_EQ(asText(readFile(path)), "new");
    EXPECT_EQ(listDirectory(home / "a"), std::vector<std::string>{"file"});
    EXPECT_EQ(hiddenNames(home / "a"), std::vector<std::string>{});
}

TEST_F(FileSystemTest, AtomicWriteKeepsTheTargetsPermissionBits) {
    const std::string path = home.writeFile("f", "x");
    setPermissionBits(path, 0640);
    writeFileAtomically(path, asBytes("y"));
    EXPECT_EQ(permissionBits(path), 0640u);
}

TEST_F(FileSystemTest, ReplaceItemGivesTheReplacementTheTargetsBits) {
    const std::string target = home.writeFile("target", "old");
    const std::string replacement = home.writeFile("replacement", "new");
    setPermissionBits(target, 0600);
    setPermissionBits(replacement, 0644);
    replaceItem(target, replacement);
    EXPECT_EQ(asText(readFile(target)), "new");
    EXPECT_EQ(permissionBits(target), 0600u);
    EXPECT_FALSE(fileExists(replacement));
}

TEST_F(FileSystemTest, ReplaceItemOntoAMissingTargetMovesTheFile) {
    const std::string replacement = home.writeFile("replacement", "new");
    replaceItem(home / "fresh", replacement);
    EXPECT_EQ(asText(readFile(home / "fresh")), "new");
}

TEST_F(FileSystemTest, FailuresNameTheOperationAndThePath) {
    const std::string missing = home / "missing";
    EXPECT_LUMIFOLD_ERROR(readFile(missing), "POSIX", ENOENT,
                          "Could not read \"" + missing + "\": No such file or directory");
    EXPECT_LUMIFOLD_ERROR_CODE(writeFileAtomically(home / "no/such/folder/f", asBytes("x")),
                               "POSIX", ENOENT);
    EXPECT_LUMIFOLD_ERROR_CODE(readFile(home.path()), "POSIX", EISDIR);
}

TEST_F(FileSystemTest, ListingSkipsHiddenNamesAndSorts) {
    home.writeFile("d/b", "");
    home.writeFile("d/a", "");
    home.writeFile("d/.DS_Store", "");
    EXPECT_EQ(listDirectory(home / "d"), (std::vector<std::string>{"a", "b"}));
}

TEST_F(FileSystemTest, SymbolicLinksResolveAndShareIdentity) {
    const std::string real = home.makeFolder("real");
    ASSERT_EQ(::symlink(real.c_str(), (home / "link").c_str()), 0);
    EXPECT_TRUE(isSymbolicLink(home / "link"));
    EXPECT_FALSE(isSymbolicLink(real));
    EXPECT_EQ(resolveSymbolicLinks(home / "link"), real);
    EXPECT_EQ(fileIdentity(home / "link"), fileIdentity(real));
    EXPECT_EQ(resolveSymbolicLinks(home / "nowhere"), home / "nowhere");
    EXPECT_FALSE(fileIdentity(home / "nowhere").has_value());
}

TEST_F(FileSystemTest, CreateDirectoriesAppliesTheMode) {
    const std::string path = home / "x/y/z";
    createDirectories(path, 0700);
    EXPECT_TRUE(isDirectory(path));
    EXPECT_EQ(permissionBits(path).value() & 0077, 0u);
    createDirectories(path, 0700);  // a second call is harmless
}

TEST_F(FileSystemTest, AtomicWriteWithBitsSetsExactlyThoseBits) {
    const std::string fresh = home / "fresh";
    writeFileAtomically(fresh, asBytes("secret"), 0600);
    EXPECT_EQ(permissionBits(fresh), 0600u);
    EXPECT_EQ(asText(readFile(fresh)), "secret");

    // An existing, wider target does not pass its bits on.
    const std::string wide = home.writeFile("wide", "old");
    setPermissionBits(wide, 0644);
    writeFileAtomically(wide, asBytes("new"), 0600);
    EXPECT_EQ(permissionBits(wide), 0600u);
    EXPECT_EQ(asText(readFile(wide)), "new");
    EXPECT_EQ(hiddenNames(home.path()), std::vector<std::string>{});
}

TEST_F(FileSystemTest, ExclusiveFolderCreationClaimsAFolderOnce) {
    const std::string path = home / "claimed";
    EXPECT_TRUE(createDirectoryExclusively(path, 0700));
    EXPECT_TRUE(isDirectory(path));
    EXPECT_EQ(permissionBits(path).value() & 0077, 0u);
    EXPECT_FALSE(createDirectoryExclusively(path, 0700));
    // A plain file in the way is "already there" too.
    EXPECT_FALSE(createDirectoryExclusively(home.writeFile("plain", "x"), 0700));
    EXPECT_LUMIFOLD_ERROR_CODE(createDirectoryExclusively(home / "missing/child", 0700),
                               kPosixDomain, ENOENT);
}

TEST(UuidTest, IsVersionFourUpperCase) {
    const std::string uuid = makeUuidString();
    ASSERT_EQ(uuid.size(), 36u);
    EXPECT_EQ(uuid[8], '-');
    EXPECT_EQ(uuid[14], '4');
    EXPECT_NE(std::string("89AB").find(uuid[19]), std::string::npos);
    EXPECT_EQ(uuid.find_first_of("abcdef"), std::string::npos);
    EXPECT_NE(makeUuidString(), uuid);
}

}  // namespace
}  // namespace lumifold::platform
