#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

// Each store's image as bytes on disk. That the images are the ones Samba serves, and a Mac's
// sidecar, is checked against a real server and an independent reader in SambaShareTest.
namespace lumifold::platform {
namespace {

struct StoreCase {
    MetadataStore store;
    const char* attribute;  // nullptr: the sidecar file
};
const StoreCase kStores[] = {{MetadataStore::xattr, "user.com.apple.FinderInfo"},
                             {MetadataStore::samba, "user.DosStream.AFP_AfpInfo:$DATA"},
                             {MetadataStore::netatalk, "user.org.netatalk.Metadata"},
                             {MetadataStore::appledouble, nullptr}};

class FinderInfoStoreTest : public ::testing::TestWithParam<StoreCase> {
  protected:
    // The record's image as it lies on disk; nullopt when there is none.
    std::optional<std::string> raw() const {
        if (GetParam().attribute == nullptr) {
            if (!fileExists(sidecar)) return std::nullopt;
            return std::string(asText(readFile(sidecar)));
        }
        std::string raw(4096, '\0');
        const ssize_t length =
            ::getxattr(file.c_str(), GetParam().attribute, raw.data(), raw.size());
        if (length < 0) return std::nullopt;
        return raw.substr(0, static_cast<std::size_t>(length));
    }
    void put(const std::string& raw) const {
        if (GetParam().attribute == nullptr) {
            home.writeFile("f/._report.txt", raw);
        } else {
            ASSERT_EQ(::setxattr(file.c_str(), GetParam().attribute, raw.data(), raw.size(), 0), 0);
        }
    }
    std::string fresh() const {
        return std::string(asText(finder_info_image::freshImage(GetParam().store)));
    }

    const MetadataStore store = GetParam().store;
    lumifold::testing::TempHome home;
    std::string file = home.writeFile("f/report.txt", "text");
    std::string sidecar = home / "f/._report.txt";
};

TEST_P(FinderInfoStoreTest, ChangesOnlyTheFlagAndRemovesAnImageLeftHoldingNothing) {
    setHasHiddenExtension(file, true, store);
    EXPECT_EQ(extensionFlagOfRegularFile(file, store), ExtensionFlag::hidden);
    setHasHiddenExtension(file, false, store);
    EXPECT_EQ(raw(), std::nullopt) << "a record Lumifold made holds nothing else once cleared";

    std::string original = fresh();
    const auto at =
        std::get<std::size_t>(finder_info_image::finderInfoOffset(store, asBytes(original)));
    original[at] = 'T';  // a file type
    if (store == MetadataStore::netatalk || store == MetadataStore::appledouble) {
        original += "\xEE\xEE\xEE";  // bytes no entry names, kept as they are
    }
    put(original);
    setHasHiddenExtension(file, true, store);
    std::string expected = original;
    expected[at + 9] = '\x10';
    EXPECT_EQ(raw(), expected);
    setHasHiddenExtension(file, false, store);
    EXPECT_EQ(raw(), original);
}

TEST_P(FinderInfoStoreTest, LeavesADamagedImageAsItIsAndSaysWhy) {
    std::string otherVersion = fresh();
    otherVersion[5] ^= 1;  // any 32 bytes are a FinderInfo; the others have a version there
    std::vector<std::string> images{std::string(fresh().size() + 2, 0), "\1\1\1\1\1\1\1"};
    if (store != MetadataStore::xattr) images.push_back(otherVersion);
    for (const std::string& damaged : images) {
        put(damaged);
        std::string problem;
        EXPECT_EQ(extensionFlagOfRegularFile(file, store, &problem), ExtensionFlag::unsettable);
        EXPECT_FALSE(problem.empty());
        EXPECT_LUMIFOLD_ERROR_CODE(setHasHiddenExtension(file, true, store), kPosixDomain, EINVAL);
        EXPECT_EQ(raw(), damaged);
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, FinderInfoStoreTest, ::testing::ValuesIn(kStores),
                         [](const auto& store) { return metadataStoreName(store.param.store); });

TEST(FinderInfoSidecarTest, ASidecarThatIsALinkOrAFifoIsNeverFollowedAndNamed) {
    lumifold::testing::TempHome home;
    const std::string file = home.writeFile("a.txt", "a");
    const std::string other = home.writeFile("b.txt", "b");
    setHasHiddenExtension(other, true, MetadataStore::appledouble);
    home.link(home / "._b.txt", "._a.txt");
    const std::string fifo = home.writeFile("c.txt", "c");
    ASSERT_EQ(::mkfifo((home / "._c.txt").c_str(), 0600), 0);
    for (const std::string& each : {file, fifo}) {
        std::string problem;
        EXPECT_EQ(extensionFlagOfRegularFile(each, MetadataStore::appledouble, &problem),
                  ExtensionFlag::unsettable);
        EXPECT_NE(problem.find("/._"), std::string::npos) << problem;
        EXPECT_LUMIFOLD_ERROR_CODE(setHasHiddenExtension(each, true, MetadataStore::appledouble),
                                   kPosixDomain, EINVAL);
    }
    EXPECT_EQ(hasHiddenExtension(other, MetadataStore::appledouble), true);
}

TEST(FinderInfoSidecarTest, ANewSidecarBelongsToItsFoldersUsers) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    lumifold::testing::TempHome home;
    const std::string share = home.makeFolder("share");
    const std::string file = home.writeFile("share/a.txt", "a");
    ASSERT_EQ(::chown(share.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(share.c_str(), 0770), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
    setHasHiddenExtension(file, true, MetadataStore::appledouble);
    struct stat sidecar {};
    ASSERT_EQ(::stat((home / "share/._a.txt").c_str(), &sidecar), 0);
    EXPECT_EQ(sidecar.st_uid, 65534u);
    EXPECT_EQ(sidecar.st_gid, 65534u);
    EXPECT_EQ(sidecar.st_mode & 07777, 0660u);  // the file's bits within the folder's
}

}  // namespace
}  // namespace lumifold::platform
