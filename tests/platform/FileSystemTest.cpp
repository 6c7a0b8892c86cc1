#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/Uuid.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

// Every entry of the folder, hidden ones too, so a left-over temporary file shows.
std::size_t entryCount(const std::string& folder) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

class FileSystemTest : public ::testing::Test {
  protected:
    testing::TempHome home;
};

TEST_F(FileSystemTest, AtomicWriteReplacesContentKeepsOrSetsBitsAndLeavesNoTemporaryFile) {
    const std::string kept = home.writeFile("a/kept", "old content");
    setPermissionBits(kept, 0640);
    writeFileAtomically(kept, asBytes("new"));
    EXPECT_EQ(asText(readFile(kept)), "new");
    EXPECT_EQ(permissionBits(kept), 0640u);

    // Given bits are exactly the result, for a new target and for a wider existing one.
    writeFileAtomically(home / "a/fresh", asBytes("secret"), 0600);
    EXPECT_EQ(permissionBits(home / "a/fresh"), 0600u);
    const std::string wide = home.writeFile("a/wide", "old");
    setPermissionBits(wide, 0644);
    writeFileAtomically(wide, asBytes("new"), 0600);
    EXPECT_EQ(permissionBits(wide), 0600u);
    EXPECT_EQ(asText(readFile(wide)), "new");
    EXPECT_EQ(entryCount(home / "a"), 3u);
}

TEST_F(FileSystemTest, ReplaceItemKeepsTheTargetsBitsOrMovesOntoAMissingTarget) {
    const std::string target = home.writeFile("target", "old");
    const std::string replacement = home.writeFile("replacement", "new");
    setPermissionBits(target, 0600);
    setPermissionBits(replacement, 0644);
    replaceItem(target, replacement);
    EXPECT_EQ(asText(readFile(target)), "new");
    EXPECT_EQ(permissionBits(target), 0600u);
    EXPECT_FALSE(fileExists(replacement));

    replaceItem(home / "fresh", home.writeFile("replacement", "newer"));
    EXPECT_EQ(asText(readFile(home / "fresh")), "newer");
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

TEST_F(FileSystemTest, FoldersAreCreatedWithTheModeAndClaimedExclusivelyOnce) {
    const std::string path = home / "x/y/z";
    createDirectories(path, 0700);
    createDirectories(path, 0700);  // a second call is harmless
    EXPECT_EQ(permissionBits(path).value() & 0077, 0u);

    const std::string claimed = home / "claimed";
    EXPECT_TRUE(createDirectoryExclusively(claimed, 0700));
    EXPECT_EQ(permissionBits(claimed).value() & 0077, 0u);
    EXPECT_FALSE(createDirectoryExclusively(claimed, 0700));
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
