#include "core/common/Text.h"

#include <unicode/normalizer2.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

namespace lumifold {

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

namespace {

// Decodes the scalar at `index`, advancing it; returns -1 for an ill-formed sequence
// (overlong forms, values above U+10FFFF, truncated sequences and, unless allowed,
// surrogates included).
UChar32 nextScalar(std::string_view text, std::size_t& index, bool allowSurrogates = false) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(index);
    int length = 0;
    UChar32 c = 0;
    UChar32 minimum = 0;
    if (lead < 0x80) {
        ++index;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, c = lead & 0x07, minimum = 0x10000;
    } else {
        ++index;
        return -1;
    }
    std::size_t i = index + 1;
    for (int k = 1; k < length; ++k, ++i) {
        if (i >= text.size() || (byte(i) & 0xC0) != 0x80) {
            index = i;
            return -1;
        }
        c = (c << 6) | (byte(i) & 0x3F);
    }
    index = i;
    if (c < minimum || c > 0x10FFFF || (!allowSurrogates && c >= 0xD800 && c <= 0xDFFF)) return -1;
    return c;
}

void appendUtf8(std::string& out, UChar32 c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

bool isWellFormedUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        if (nextScalar(text, i) < 0) return false;
    }
    return true;
}

std::optional<std::u16string> utf8ToUtf16(std::string_view text) {
    std::u16string units;
    units.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            units.push_back(static_cast<char16_t>(byte));
            ++i;
            continue;
        }
        const UChar32 c = nextScalar(text, i);
        if (c < 0) return std::nullopt;
        if (c <= 0xFFFF) {
            units.push_back(static_cast<char16_t>(c));
        } else {
            units.push_back(static_cast<char16_t>(U16_LEAD(c)));
            units.push_back(static_cast<char16_t>(U16_TRAIL(c)));
        }
    }
    return units;
}

namespace {

// UTF-16 to UTF-8 over `count` units read through `unitAt`, so native and big-endian input
// share one decoder; nullopt on an unpaired surrogate.
template <typename UnitAt>
std::optional<std::string> decodeUtf16(std::size_t count, UnitAt unitAt) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const char16_t unit = unitAt(i);
        if (unit < 0x80) {
            out.push_back(static_cast<char>(unit));
        } else if (U16_IS_LEAD(unit)) {
            if (i + 1 >= count || !U16_IS_TRAIL(unitAt(i + 1))) return std::nullopt;
            appendUtf8(out, U16_GET_SUPPLEMENTARY(unit, unitAt(i + 1)));
            ++i;
        } else if (U16_IS_TRAIL(unit)) {
            return std::nullopt;
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> utf16ToUtf8(std::u16string_view units) {
    return decodeUtf16(units.size(), [&](std::size_t i) { return units[i]; });
}

std::optional<std::string> utf16BigEndianToUtf8(const unsigned char* bytes, std::size_t byteCount) {
    // Decoded straight from the bytes: names are decoded for every record of every store read.
    return decodeUtf16(byteCount / 2, [bytes](std::size_t i) {
        return static_cast<char16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
    });
}

void appendGeneralisedUtf8(std::string& out, char32_t c) {
    if (U16_IS_TRAIL(c) && out.size() >= 3) {
        const auto at = [&](std::size_t back) {
            return static_cast<unsigned char>(out[out.size() - back]);
        };
        // ED A0..AF xx is a high surrogate: the two are one scalar, written as one sequence.
        if (at(3) == 0xED && (at(2) & 0xF0) == 0xA0) {
            const auto lead =
                static_cast<char16_t>(0xD000 | ((at(2) & 0x3F) << 6) | (at(1) & 0x3F));
            out.resize(out.size() - 3);
            c = static_cast<char32_t>(U16_GET_SUPPLEMENTARY(lead, c));
        }
    }
    appendUtf8(out, static_cast<UChar32>(c));
}

std::string utf16ToGeneralisedUtf8(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (const char16_t unit : units) appendGeneralisedUtf8(out, unit);
    return out;
}

std::optional<std::u16string> generalisedUtf8ToUtf16(std::string_view text) {
    std::u16string units;
    units.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const UChar32 c = nextScalar(text, i, true);
        if (c < 0) return std::nullopt;
        if (c > 0xFFFF) {
            units.push_back(static_cast<char16_t>(U16_LEAD(c)));
            units.push_back(static_cast<char16_t>(U16_TRAIL(c)));
            continue;
        }
        // A pair spelt as two three-byte sequences has the four-byte form; only that one is
        // accepted, so each text has one spelling.
        if (c >= 0xDC00 && c <= 0xDFFF && !units.empty() && U16_IS_LEAD(units.back())) {
            return std::nullopt;
        }
        units.push_back(static_cast<char16_t>(c));
    }
    return units;
}

std::optional<std::string> toLatin1(std::string_view text) {
    if (isAscii(text)) return std::string(text);
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const UChar32 c = nextScalar(text, i);
        if (c < 0 || c > 0xFF) return std::nullopt;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

std::string fromLatin1(std::string_view bytes) {
    if (isAscii(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char byte : bytes) appendUtf8(out, static_cast<unsigned char>(byte));
    return out;
}

namespace {

struct ConverterClose {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterClose>;

// A converter that stops at anything it cannot convert, rather than substituting; null when ICU
// knows no such encoding. A name with options (",swaplfnl") names none: the options would
// change what the bytes mean.
Converter stoppingConverter(const std::string& name) {
    if (name.find(',') != std::string::npos) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(name.c_str(), &status));
    if (U_FAILURE(status)) return nullptr;
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
    ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                          &status);
    return U_SUCCESS(status) ? std::move(converter) : nullptr;
}

}  // namespace

std::optional<std::string> encodingName(const std::string& name) {
    const Converter converter = stoppingConverter(name);
    if (!converter) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const char* canonical = ucnv_getName(converter.get(), &status);
    if (U_FAILURE(status)) return std::nullopt;
    return canonical;
}

ConvertedText convertToUtf8(std::string_view bytes, const std::string& name, std::size_t maxSize) {
    using Outcome = ConvertedText::Outcome;
    const Converter source = stoppingConverter(name);
    const Converter utf8 = stoppingConverter("UTF-8");
    if (!source || !utf8) return {Outcome::unknownEncoding, {}, 0};
    ConvertedText result;
    result.text.reserve(std::min(bytes.size(), maxSize));
    std::array<UChar, 1024> pivot{};
    UChar* pivotSource = pivot.data();
    UChar* pivotTarget = pivot.data();
    std::array<char, 64 * 1024> block{};
    const char* in = bytes.data();
    for (bool first = true;; first = false) {
        char* out = block.data();
        UErrorCode status = U_ZERO_ERROR;
        // The whole input is at hand, so every call flushes; a full block only asks for the
        // next one.
        ucnv_convertEx(utf8.get(), source.get(), &out, block.data() + block.size(), &in,
                       bytes.data() + bytes.size(), pivot.data(), &pivotSource, &pivotTarget,
                       pivot.data() + pivot.size(), first, true, &status);
        result.text.append(block.data(), out);
        if (result.text.size() > maxSize) return {Outcome::tooLong, {}, 0};
        if (status == U_BUFFER_OVERFLOW_ERROR) continue;
        if (U_SUCCESS(status)) return result;
        // The source converter stopped just past the bytes it could not convert.
        std::array<char, 32> invalid{};
        auto length = static_cast<std::int8_t>(invalid.size());
        UErrorCode ignored = U_ZERO_ERROR;
        ucnv_getInvalidChars(source.get(), invalid.data(), &length, &ignored);
        const auto consumed = static_cast<std::size_t>(in - bytes.data());
        const auto invalidSize = static_cast<std::size_t>(U_SUCCESS(ignored) ? length : 0);
        return {Outcome::invalidBytes, {}, consumed - std::min(consumed, invalidSize)};
    }
}

std::string nfc(std::string_view text) {
    if (isAscii(text)) return std::string(text);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || !isWellFormedUtf8(text)) return std::string(text);
    const auto source = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    if (normalizer->isNormalized(source, status) && U_SUCCESS(status)) return std::string(text);
    status = U_ZERO_ERROR;
    const icu::UnicodeString normalized = normalizer->normalize(source, status);
    if (U_FAILURE(status)) return std::string(text);
    std::string out;
    normalized.toUTF8String(out);
    return out;
}

std::string lowercaseFull(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            out.push_back(static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + 32 : byte));
            ++i;
            continue;
        }
        const std::size_t start = i;
        const UChar32 c = nextScalar(text, i);
        if (c < 0) {
            out.append(text.substr(start, i - start));
            continue;
        }
        // One scalar at a time, so no mapping can depend on its neighbours (final sigma).
        std::array<UChar, 2> source{};
        int32_t sourceLength = 0;
        U16_APPEND_UNSAFE(source.data(), sourceLength, c);
        std::array<UChar, 8> lowered{};
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length = u_strToLower(lowered.data(), static_cast<int32_t>(lowered.size()),
                                            source.data(), sourceLength, "", &status);
        if (U_FAILURE(status)) {
            out.append(text.substr(start, i - start));
            continue;
        }
        const auto converted =
            utf16ToUtf8(std::u16string_view(lowered.data(), static_cast<std::size_t>(length)));
        out += converted.value_or(std::string(text.substr(start, i - start)));
    }
    return out;
}

long utf8SequenceAt(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return -1;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= text.size() || byte(i) < low || byte(i) > high) return -static_cast<long>(i);
        low = 0x80;
        high = 0xBF;
    }
    return static_cast<long>(length);
}

}  // namespace lumifold
