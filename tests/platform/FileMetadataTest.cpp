#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "core/platform/FileMetadata.h"
#include "core/platform/PosixError.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

constexpr const char* kAttribute = FinderInfoFormat::kAttributeName;

// Real files in a temporary home; the FinderInfo bytes are read and planted directly.
class FileMetadataTest : public ::testing::Test {
  protected:
    void SetUp() override {
        file = home.writeFile("Documents/report.txt", "text");
        const char probe = 0;
        if (::setxattr(file.c_str(), "user.lumifold.probe", &probe, 1, 0) != 0 &&
            errno == ENOTSUP) {
            GTEST_SKIP() << "the file system under " << home.path()
                         << " keeps no user extended attributes";
        }
        ::removexattr(file.c_str(), "user.lumifold.probe");
    }

    std::optional<std::string> finderInfo(const std::string& path) const {
        char buffer[256];
        const ssize_t length = ::lgetxattr(path.c_str(), kAttribute, buffer, sizeof buffer);
        if (length < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(length));
    }

    void plantFinderInfo(const std::string& path, const std::string& bytes) const {
        ASSERT_EQ(::setxattr(path.c_str(), kAttribute, bytes.data(), bytes.size(), 0), 0)
            << "setxattr " << path;
    }

    // 32 distinct bytes with finder flags 0x4A2F at offset 8, hidden-extension bit clear.
    static std::string busyRecord() {
        std::string bytes;
        for (int i = 0; i < 32; ++i) bytes.push_back(static_cast<char>(0xA0 + i));
        bytes[8] = '\x4A';
        bytes[9] = '\x2F';
        return bytes;
    }

    testing::TempHome home;
    std::string file;
};

TEST_F(FileMetadataTest, FileWithoutARecordIsNotHidden) {
    EXPECT_EQ(hasHiddenExtension(file), false);
    EXPECT_EQ(finderInfo(file), std::nullopt);
}

TEST_F(FileMetadataTest, HidingCreatesAZeroedRecordWithOnlyTheFlag) {
    setHasHiddenExtension(file, true);
    EXPECT_EQ(hasHiddenExtension(file), true);
    std::string expected(32, '\0');
    expected[9] = '\x10';
    EXPECT_EQ(finderInfo(file), expected);

    setHasHiddenExtension(file, false);
    EXPECT_EQ(hasHiddenExtension(file), false);
    EXPECT_EQ(finderInfo(file), std::string(32, '\0'));
}

TEST_F(FileMetadataTest, ClearingAnAbsentFlagWritesNothing) {
    setHasHiddenExtension(file, false);
    EXPECT_EQ(finderInfo(file), std::nullopt);
}

TEST_F(FileMetadataTest, FlagChangesKeepEveryOtherByte) {
    const std::string original = busyRecord();
    plantFinderInfo(file, original);
    EXPECT_EQ(hasHiddenExtension(file), false);

    setHasHiddenExtension(file, true);
    std::string hidden = original;
    hidden[9] = '\x3F';
    EXPECT_EQ(finderInfo(file), hidden);
    EXPECT_EQ(hasHiddenExtension(file), true);

    setHasHiddenExtension(file, false);
    EXPECT_EQ(finderInfo(file), original);
}

TEST_F(FileMetadataTest, ReadsTheBigEndianFlagsOnly) {
    std::string record(32, '\0');
    record[8] = '\x10';  // 0x1000 in the high byte is not the hidden-extension bit
    record[12] = '\x10';
    plantFinderInfo(file, record);
    EXPECT_EQ(hasHiddenExtension(file), false);
}

TEST_F(FileMetadataTest, MalformedRecordReadsNotHiddenAndIsNeverRewritten) {
    for (const std::string& malformed : {std::string(16, '\x10'), std::string(40, '\x10')}) {
        SCOPED_TRACE(malformed.size());
        plantFinderInfo(file, malformed);
        EXPECT_EQ(hasHiddenExtension(file), false);
        EXPECT_LUMIFOLD_ERROR_CODE(setHasHiddenExtension(file, true), kPosixDomain, EINVAL);
        EXPECT_LUMIFOLD_ERROR_CODE(setHasHiddenExtension(file, false), kPosixDomain, EINVAL);
        EXPECT_EQ(finderInfo(file), malformed);
    }
}

TEST_F(FileMetadataTest, DirectoriesCarryTheFlagToo) {
    const std::string folder = home.makeFolder("Pictures");
    setHasHiddenExtension(folder, true);
    EXPECT_EQ(hasHiddenExtension(folder), true);
    const auto metadata = fileMetadata(folder);
    ASSERT_TRUE(metadata);
    EXPECT_TRUE(metadata->isDirectory);
    EXPECT_FALSE(metadata->isPackage);
    EXPECT_TRUE(metadata->hasHiddenExtension);
}

TEST_F(FileMetadataTest, SymbolicLinkIsDescribedAsItselfNotItsTarget) {
    setHasHiddenExtension(file, true);
    const std::string fileLink = home / "link.txt";
    const std::string folderLink = home / "Linked.app";
    ASSERT_EQ(::symlink(file.c_str(), fileLink.c_str()), 0);
    ASSERT_EQ(::symlink(home.makeFolder("Real.app").c_str(), folderLink.c_str()), 0);

    const auto linkMetadata = fileMetadata(fileLink);
    ASSERT_TRUE(linkMetadata);
    EXPECT_TRUE(linkMetadata->isSymbolicLink);
    EXPECT_FALSE(linkMetadata->hasHiddenExtension);  // the target's flag is not the link's
    EXPECT_EQ(hasHiddenExtension(fileLink), false);

    const auto folderLinkMetadata = fileMetadata(folderLink);
    ASSERT_TRUE(folderLinkMetadata);
    EXPECT_TRUE(folderLinkMetadata->isSymbolicLink);
    EXPECT_FALSE(folderLinkMetadata->isDirectory);
    EXPECT_FALSE(isPackage(folderLink));
    EXPECT_TRUE(isPackage(home / "Real.app"));
}

TEST_F(FileMetadataTest, SettingTheFlagThroughALinkLeavesTheTargetAlone) {
    const std::string link = home / "link.txt";
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    EXPECT_LUMIFOLD_ERROR_CODE(setHasHiddenExtension(link, true), kPosixDomain, EPERM);
    EXPECT_EQ(finderInfo(file), std::nullopt);
}

TEST_F(FileMetadataTest, PackagesAreDirectoriesWithAPackageExtensionOrTheBundleFlag) {
    EXPECT_TRUE(isPackage(home.makeFolder("Applications/Editor.app")));
    EXPECT_TRUE(isPackage(home.makeFolder("Notes.RTFD")));
    EXPECT_TRUE(isPackage(home.makeFolder("Tool.xcodeproj")));
    EXPECT_FALSE(isPackage(home.makeFolder("Projects")));
    EXPECT_FALSE(isPackage(home.makeFolder("Folder.apps")));
    EXPECT_FALSE(isPackage(home.makeFolder(".app")));
    EXPECT_FALSE(isPackage(home.writeFile("Installer.pkg", "not a folder")));

    const std::string flagged = home.makeFolder("Flagged");
    std::string record(32, '\0');
    record[8] = '\x20';  // bundle bit 0x2000
    plantFinderInfo(flagged, record);
    EXPECT_TRUE(isPackage(flagged));
}

TEST_F(FileMetadataTest, MissingItemCannotBeExamined) {
    const std::string missing = home / "Documents/missing.txt";
    EXPECT_EQ(fileMetadata(missing), std::nullopt);
    EXPECT_EQ(hasHiddenExtension(missing), std::nullopt);
    EXPECT_FALSE(isPackage(missing));
    EXPECT_LUMIFOLD_ERROR(setHasHiddenExtension(missing, true), kPosixDomain, ENOENT,
                          "Could not set the hidden-extension flag of \"" + missing +
                              "\": No such file or directory");
}

TEST_F(FileMetadataTest, LocalItemsAreNotCloudItems) {
    const auto metadata = fileMetadata(file);
    ASSERT_TRUE(metadata);
    EXPECT_FALSE(metadata->isUbiquitousItem);
    EXPECT_EQ(metadata->ubiquitousItemDownloadingStatus, std::nullopt);
    EXPECT_FALSE(isUbiquitousItem(file));
    EXPECT_EQ(ubiquitousItemDownloadingStatus(file), std::nullopt);
}

}  // namespace
}  // namespace lumifold::platform
