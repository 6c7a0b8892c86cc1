// Feeds arbitrary bytes to every store's image reader. A FinderInfo it finds must lie wholly
// inside the image; each store's fresh image must read back with its FinderInfo all zero.
#include <cstdlib>
#include <variant>

#include "core/platform/FileMetadata.h"
#include "core/platform/FinderInfoImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumifold::platform;
    const lumifold::ByteView bytes(reinterpret_cast<const std::byte*>(data), size);
    for (const MetadataStore store : {MetadataStore::xattr, MetadataStore::samba,
                                      MetadataStore::netatalk, MetadataStore::appledouble}) {
        const auto found = finder_info_image::finderInfoOffset(store, bytes);
        if (const auto* at = std::get_if<std::size_t>(&found)) {
            if (*at > size || size - *at < FinderInfoFormat::kSize) std::abort();
        }
        const lumifold::Bytes fresh = finder_info_image::freshImage(store);
        const auto offset = finder_info_image::finderInfoOffset(store, fresh);
        if (!std::holds_alternative<std::size_t>(offset)) std::abort();
        for (std::size_t i = 0; i < FinderInfoFormat::kSize; ++i) {
            if (fresh[std::get<std::size_t>(offset) + i] != std::byte{0}) std::abort();
        }
    }
    return 0;
}
