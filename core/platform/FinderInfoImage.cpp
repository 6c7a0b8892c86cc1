#include "core/platform/FinderInfoImage.h"

#include <cstring>

#include "core/common/BigEndian.h"
#include "core/platform/FileMetadata.h"

namespace lumifold::platform {

const char* metadataStoreName(MetadataStore store) {
    switch (store) {
        case MetadataStore::xattr:
            return "xattr";
        case MetadataStore::samba:
            return "samba";
        case MetadataStore::netatalk:
            return "netatalk";
        case MetadataStore::appledouble:
            return "appledouble";
    }
    return "xattr";
}

std::optional<MetadataStore> metadataStoreNamed(std::string_view name) {
    for (const MetadataStore store : {MetadataStore::xattr, MetadataStore::samba,
                                      MetadataStore::netatalk, MetadataStore::appledouble}) {
        if (name == metadataStoreName(store)) return store;
    }
    return std::nullopt;
}

namespace finder_info_image {
namespace {

using Result = std::variant<std::size_t, std::string>;

Result afpInfo(ByteView image) {
    using namespace AfpInfoFormat;
    // The stream as streams_xattr keeps it ends with one NUL; a bare AfpInfo is read as well.
    const bool size =
        image.size() == kSize || (image.size() == kSize + 1 && image[kSize] == std::byte{0});
    if (!size) return "an AfpInfo of " + std::to_string(image.size()) + " bytes, not 60";
    if (loadU32(image.data()) != kSignature) return std::string("an AfpInfo without its signature");
    if (loadU32(image.data() + 4) != kVersion) return std::string("an AfpInfo of another version");
    return kFinderInfoOffset;
}

Result appleDouble(ByteView image) {
    using namespace AppleDoubleFormat;
    if (image.size() < kHeaderSize)
        return std::string("an AppleDouble image too short for its header");
    if (loadU32(image.data()) != kMagic) return std::string("no AppleDouble magic");
    if (loadU32(image.data() + 4) != kVersion)
        return std::string("an AppleDouble image of another version");
    const std::size_t count = (std::to_integer<std::size_t>(image[kCountOffset]) << 8) |
                              std::to_integer<std::size_t>(image[kCountOffset + 1]);
    if (kHeaderSize + count * kDescriptorSize > image.size()) {
        return std::string("AppleDouble entries beyond its end");
    }
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < count; ++i) {
        const std::byte* descriptor = image.data() + kHeaderSize + i * kDescriptorSize;
        const std::uint64_t offset = loadU32(descriptor + 4);
        const std::uint64_t length = loadU32(descriptor + 8);
        if (offset + length > image.size())
            return std::string("AppleDouble entries beyond its end");
        if (loadU32(descriptor) != kFinderInfoId) continue;
        if (found) return std::string("two AppleDouble FinderInfo entries");
        if (length < FinderInfoFormat::kSize)
            return std::string("a short AppleDouble FinderInfo entry");
        found = static_cast<std::size_t>(offset);
    }
    if (!found) return std::string("an AppleDouble image without a FinderInfo entry");
    return *found;
}

void putDescriptor(Bytes& image, std::size_t index, std::uint32_t id, std::uint32_t offset,
                   std::uint32_t length) {
    std::byte* at =
        image.data() + AppleDoubleFormat::kHeaderSize + index * AppleDoubleFormat::kDescriptorSize;
    storeU32(at, id);
    storeU32(at + 4, offset);
    storeU32(at + 8, length);
}

Bytes appleDoubleHeader(std::size_t size, std::size_t count) {
    using namespace AppleDoubleFormat;
    Bytes image(size);
    storeU32(image.data(), kMagic);
    storeU32(image.data() + 4, kVersion);
    image[kCountOffset + 1] = static_cast<std::byte>(count);
    return image;
}

}  // namespace

Result finderInfoOffset(MetadataStore store, ByteView image) {
    switch (store) {
        case MetadataStore::xattr:
            if (image.size() != FinderInfoFormat::kSize) {
                return "a FinderInfo of " + std::to_string(image.size()) + " bytes, not 32";
            }
            return std::size_t{0};
        case MetadataStore::samba:
            return afpInfo(image);
        case MetadataStore::netatalk:
        case MetadataStore::appledouble:
            return appleDouble(image);
    }
    return std::string("an unknown store");
}

Bytes freshImage(MetadataStore store) {
    switch (store) {
        case MetadataStore::xattr:
            return Bytes(FinderInfoFormat::kSize);
        case MetadataStore::samba: {
            Bytes image(AfpInfoFormat::kSize + 1);
            storeU32(image.data(), AfpInfoFormat::kSignature);
            storeU32(image.data() + 4, AfpInfoFormat::kVersion);
            return image;
        }
        case MetadataStore::netatalk: {
            // Samba's own layout (learnt from what it writes): comment (200 bytes reserved),
            // dates, AFP file info and four private entries of its own, each where Samba puts it.
            Bytes image = appleDoubleHeader(AppleDoubleFormat::kNetatalkSize, 8);
            putDescriptor(image, 0, 4, 154, 0);
            putDescriptor(image, 1, 8, 354, 16);
            putDescriptor(image, 2, AppleDoubleFormat::kFinderInfoId, 122, 32);
            putDescriptor(image, 3, 14, 370, 4);
            putDescriptor(image, 4, 0x80444556, 374, 0);  // "\x80DEV"
            putDescriptor(image, 5, 0x80494E4F, 382, 0);  // "\x80INO"
            putDescriptor(image, 6, 0x8053594E, 390, 0);  // "\x80SYN"
            putDescriptor(image, 7, 0x8053567E, 398, 0);  // "\x80SV~"
            return image;
        }
        case MetadataStore::appledouble: {
            // What a Mac writes at the least: the FinderInfo and an empty resource fork.
            constexpr std::size_t kFinderInfoAt =
                AppleDoubleFormat::kHeaderSize + 2 * AppleDoubleFormat::kDescriptorSize;
            constexpr std::size_t kSize = kFinderInfoAt + FinderInfoFormat::kSize;
            Bytes image = appleDoubleHeader(kSize, 2);
            std::memcpy(image.data() + AppleDoubleFormat::kFillerOffset,
                        AppleDoubleFormat::kSidecarFiller, AppleDoubleFormat::kFillerSize);
            putDescriptor(image, 0, AppleDoubleFormat::kFinderInfoId, kFinderInfoAt,
                          FinderInfoFormat::kSize);
            putDescriptor(image, 1, AppleDoubleFormat::kResourceForkId, kSize, 0);
            return image;
        }
    }
    return {};
}

}  // namespace finder_info_image
}  // namespace lumifold::platform
