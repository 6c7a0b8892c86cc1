#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

using Raw = std::vector<unsigned char>;

// Reads the stores as their public descriptions draw them, independently of the code under test:
// where each keeps its record, and the FinderInfo's offset inside it.
struct StoreCase {
    MetadataStore store;
    const char* attribute;  // nullptr: the sidecar file
};
const StoreCase kStores[] = {{MetadataStore::xattr, "user.com.apple.FinderInfo"},
                             {MetadataStore::samba, "user.DosStream.AFP_AfpInfo:$DATA"},
                             {MetadataStore::netatalk, "user.org.netatalk.Metadata"},
                             {MetadataStore::appledouble, nullptr}};

unsigned be(const Raw& raw, std::size_t at, std::size_t width) {
    unsigned value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | raw.at(at + i);
    return value;
}

// The offset of the FinderInfo, or -1 when the image is not one of the store's.
long finderInfoAt(MetadataStore store, const Raw& raw) {
    if (store == MetadataStore::xattr) return raw.size() == 32 ? 0 : -1;
    if (store == MetadataStore::samba) {
        return raw.size() == 61 && be(raw, 0, 4) == 0x41465000 && be(raw, 4, 4) == 0x100 ? 16 : -1;
    }
    if (raw.size() < 26 || be(raw, 0, 4) != 0x00051607 || be(raw, 4, 4) != 0x00020000) return -1;
    for (unsigned i = 0; i < be(raw, 24, 2); ++i) {
        if (be(raw, 26 + 12 * i, 4) == 9) return be(raw, 26 + 12 * i + 4, 4);
    }
    return -1;
}

class FinderInfoStoreTest : public ::testing::TestWithParam<StoreCase> {
  protected:
    lumifold::testing::TempHome home;
    std::string file = home.writeFile("f/report.txt", "text");
    std::string sidecar = home / "f/._report.txt";

    std::optional<Raw> raw() const {
        if (GetParam().attribute == nullptr) {
            if (!fileExists(sidecar)) return std::nullopt;
            std::ifstream in(sidecar, std::ios::binary);
            return Raw(std::istreambuf_iterator<char>(in), {});
        }
        Raw raw(4096);
        const ssize_t length =
            ::getxattr(file.c_str(), GetParam().attribute, raw.data(), raw.size());
        if (length < 0) return std::nullopt;
        raw.resize(static_cast<std::size_t>(length));
        return raw;
    }
    void put(const Raw& raw) const {
        if (GetParam().attribute == nullptr) {
            home.writeFile("f/._report.txt", std::string(raw.begin(), raw.end()));
        } else {
            ASSERT_EQ(::setxattr(file.c_str(), GetParam().attribute, raw.data(), raw.size(), 0), 0);
        }
    }
    // The image Lumifold makes where there is none.
    Raw freshRaw() const {
        const Bytes fresh = finder_info_image::freshImage(GetParam().store);
        Raw raw(fresh.size());
        std::transform(fresh.begin(), fresh.end(), raw.begin(),
                       [](std::byte b) { return std::to_integer<unsigned char>(b); });
        return raw;
    }
    bool flagOf(const Raw& raw) const {
        const long at = finderInfoAt(GetParam().store, raw);
        return at >= 0 && (raw.at(static_cast<std::size_t>(at) + 9) & 0x10) != 0;
    }
};

TEST_P(FinderInfoStoreTest, SetsAnImageTheStoreReadsAndRemovesItAgainWhenCleared) {
    const MetadataStore store = GetParam().store;
    EXPECT_EQ(extensionFlagOfRegularFile(file, store), ExtensionFlag::visible);
    setHasHiddenExtension(file, true, store);
    ASSERT_TRUE(raw());
    EXPECT_TRUE(flagOf(*raw()));
    EXPECT_EQ(extensionFlagOfRegularFile(file, store), ExtensionFlag::hidden);
    setHasHiddenExtension(file, false, store);
    EXPECT_FALSE(raw()) << "a record Lumifold made holds nothing else once cleared";
    EXPECT_EQ(hasHiddenExtension(file, store), false);
}

TEST_P(FinderInfoStoreTest, ChangesOnlyTheFlagOfAnImageThatHoldsMore) {
    const MetadataStore store = GetParam().store;
    Raw original = freshRaw();
    const auto at = static_cast<std::size_t>(finderInfoAt(store, original));
    original[at] = 'T';  // a file type
    if (GetParam().attribute == nullptr || store == MetadataStore::netatalk) {
        original.insert(original.end(), 7, 0xEE);  // bytes no entry names, kept as they are
    }
    put(original);
    setHasHiddenExtension(file, true, store);
    Raw expected = original;
    expected[at + 9] |= 0x10;
    EXPECT_EQ(raw(), expected);
    setHasHiddenExtension(file, false, store);
    EXPECT_EQ(raw(), original);
}

TEST_P(FinderInfoStoreTest, LeavesADamagedImageAsItIsAndSaysWhy) {
    const MetadataStore store = GetParam().store;
    Raw otherVersion = freshRaw();
    otherVersion[5] ^= 1;  // any 32 bytes are a FinderInfo; the others have a version there
    std::vector<Raw> images{Raw(otherVersion.size() + 2, 0), Raw(7, 1)};
    if (store != MetadataStore::xattr) images.push_back(otherVersion);
    for (const Raw& damaged : images) {
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

}  // namespace
}  // namespace lumifold::platform
