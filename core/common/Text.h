#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumifold {

// Text helpers. Every std::string in the core holds UTF-8; conversions that can fail say so
// through std::optional instead of guessing.

bool isWellFormedUtf8(std::string_view text);
// True when every byte of `text` is ASCII (below 0x80): its own UTF-8, NFC and UTF-16 units.
bool isAscii(std::string_view text);
// Bytes of the well-formed UTF-8 sequence at the start of non-empty `text`, or, when there is
// none, the bytes of the longest prefix that could still have begun one (at least 1), negated.
long utf8SequenceAt(std::string_view text);

// UTF-8 to UTF-16 code units; nullopt when `text` is not well-formed UTF-8.
std::optional<std::u16string> utf8ToUtf16(std::string_view text);
// UTF-16 code units to UTF-8; nullopt when they hold an unpaired surrogate.
std::optional<std::string> utf16ToUtf8(std::u16string_view units);
// Decodes `byteCount` bytes of UTF-16 big-endian (an even count); nullopt when not well-formed.
std::optional<std::string> utf16BigEndianToUtf8(const unsigned char* bytes, std::size_t byteCount);

// Generalised UTF-8 is UTF-8 that may also hold a lone UTF-16 surrogate as its three-byte
// sequence (ED A0 80 to ED BF BF), so any UTF-16 text converts to it and back unchanged. A
// surrogate pair is always its scalar's four-byte sequence.
std::string utf16ToGeneralisedUtf8(std::u16string_view units);
// Appends `c` (any code point to U+10FFFF, surrogates included); a low surrogate right after a
// high one joins it into their scalar.
void appendGeneralisedUtf8(std::string& out, char32_t c);
// nullopt when `text` is not generalised UTF-8.
std::optional<std::u16string> generalisedUtf8ToUtf16(std::string_view text);

// ISO 8859-1 bytes of `text`; nullopt when a character lies above U+00FF (the conversion
// would lose it) or `text` is not well-formed UTF-8.
std::optional<std::string> toLatin1(std::string_view text);
// Every byte is one character U+0000 to U+00FF.
std::string fromLatin1(std::string_view bytes);

// Text in another encoding, converted through ICU's converters.
struct ConvertedText {
    enum class Outcome : std::uint8_t { converted, unknownEncoding, invalidBytes, tooLong };
    Outcome outcome = Outcome::converted;
    std::string text;           // the UTF-8 text, when converted
    std::size_t invalidAt = 0;  // invalidBytes: the offset of the first byte not converted
};
// The name ICU's converters give the encoding `name` stands for ("latin1" gives "ISO-8859-1",
// "utf-8" gives "UTF-8"); nullopt when they know none.
std::optional<std::string> encodingName(const std::string& name);
// `bytes` in the encoding `name` stands for, as UTF-8. Stops at the first byte sequence that
// encoding does not define, and as soon as the text grows past `maxSize` bytes, so no input
// costs more memory than that.
ConvertedText convertToUtf8(std::string_view bytes, const std::string& name, std::size_t maxSize);

// Canonical composition (NFC). Text that is not well-formed UTF-8 comes back unchanged.
std::string nfc(std::string_view text);
// Each scalar replaced by its full default lower-case mapping, with no locale and no
// context-sensitive rules ("İ" gives "i̇", a lone "Σ" gives "σ").
std::string lowercaseFull(std::string_view text);

}  // namespace lumifold
