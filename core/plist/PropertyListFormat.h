#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/common/Error.h"
#include "core/plist/PropertyList.h"

// Property-list bounds and both formats. All binary integers are big-endian.
//
//  +------------+-----------------------+--------------------------+---------------------+
//  | "bplist00" | objects, each a       | offset table: one offset | trailer, 32 bytes   |
//  |  8 bytes   | marker byte + payload | per object, offsetSize   |                     |
//  |            |                       | bytes each               |                     |
//  +------------+-----------------------+--------------------------+---------------------+
//
//  trailer: 5 unused, u8 sort version, u8 offsetSize, u8 referenceSize,
//           u64 objectCount, u64 topObject, u64 offsetTableOffset
//
//  marker: high nibble the type, low nibble a size or count; a count of 0xF means the real
//  count follows as an integer object.
//    0x08 false  0x09 true
//    0x1n integer of 2^n bytes: 1, 2 and 4 bytes unsigned, 8 bytes signed, 16 bytes signed
//         (read when the high 8 bytes are zero or the sign extension of the low 8)
//    0x22 float  0x23 double  0x33 date (double, seconds since 2001-01-01T00:00:00Z)
//    0x4n data   0x5n ASCII string  0x6n UTF-16BE string (count in code units)
//    0x8n UID of n+1 bytes, unsigned
//    0xAn array: n object references  0xDn dictionary: n key references, n value references
//  Types we do not represent (null, fill, set) are rejected.
//
// XML: an optional prolog (declaration, comments, processing instructions, a DOCTYPE without
// an internal subset), then <plist version="1.0"> around one value (a bare value is read too).
// The declaration may name any encoding ICU knows; the text is read as UTF-8 after conversion
// and after XML's end-of-line handling (CR LF and CR alone become LF).
//    <dict> (<key>text</key> value)* </dict>   <array> value* </array>   <string>text</string>
//    <data>base64</data>   <date>YYYY-MM-DDTHH:MM:SS[.fraction]Z</date>
//    <integer>decimal or 0x hexadecimal</integer>   <real>decimal, nan or inf</real> (a
//    decimal beyond the doubles' range reads as the nearest: infinity or zero, signed)
//    <true/>   <false/>   and a UID as <dict><key>CF$UID</key><integer>N</integer></dict>

namespace lumifold::platform::plist_format {

inline constexpr char kBinaryMagic[] = "bplist00";
inline constexpr std::size_t kBinaryMagicSize = 8;
inline constexpr std::size_t kTrailerSize = 32;
inline constexpr std::size_t kTrailerOffsetSizeAt = 6;
inline constexpr std::size_t kTrailerReferenceSizeAt = 7;
inline constexpr std::size_t kTrailerObjectCountAt = 8;
inline constexpr std::size_t kTrailerTopObjectAt = 16;
inline constexpr std::size_t kTrailerOffsetTableAt = 24;

inline constexpr std::uint8_t kMarkerFalse = 0x08;
inline constexpr std::uint8_t kMarkerTrue = 0x09;
inline constexpr std::uint8_t kTypeInteger = 0x1;
inline constexpr std::uint8_t kTypeReal = 0x2;
inline constexpr std::uint8_t kMarkerFloat = 0x22;
inline constexpr std::uint8_t kMarkerDouble = 0x23;
inline constexpr std::uint8_t kMarkerDate = 0x33;
inline constexpr std::uint8_t kTypeData = 0x4;
inline constexpr std::uint8_t kTypeAsciiString = 0x5;
inline constexpr std::uint8_t kTypeUtf16String = 0x6;
inline constexpr std::uint8_t kTypeUid = 0x8;
inline constexpr std::uint8_t kTypeArray = 0xA;
inline constexpr std::uint8_t kTypeDictionary = 0xD;
inline constexpr std::uint8_t kCountFollows = 0xF;
inline constexpr std::uint8_t kLog2WideInteger = 4;  // 0x14: the 16-byte integer
inline constexpr std::size_t kMaxUidSize = 8;

inline constexpr std::string_view kXmlHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
inline constexpr std::string_view kXmlFooter = "</plist>\n";
inline constexpr std::string_view kUidKey = "CF$UID";

// 2001-01-01T00:00:00Z in seconds since 1970-01-01T00:00:00Z.
inline constexpr std::int64_t kReferenceDateUnixSeconds = 978307200;
inline constexpr int kFirstXmlYear = 0;
inline constexpr int kLastXmlYear = 9999;

// Bounds on what a reader accepts, whatever the format; the writers refuse to produce more.
// A preferences file is a few KiB; these leave room for large honest files while keeping a
// hostile one from exhausting memory or the stack.
inline constexpr std::size_t kMaxInputSize = 64 * 1024 * 1024;
inline constexpr std::size_t kMaxDepth = 512;
// Values (keys included) after shared binary references are expanded into a tree, and the
// bytes of their strings and data; both bound the work a small file with many shared
// references can cause.
inline constexpr std::size_t kMaxValueCount = 1 << 20;
inline constexpr std::size_t kMaxPayloadBytes = kMaxInputSize;

// Both writers refuse a value they cannot encode with this error.
[[noreturn]] inline void failWrite(const std::string& detail) {
    throw Error(kPropertyListDomain, kPropertyListUnwritable,
                "Cannot write the property list: " + detail);
}

}  // namespace lumifold::platform::plist_format
