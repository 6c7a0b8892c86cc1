#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <functional>
#include <optional>
#include <string>

#include "core/platform/Descriptor.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/Sha256.h"
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
    testing::TempHome home;
};

TEST_F(FileSystemTest, ReplacingKeepsBitsOwnerAndAttributesAndReplacesOnlyAFile) {
    const std::string target = home.writeFile("real/target", "old");
    setPermissionBits(target, 0640);
    ASSERT_EQ(::setxattr(target.c_str(), "user.kept", "v", 1, 0), 0) << "no user attributes here";
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(target.c_str(), 4321, 4321), 0);
    }
    // While the content is written, the temporary file is no more readable than the result.
    unsigned temporaryBits = 0777;
    EXPECT_TRUE(replaceFileWith(target, [&](const ByteWriter& write) {
        for (const std::string& name : names("real")) {
            if (name != "target") temporaryBits = permissionBits(home / ("real/" + name)).value();
        }
        write(asBytes("new"));
    }));
    EXPECT_EQ(temporaryBits & ~0640u, 0u);
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
    writeFileAtomically(target, asBytes("newer"), 0600);  // given bits are exactly the result
    EXPECT_EQ(permissionBits(target), 0600u);

    // A link or a FIFO at the target is refused, never followed or replaced.
    home.link(target, "link");
    EXPECT_LUMIFOLD_ERROR_CODE(replaceFile(home / "link", asBytes("x")), kPosixDomain, ELOOP);
    ASSERT_EQ(::mkfifo((home / "fifo").c_str(), 0600), 0);
    EXPECT_LUMIFOLD_ERROR_CODE(replaceFile(home / "fifo", asBytes("x")), kPosixDomain,
                               kNotRegularFile);
    EXPECT_EQ(asText(readFile(target)), "newer");
    EXPECT_EQ(entryType(home / "fifo"), EntryType::other);
}

// Another writer that acts while ours is being written keeps what it wrote, however it wrote
// it: our file is swapped in and what it displaced compared in one step.
TEST_F(FileSystemTest, ReplacingOnlyWhatStillHoldsThePlannedBytes) {
    const std::string target = home / "t";
    const std::string victim = home.writeFile("victim", "planned");
    const Bytes planned = toBytes("planned");
    ReplaceOptions options;
    options.unlessChangedFrom = PlannedContent{true, planned};
    struct Case {
        const char* what;
        std::function<void()> meanwhile;
        std::string left;  // the target's content afterwards
    };
    const std::vector<Case> cases{
        {"written in place", [&] { home.writeFile("t", "another"); }, "another"},
        {"grown", [&] { home.writeFile("t", "planned and more"); }, "planned and more"},
        {"emptied", [&] { home.writeFile("t", ""); }, ""},
        {"replaced by rename", [&] { replaceFile(target, asBytes("renamed over")); },
         "renamed over"},
        {"a link to a file holding the planned bytes", [&] { home.link(victim, "t"); }, "planned"},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.what);
        if (entryType(target)) removeFile(target);
        home.writeFile("t", "planned");
        EXPECT_FALSE(replaceFileWith(
            target,
            [&](const ByteWriter& write) {
                each.meanwhile();
                write(asBytes("ours"));
            },
            options));
        EXPECT_EQ(asText(readFile(target)), each.left);
        EXPECT_EQ(names("").size(), 2u);  // the target and the victim: no temporary file left
    }
    EXPECT_TRUE(isSymbolicLink(target));
    EXPECT_EQ(asText(readFile(victim)), "planned");
    removeFile(target);
    home.writeFile("t", "planned");
    EXPECT_TRUE(replaceFile(target, asBytes("ours"), options));
    EXPECT_EQ(asText(readFile(target)), "ours");
    // Planned as absent: a file that appeared meanwhile is left alone.
    options.unlessChangedFrom = PlannedContent{false, {}};
    EXPECT_FALSE(replaceFile(target, asBytes("x"), options));
    EXPECT_EQ(asText(readFile(target)), "ours");
    removeFile(target);
    EXPECT_TRUE(replaceFile(target, asBytes("new"), options));
    EXPECT_EQ(asText(readFile(target)), "new");
}

TEST_F(FileSystemTest, ReadsRefuseAnythingButABoundedRegularFileWithoutOpeningIt) {
    ASSERT_EQ(::mkfifo((home / "fifo").c_str(), 0600), 0);
    home.link("/dev/zero", "zero");
    home.link(home / "fifo", "to-fifo");
    // Opening a FIFO wakes its writer, opening a device can act: neither is opened, even
    // through a link (inotify sees every open but one that only names a place).
    const Descriptor opens(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(::inotify_add_watch(opens.get(), (home / "fifo").c_str(), IN_OPEN), 0);
    EXPECT_LUMIFOLD_ERROR_CODE(readFile(home / "fifo"), kPosixDomain, kNotRegularFile);
    EXPECT_LUMIFOLD_ERROR_CODE(readFile(home / "to-fifo"), kPosixDomain, kNotRegularFile);
    EXPECT_LUMIFOLD_ERROR_CODE(readFile(home / "zero"), kPosixDomain, kNotRegularFile);
    std::array<char, 4096> events{};
    EXPECT_LT(::read(opens.get(), events.data(), events.size()), 0) << "the FIFO was opened";
    const std::string big = home.writeFile("big", std::string(3 << 20, 'x'));
    EXPECT_LUMIFOLD_ERROR(readFile(big, 2 << 20), kPosixDomain, kFileTooLarge,
                          "Could not read \"" + big + "\": it is larger than 2 MiB");
    EXPECT_EQ(readFile(big).size(), std::size_t{3} << 20);
    // A control character in a path is shown, never printed raw.
    EXPECT_LUMIFOLD_ERROR(readFile(home / "a\nb"), kPosixDomain, ENOENT,
                          "Could not read \"" + home / "a\\x0Ab" + "\": No such file or directory");
}

TEST_F(FileSystemTest, NewFilesGetExactlyTheirBitsAndNeverGoOverAnything) {
    const std::string folder = home.makeFolder("copies");
    home.writeFile("copies/taken", "theirs");
    home.link(home / "elsewhere", "copies/link");
    const mode_t umask = ::umask(077);
    std::vector<std::string> written;
    {
        const testing::FewDescriptors few(300);  // a snapshot of thousands of stores
        NewFiles files(folder);
        for (int i = 0; i < 1000; ++i) {
            written.push_back("copy " + std::to_string(10000 + i));
            files.write(written.back(), asBytes(written.back()), 0640);
        }
        EXPECT_LUMIFOLD_ERROR(files.write("taken", asBytes("ours"), 0600), kPosixDomain, EEXIST,
                              "Could not write \"" + home / "copies/taken" + "\": File exists");
        EXPECT_LUMIFOLD_ERROR_CODE(files.write("link", asBytes("ours"), 0600), kPosixDomain,
                                   EEXIST);
        files.flush();
    }
    ::umask(umask);
    for (const std::string& name : written) {
        EXPECT_EQ(asText(readFile(folder + "/" + name)), name);
        EXPECT_EQ(permissionBits(folder + "/" + name), 0640u);
    }
    EXPECT_EQ(asText(readFile(folder + "/taken")), "theirs");
    EXPECT_FALSE(fileExists(home / "elsewhere"));
    EXPECT_EQ(names("copies").size(), written.size() + 2);
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
    home.link("/etc/hostname", "d/..DS_Store.tmp." + makeUuidString());
    EXPECT_EQ(removeOwnTemporaryFiles(home / "d", {".DS_Store", "com.apple.finder.plist"}), 3u);
    EXPECT_EQ(names("d").size(), cases.size() - 3 + 1);
}

constexpr const char* kAttribute = FinderInfoFormat::kAttributeName;

// The FinderInfo bytes are read directly.
class FileMetadataTest : public FileSystemTest {
  protected:
    std::optional<std::string> finderInfo(const std::string& path) const {
        char buffer[256];
        const ssize_t length = ::lgetxattr(path.c_str(), kAttribute, buffer, sizeof buffer);
        if (length < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(length));
    }

    std::string file = home.writeFile("Documents/report.txt", "text");
};

TEST_F(FileMetadataTest, FoldersCarryTheFlagAndLinksAreNeverFollowed) {
    const std::string folder = home.makeFolder("Pictures");
    setHasHiddenExtension(folder, true);
    const FileMetadata metadata = fileMetadata(folder).value();
    EXPECT_TRUE(metadata.isDirectory && metadata.hasHiddenExtension);

    setHasHiddenExtension(file, true);
    const std::string fileLink = home.link(file, "link.txt");
    const std::string folderLink = home.link(home.makeFolder("Real.app"), "Linked.app");
    EXPECT_TRUE(fileMetadata(fileLink).value().isSymbolicLink);
    EXPECT_FALSE(fileMetadata(fileLink).value().hasHiddenExtension);  // the target's, not its
    EXPECT_FALSE(fileMetadata(folderLink).value().isDirectory);
    EXPECT_FALSE(isPackage(folderLink));
    setHasHiddenExtension(file, false);
    EXPECT_LUMIFOLD_ERROR_CODE(setHasHiddenExtension(fileLink, true), kPosixDomain, EPERM);
    EXPECT_EQ(finderInfo(file), std::nullopt);

    EXPECT_EQ(hasHiddenExtension(home / "missing"), std::nullopt);
    EXPECT_LUMIFOLD_ERROR_CODE(setHasHiddenExtension(home / "missing", true), kPosixDomain, ENOENT);
}

TEST(Sha256Test, MatchesPublishedDigestsInLowerCaseHex) {
    EXPECT_EQ(sha256Hex(asBytes("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex(asBytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
}  // namespace lumifold::platform
