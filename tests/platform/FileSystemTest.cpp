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

class FileSystemTest : public ::testing::Test {
  protected:
    // Every name in the folder, hidden ones too, so a left-over temporary file shows.
    std::vector<std::string> names(const std::string& folder) const {
        return listDirectory(home / folder, true);
    }
    void link(const std::string& target, const std::string& at) const {
        ASSERT_EQ(::symlink(target.c_str(), (home / at).c_str()), 0) << at;
    }
    testing::TempHome home;
};

TEST_F(FileSystemTest, AtomicWriteKeepsTheTargetsBitsUnlessGivenAndLeavesNoTemporaryFile) {
    const std::string kept = home.writeFile("a/kept", "old content");
    setPermissionBits(kept, 0640);
    writeFileAtomically(kept, asBytes("new"));
    EXPECT_EQ(asText(readFile(kept)), "new");
    EXPECT_EQ(permissionBits(kept), 0640u);
    // Given bits are exactly the result, for a new target and for a wider existing one.
    writeFileAtomically(home / "a/fresh", asBytes("secret"), 0600);
    EXPECT_EQ(permissionBits(home / "a/fresh"), 0600u);
    setPermissionBits(kept, 0644);
    writeFileAtomically(kept, asBytes("newer"), 0600);
    EXPECT_EQ(permissionBits(kept), 0600u);
    EXPECT_EQ(names("a"), (std::vector<std::string>{"fresh", "kept"}));
}

TEST_F(FileSystemTest, ReplacingKeepsOwnerBitsAndAttributesAndWritesThroughAFinalLink) {
    const std::string target = home.writeFile("real/target", "old");
    setPermissionBits(target, 0640);
    ASSERT_EQ(::setxattr(target.c_str(), "user.kept", "v", 1, 0), 0) << "no user attributes here";
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(target.c_str(), 4321, 4321), 0);
    }
    link(target, "link");
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
    EXPECT_EQ(names("real"), std::vector<std::string>{"target"});

    EXPECT_LUMIFOLD_ERROR_CODE(replaceFile(home / "link", asBytes("x")), kPosixDomain, ELOOP);
    link("nowhere", "dangling");
    EXPECT_LUMIFOLD_ERROR(
        replaceFile(home / "dangling", asBytes("x"), throughLink), kPosixDomain, ENOENT,
        "Could not write \"" + home / "dangling" + "\": it is a dangling symbolic link");
}

TEST_F(FileSystemTest, ReplacingOnlyWhatStillHoldsThePlannedBytes) {
    const std::string target = home.writeFile("t", "planned");
    const Bytes planned = toBytes("planned");
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
    EXPECT_EQ(names(""), std::vector<std::string>{"t"});
}

TEST_F(FileSystemTest, ReadsRefuseAnythingButABoundedRegularFileWithoutBlocking) {
    ASSERT_EQ(::mkfifo((home / "fifo").c_str(), 0600), 0);
    link("/dev/zero", "zero");
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
    const std::vector<std::pair<std::string, bool>> cases = {
        {"..DS_Store.tmp." + uuid, true},
        {"...DS_Store.tmp." + uuid + ".tmp." + uuid, true},  // an earlier version's nesting
        {".com.apple.finder.plist.tmp." + uuid, true},
        {".DS_Store.tmp." + uuid, false},  // no dot of its own: not one of ours
        {"..DS_Store.tmp." + uuid + "x", false},
        {"..DS_Store.tmp.not-a-uuid", false},
        {"..other.tmp." + uuid, false},
        {".DS_Store", false},
    };
    for (const auto& [name, ours] : cases) {
        EXPECT_EQ(isOwnTemporaryName(name, ".DS_Store") ||
                      isOwnTemporaryName(name, "com.apple.finder.plist"),
                  ours)
            << name;
        home.writeFile("d/" + name, "x");
    }
    // A link carrying our name is not ours to follow or remove.
    link("/etc/hostname", "d/..DS_Store.tmp." + makeUuidString());
    EXPECT_EQ(removeOwnTemporaryFiles(home / "d", {".DS_Store", "com.apple.finder.plist"}), 3u);
    EXPECT_EQ(names("d").size(), cases.size() - 3 + 1);
}

TEST_F(FileSystemTest, FoldersLinksListingsAndLocks) {
    const std::string path = home / "x/y/z";
    createDirectories(path, 0700);
    createDirectories(path, 0700);  // a second call is harmless
    EXPECT_EQ(permissionBits(path).value() & 0077, 0u);
    const std::string claimed = home / "claimed";
    EXPECT_TRUE(createDirectoryExclusively(claimed, 0700));
    EXPECT_EQ(permissionBits(claimed).value() & 0077, 0u);
    EXPECT_FALSE(createDirectoryExclusively(claimed, 0700));
    EXPECT_FALSE(createDirectoryExclusively(home.writeFile("plain", "x"), 0700));
    EXPECT_LUMIFOLD_ERROR_CODE(createDirectoryExclusively(home / "missing/child", 0700),
                               kPosixDomain, ENOENT);

    home.writeFile("claimed/b", "");
    home.writeFile("claimed/.DS_Store", "");
    link(claimed, "link");
    EXPECT_EQ(listDirectory(home / "link"), std::vector<std::string>{"b"});
    EXPECT_EQ(listDirectory(claimed, true), (std::vector<std::string>{".DS_Store", "b"}));
    EXPECT_TRUE(isSymbolicLink(home / "link"));
    EXPECT_FALSE(isSymbolicLink(claimed));
    EXPECT_EQ(resolveSymbolicLinks(home / "link"), claimed);
    EXPECT_EQ(fileIdentity(home / "link"), fileIdentity(claimed));
    EXPECT_EQ(resolveSymbolicLinks(home / "nowhere"), home / "nowhere");
    EXPECT_FALSE(fileIdentity(home / "nowhere").has_value());

    {
        auto first = FileLock::tryAcquire(home / "lock");
        ASSERT_TRUE(first.has_value());
        EXPECT_FALSE(FileLock::tryAcquire(home / "lock").has_value());
    }
    EXPECT_TRUE(FileLock::tryAcquire(home / "lock").has_value());

    // Version 4, upper case, fresh each time.
    const std::string uuid = makeUuidString();
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_EQ(uuid.substr(14, 1) + uuid[8], "4-");
    EXPECT_NE(std::string("89AB").find(uuid[19]), std::string::npos);
    EXPECT_EQ(uuid.find_first_of("abcdef"), std::string::npos);
    EXPECT_NE(makeUuidString(), uuid);
}

}  // namespace
}  // namespace lumifold::platform
