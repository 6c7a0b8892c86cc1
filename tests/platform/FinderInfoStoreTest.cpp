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

// A record is made fresh but for the flag, and goes when clearing leaves it holding nothing;
// every other byte of a busy record is kept.
TEST_P(FinderInfoStoreTest, ChangesOnlyTheFlagAndRemovesAnImageLeftHoldingNothing) {
    setHasHiddenExtension(file, false, store);  // clearing an absent flag writes nothing
    EXPECT_EQ(raw(), std::nullopt);
    std::string made = fresh();
    const auto at =
        std::get<std::size_t>(finder_info_image::finderInfoOffset(store, asBytes(made)));
    made[at + 9] = '\x10';
    setHasHiddenExtension(file, true, store);
    EXPECT_EQ(extensionFlagOfRegularFile(file, store), ExtensionFlag::hidden);
    EXPECT_EQ(raw(), made);
    setHasHiddenExtension(file, false, store);
    EXPECT_EQ(raw(), std::nullopt) << "a record Lumifold made holds nothing else once cleared";

    // Finder flags 0x5A2F: neither 0x1000 in the high byte nor 0x10 past the flags is the bit.
    std::string original = fresh();
    for (std::size_t i = 0; i < 32; ++i) original[at + i] = static_cast<char>(0xA0 + i);
    original[at + 8] = '\x5A';
    original[at + 9] = '\x2F';
    original[at + 12] = '\x10';
    if (store == MetadataStore::netatalk || store == MetadataStore::appledouble) {
        original += "\xEE\xEE\xEE";  // bytes no entry names, kept as they are
    }
    put(original);
    EXPECT_EQ(hasHiddenExtension(file, store), false);
    setHasHiddenExtension(file, true, store);
    std::string expected = original;
    expected[at + 9] = '\x3F';
    EXPECT_EQ(raw(), expected);
    setHasHiddenExtension(file, false, store);
    EXPECT_EQ(raw(), original);
}

// Too long, too short (each byte holding the flag's bit, which must not be read as set), or of
// another version: neither setting nor clearing the flag writes it.
TEST_P(FinderInfoStoreTest, LeavesADamagedImageAsItIsAndSaysWhy) {
    std::string otherVersion = fresh();
    otherVersion[5] ^= 1;  // any 32 bytes are a FinderInfo; the others have a version there
    std::vector<std::string> images{std::string(fresh().size() + 2, '\x10'),
                                    std::string(7, '\x10')};
    if (store != MetadataStore::xattr) images.push_back(otherVersion);
    for (const std::string& damaged : images) {
        put(damaged);
        std::string problem;
        EXPECT_EQ(extensionFlagOfRegularFile(file, store, &problem), ExtensionFlag::unsettable);
        EXPECT_FALSE(problem.empty());
        EXPECT_EQ(hasHiddenExtension(file, store), false);
        for (const bool hidden : {true, false}) {
            EXPECT_LUMIFOLD_ERROR_CODE(setHasHiddenExtension(file, hidden, store), kPosixDomain,
                                       EINVAL);
        }
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
