#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "core/platform/FileLock.h"
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

TEST_F(FileSystemTest, ReplacingKeepsOwnerBitsAndAttributesAndWritesThroughAFinalLink) {
    const std::string target = home.writeFile("real/target", "old");
    setPermissionBits(target, 0640);
    ASSERT_EQ(::setxattr(target.c_str(), "user.kept", "v", 1, 0), 0) << "no user attributes here";
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(target.c_str(), 4321, 4321), 0);
    }
    ASSERT_EQ(::symlink(target.c_str(), (home / "link").c_str()), 0);

    ReplaceOptions throughLink;
    throughLink.followFinalLink = true;
    EXPECT_TRUE(replaceFile(home / "link", asBytes("new"), throughLink));
    EXPECT_TRUE(isSymbolicLink(home / "link"));
    EXPECT_EQ(asText(readFile(target)), "new");
    EXPECT_EQ(permissionBits(target), 0640u);
    char value[4] = {};
    EXPECT_EQ(::getxattr(target.c_str(), "user.kept", value, sizeof value), 1);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    if (root) {
        EXPECT_EQ(info.st_uid, 4321u);
    }
    // Only our own file is in the target's folder; nothing beside the link.
    EXPECT_EQ(entryCount(home / "real"), 1u);

    EXPECT_LUMIFOLD_ERROR_CODE(replaceFile(home / "link", asBytes("x")), kPosixDomain, ELOOP);
    ASSERT_EQ(::symlink("nowhere", (home / "dangling").c_str()), 0);
    EXPECT_LUMIFOLD_ERROR(
        replaceFile(home / "dangling", asBytes("x"), throughLink), kPosixDomain, ENOENT,
        "Could not write \"" + home / "dangling" + "\": it is a dangling symbolic link");
}

TEST_F(FileSystemTest, ReplacingOnlyWhatStillHoldsThePlannedBytes) {
    const std::string target = home.writeFile("t", "planned");
    const Bytes planned = toBytes(std::string("planned"));
    ReplaceOptions options;
    options.unlessChangedFrom = PlannedContent{true, planned};
    for (const std::string meanwhile : {"another", "planned and more", ""}) {
        home.writeFile("t", meanwhile);
        EXPECT_FALSE(replaceFile(target, asBytes("ours"), options)) << meanwhile;
        EXPECT_EQ(asText(readFile(target)), meanwhile);
    }
    home.writeFile("t", "planned");
    EXPECT_TRUE(replaceFile(target, asBytes("ours"), options));
    EXPECT_EQ(asText(readFile(target)), "ours");
    // Planned as absent: a file that appeared meanwhile is left alone.
    options.unlessChangedFrom = PlannedContent{false, {}};
    EXPECT_FALSE(replaceFile(target, asBytes("x"), options));
    EXPECT_EQ(entryCount(home.path()), 1u);
}

TEST_F(FileSystemTest, ReadsRefuseAnythingButABoundedRegularFileWithoutBlocking) {
    ASSERT_EQ(::mkfifo((home / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", (home / "zero").c_str()), 0);
    EXPECT_LUMIFOLD_ERROR(readFile(home / "fifo"), kPosixDomain, kNotRegularFile,
                          "Could not read \"" + home / "fifo" + "\": it is not a regular file");
    EXPECT_LUMIFOLD_ERROR_CODE(readFile(home / "zero"), kPosixDomain, kNotRegularFile);
    const std::string big = home.writeFile("big", std::string(3 << 20, 'x'));
    EXPECT_LUMIFOLD_ERROR(readFile(big, 2 << 20), kPosixDomain, kFileTooLarge,
                          "Could not read \"" + big + "\": it is larger than 2 MiB");
    EXPECT_EQ(readFile(big).size(), std::size_t{3} << 20);
    // A control character in a path is shown, never printed raw.
    EXPECT_LUMIFOLD_ERROR(readFile(home / "a\nb"), kPosixDomain, ENOENT,
                          "Could not read \"" + home / "a\\x0Ab" + "\": No such file or directory");
}

TEST_F(FileSystemTest, OnlyOurOwnLeftoverFilesAreRemoved) {
    const std::string uuid = makeUuidString();
    const std::vector<std::pair<std::string, bool>> names = {
        {"..DS_Store.tmp." + uuid, true},
        {"...DS_Store.tmp." + uuid + ".tmp." + uuid, true},  // an earlier version's nesting
        {".com.apple.finder.plist.tmp." + uuid, true},
        {".DS_Store.tmp." + uuid, false},  // no dot of its own: not one of ours
        {"..DS_Store.tmp." + uuid + "x", false},
        {"..DS_Store.tmp.not-a-uuid", false},
        {"..other.tmp." + uuid, false},
        {".DS_Store", false},
    };
    for (const auto& [name, ours] : names) {
        EXPECT_EQ(isOwnTemporaryName(name, ".DS_Store") ||
                      isOwnTemporaryName(name, "com.apple.finder.plist"),
                  ours)
            << name;
        home.writeFile("d/" + name, "x");
    }
    // A link carrying our name is not ours to follow or remove.
    ASSERT_EQ(::symlink("/etc/hostname", (home / ("d/..DS_Store.tmp." + makeUuidString())).c_str()),
              0);
    EXPECT_EQ(removeOwnTemporaryFiles(home / "d", {".DS_Store", "com.apple.finder.plist"}), 3u);
    EXPECT_EQ(entryCount(home / "d"), names.size() - 3 + 1);
}

TEST_F(FileSystemTest, ALockIsHeldByOneHolderAtATime) {
    const std::string path = home / "lock";
    {
        auto first = FileLock::tryAcquire(path);
        ASSERT_TRUE(first.has_value());
        EXPECT_FALSE(FileLock::tryAcquire(path).has_value());
    }
    EXPECT_TRUE(FileLock::tryAcquire(path).has_value());
}

TEST_F(FileSystemTest, ListingSkipsHiddenNamesUnlessAskedAndSorts) {
    home.writeFile("d/b", "");
    home.writeFile("d/a", "");
    home.writeFile("d/.DS_Store", "");
    EXPECT_EQ(listDirectory(home / "d"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(listDirectory(home / "d", true), (std::vector<std::string>{".DS_Store", "a", "b"}));
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
