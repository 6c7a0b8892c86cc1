#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/common/Bytes.h"

namespace lumifold::platform {

// Where a file's 32-byte FinderInfo record (FileMetadata.h) is kept.
//   xattr        the extended attribute "user.com.apple.FinderInfo": the record itself.
//   samba        Samba's vfs_fruit with fruit:metadata = stream over streams_xattr: the Mac's
//                AFP_AfpInfo stream in "user.DosStream.AFP_AfpInfo:$DATA" (an AfpInfo, then the
//                NUL streams_xattr ends every stream with).
//   netatalk     netatalk 3, and fruit:metadata = netatalk: "user.org.netatalk.Metadata", an
//                AppleDouble image.
//   appledouble  the sidecar file "._NAME" beside the file, an AppleDouble image, where the file
//                system keeps no extended attributes (what a Mac writes on FAT, exFAT, SMB).
enum class MetadataStore { xattr, samba, netatalk, appledouble };

namespace AfpInfoFormat {
// AfpInfo, 60 bytes, big-endian:
//   0..3   signature "AFP\0" (0x41465000)
//   4..7   version 0x00000100 (Samba drops any other when a client writes it)
//   8..11  reserved
//   12..15 backup time
//   16..47 FinderInfo
//   48..53 ProDOS information
//   54..59 reserved
inline constexpr std::uint32_t kSignature = 0x41465000;
inline constexpr std::uint32_t kVersion = 0x00000100;
inline constexpr std::size_t kSize = 60;
inline constexpr std::size_t kFinderInfoOffset = 16;
inline constexpr const char* kAttributeName = "user.DosStream.AFP_AfpInfo:$DATA";
}  // namespace AfpInfoFormat

namespace AppleDoubleFormat {
// AppleDouble version 2, big-endian:
//   0..3   magic 0x00051607
//   4..7   version 0x00020000
//   8..23  filler ("Mac OS X        " from a Mac, zeros from netatalk and Samba)
//   24..25 number of entries
//   26..   one descriptor per entry, 12 bytes: id, offset, length (each 32 bits)
// Entry 9 is the FinderInfo (a Mac's sidecar often carries its extended attributes after the
// 32 bytes, inside the same entry); entry 2 the resource fork.
inline constexpr std::uint32_t kMagic = 0x00051607;
inline constexpr std::uint32_t kVersion = 0x00020000;
inline constexpr std::size_t kFillerOffset = 8;
inline constexpr std::size_t kFillerSize = 16;
inline constexpr std::size_t kCountOffset = 24;
inline constexpr std::size_t kHeaderSize = 26;
inline constexpr std::size_t kDescriptorSize = 12;
inline constexpr std::uint32_t kResourceForkId = 2;
inline constexpr std::uint32_t kFinderInfoId = 9;
inline constexpr const char* kSidecarFiller = "Mac OS X        ";
inline constexpr const char* kSidecarPrefix = "._";
inline constexpr const char* kNetatalkAttributeName = "user.org.netatalk.Metadata";
// Samba 4.17 reads back only the netatalk image it writes itself: eight entries, 402 bytes.
inline constexpr std::size_t kNetatalkSize = 402;
}  // namespace AppleDoubleFormat

// "xattr", "samba", "netatalk", "appledouble".
const char* metadataStoreName(MetadataStore store);
// The store of that name; nullopt for any other.
std::optional<MetadataStore> metadataStoreNamed(std::string_view name);

// A record image of one store as the bytes it is kept in, with no operating-system call, so it
// can be tested and fuzzed on bytes alone.
namespace finder_info_image {

// Where the 32 FinderInfo bytes lie in a well-formed image, or why the image is damaged (its
// size, magic, version or a missing or short FinderInfo entry).
std::variant<std::size_t, std::string> finderInfoOffset(MetadataStore store, ByteView image);

// The image Lumifold writes where there was none: a zero FinderInfo and nothing else.
Bytes freshImage(MetadataStore store);

}  // namespace finder_info_image

}  // namespace lumifold::platform
