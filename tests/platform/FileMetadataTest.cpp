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

// A record is created zeroed but for the flag, and goes when clearing leaves it all zero;
// every other byte of a busy record is kept.
TEST_F(FileMetadataTest, TheFlagChangesOnlyItsBitAndAnEmptyRecordGoes) {
    setHasHiddenExtension(file, false);  // clearing an absent flag writes nothing
    EXPECT_EQ(finderInfo(file), std::nullopt);
    setHasHiddenExtension(file, true);
    EXPECT_EQ(hasHiddenExtension(file), true);
    EXPECT_EQ(finderInfo(file), std::string(9, '\0') + '\x10' + std::string(22, '\0'));
    setHasHiddenExtension(file, false);
    EXPECT_EQ(hasHiddenExtension(file), false);
    EXPECT_EQ(finderInfo(file), std::nullopt);

    // Finder flags 0x5A2F: neither 0x1000 in the high byte nor 0x10 past the flags is the bit.
    std::string busy;
    for (int i = 0; i < 32; ++i) busy.push_back(static_cast<char>(0xA0 + i));
    busy[8] = '\x5A';
    busy[9] = '\x2F';
    busy[12] = '\x10';
    plantFinderInfo(file, busy);
    EXPECT_EQ(hasHiddenExtension(file), false);
    setHasHiddenExtension(file, true);
    std::string hidden = busy;
    hidden[9] = '\x3F';
    EXPECT_EQ(finderInfo(file), hidden);
    setHasHiddenExtension(file, false);
    EXPECT_EQ(finderInfo(file), busy);
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

TEST_F(FileMetadataTest, FoldersCarryTheFlagAndLinksAreNeverFollowed) {
    const std::string folder = home.makeFolder("Pictures");
    setHasHiddenExtension(folder, true);
    const FileMetadata metadata = fileMetadata(folder).value();
    EXPECT_TRUE(metadata.isDirectory && metadata.hasHiddenExtension);
    EXPECT_FALSE(metadata.isPackage || metadata.isUbiquitousItem);  // local: never a cloud item

    setHasHiddenExtension(file, true);
    const std::string fileLink = home / "link.txt", folderLink = home / "Linked.app";
    ASSERT_EQ(::symlink(file.c_str(), fileLink.c_str()), 0);
    ASSERT_EQ(::symlink(home.makeFolder("Real.app").c_str(), folderLink.c_str()), 0);
    EXPECT_TRUE(fileMetadata(fileLink).value().isSymbolicLink);
    EXPECT_FALSE(fileMetadata(fileLink).value().hasHiddenExtension);  // the target's, not its
    EXPECT_FALSE(fileMetadata(folderLink).value().isDirectory);
    EXPECT_FALSE(isPackage(folderLink));
    setHasHiddenExtension(file, false);
    EXPECT_LUMIFOLD_ERROR_CODE(setHasHiddenExtension(fileLink, true), kPosixDomain, EPERM);
    EXPECT_EQ(finderInfo(file), std::nullopt);

    const std::string missing = home / "missing.txt";
    EXPECT_EQ(fileMetadata(missing), std::nullopt);
    EXPECT_EQ(hasHiddenExtension(missing), std::nullopt);
    EXPECT_LUMIFOLD_ERROR(setHasHiddenExtension(missing, true), kPosixDomain, ENOENT,
                          "Could not set the hidden-extension flag of \"" + missing +
                              "\": No such file or directory");
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

}  // namespace
}  // namespace lumifold::platform
