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

    testing::TempHome home;
    std::string file;
};

TEST_F(FileMetadataTest, HidingCreatesAZeroedRecordWithOnlyTheFlagAndClearingRemovesIt) {
    // Clearing an absent flag writes nothing.
    setHasHiddenExtension(file, false);
    EXPECT_EQ(hasHiddenExtension(file), false);
    EXPECT_EQ(finderInfo(file), std::nullopt);

    setHasHiddenExtension(file, true);
    EXPECT_EQ(hasHiddenExtension(file), true);
    std::string expected(32, '\0');
    expected[9] = '\x10';
    EXPECT_EQ(finderInfo(file), expected);

    // A record left all zero says nothing an absent one does not: it goes, as it came.
    setHasHiddenExtension(file, false);
    EXPECT_EQ(hasHiddenExtension(file), false);
    EXPECT_EQ(finderInfo(file), std::nullopt);
}

TEST_F(FileMetadataTest, FlagChangesKeepEveryOtherByte) {
    // Busy bytes with big-endian finder flags 0x5A2F: neither 0x1000 in the high byte nor 0x10
    // in the bytes past the flags is the hidden-extension bit.
    std::string original;
    for (int i = 0; i < 32; ++i) original.push_back(static_cast<char>(0xA0 + i));
    original[8] = '\x5A';
    original[9] = '\x2F';
    original[12] = '\x10';
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
    const FileMetadata metadata = fileMetadata(folder).value();
    EXPECT_TRUE(metadata.isDirectory);
    EXPECT_FALSE(metadata.isPackage);
    EXPECT_TRUE(metadata.hasHiddenExtension);
    // Local items are never cloud items.
    EXPECT_FALSE(metadata.isUbiquitousItem);
    EXPECT_EQ(metadata.ubiquitousItemDownloadingStatus, std::nullopt);
}

TEST_F(FileMetadataTest, SymbolicLinksAreDescribedAsThemselvesAndNeverFollowed) {
    setHasHiddenExtension(file, true);
    const std::string fileLink = home / "link.txt";
    const std::string folderLink = home / "Linked.app";
    ASSERT_EQ(::symlink(file.c_str(), fileLink.c_str()), 0);
    ASSERT_EQ(::symlink(home.makeFolder("Real.app").c_str(), folderLink.c_str()), 0);

    EXPECT_TRUE(fileMetadata(fileLink).value().isSymbolicLink);
    // The target's flag is not the link's.
    EXPECT_FALSE(fileMetadata(fileLink).value().hasHiddenExtension);
    EXPECT_EQ(hasHiddenExtension(fileLink), false);
    EXPECT_TRUE(fileMetadata(folderLink).value().isSymbolicLink);
    EXPECT_FALSE(fileMetadata(folderLink).value().isDirectory);
    EXPECT_FALSE(isPackage(folderLink));

    // Setting the flag through a link leaves the target alone.
    setHasHiddenExtension(file, false);
    EXPECT_LUMIFOLD_ERROR_CODE(setHasHiddenExtension(fileLink, true), kPosixDomain, EPERM);
    EXPECT_EQ(finderInfo(file), std::nullopt);
}

TEST_F(FileMetadataTest, PackagesAreDirectoriesWithAPackageExtensionOrTheBundleFlag) {
    for (const auto& [name, package] :
         {std::pair{"Applications/Editor.app", true}, std::pair{"Notes.RTFD", true},
          std::pair{"Tool.xcodeproj", true}, std::pair{"Projects", false},
          std::pair{"Folder.apps", false}, std::pair{".app", false}}) {
        EXPECT_EQ(isPackage(home.makeFolder(name)), package) << name;
    }
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

}  // namespace
}  // namespace lumifold::platform
