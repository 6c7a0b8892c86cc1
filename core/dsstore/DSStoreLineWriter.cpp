#include "core/dsstore/DSStoreLineWriter.h"

#include <algorithm>
#include <charconv>

#include "core/common/Base64.h"

namespace lumifold {
namespace {

constexpr std::size_t kPieceSize = 64 * 1024;
// UTF-16 units converted per reservation of room, so a huge string never asks for six times
// its size at once.
constexpr std::size_t kUnitsPerStep = 4096;
// The most one unit becomes: a control character's \u00XX.
constexpr std::size_t kMaxBytesPerUnit = 6;

// Room for `count` more bytes at the end of `out`, written through the pointer returned; `trim`
// then cuts `out` where the writing ended.
char* room(std::string& out, std::size_t count) {
    const std::size_t size = out.size();
    out.resize(size + count);
    return out.data() + size;
}

void trim(std::string& out, const char* end) {
    out.resize(static_cast<std::size_t>(end - out.data()));
}

// A character below 0x80 as JsonWriter writes it in a string.
char* putAscii(char* to, unsigned c) {
    static constexpr char kHex[] = "0123456789abcdef";
    if (c >= 0x20 && c != '"' && c != '\\') {
        *to++ = static_cast<char>(c);
        return to;
    }
    *to++ = '\\';
    switch (c) {
        case '"':
        case '\\':
            *to++ = static_cast<char>(c);
            break;
        case '\b':
            *to++ = 'b';
            break;
        case '\f':
            *to++ = 'f';
            break;
        case '\n':
            *to++ = 'n';
            break;
        case '\r':
            *to++ = 'r';
            break;
        case '\t':
            *to++ = 't';
            break;
        default:
            *to++ = 'u';
            *to++ = '0';
            *to++ = '0';
            *to++ = kHex[c >> 4];
            *to++ = kHex[c & 0xF];
    }
    return to;
}

char* putScalar(char* to, char32_t c) {
    if (c < 0x80) return putAscii(to, c);
    if (c < 0x800) {
        *to++ = static_cast<char>(0xC0 | (c >> 6));
    } else {
        if (c < 0x10000) {
            *to++ = static_cast<char>(0xE0 | (c >> 12));
        } else {
            *to++ = static_cast<char>(0xF0 | (c >> 18));
            *to++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        }
        *to++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    *to++ = static_cast<char>(0x80 | (c & 0x3F));
    return to;
}

// Big-endian UTF-16 as a JSON string. Text that is not well formed (an unpaired surrogate) is
// written as "" and false returned, as the reader reads it as empty and altered.
bool putUtf16(std::string& out, ByteView units) {
    const std::size_t start = out.size();
    const auto* bytes = reinterpret_cast<const unsigned char*>(units.data());
    const std::size_t count = units.size() / 2;
    const auto unitAt = [bytes](std::size_t i) -> char32_t {
        return static_cast<char32_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
    };
    out.push_back('"');
    for (std::size_t i = 0; i < count;) {
        const std::size_t stepEnd = std::min(count, i + kUnitsPerStep);
        // One more unit's room: a pair may end just past the step.
        char* to = room(out, (stepEnd - i + 1) * kMaxBytesPerUnit);
        for (; i < stepEnd; ++i) {
            const char32_t unit = unitAt(i);
            if (unit < 0xD800 || unit > 0xDFFF) {
                to = putScalar(to, unit);
                continue;
            }
            const char32_t next = i + 1 < count ? unitAt(i + 1) : 0;
            if (unit > 0xDBFF || next < 0xDC00 || next > 0xDFFF) {
                out.resize(start);
                out += "\"\"";
                return false;
            }
            to = putScalar(to, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
            ++i;
        }
        trim(out, to);
    }
    out.push_back('"');
    return true;
}

// ISO 8859-1 bytes (codes and type codes) as a JSON string.
void putLatin1(std::string& out, ByteView text) {
    char* to = room(out, text.size() * kMaxBytesPerUnit + 2);
    *to++ = '"';
    for (const std::byte byte : text) to = putScalar(to, std::to_integer<char32_t>(byte));
    *to++ = '"';
    trim(out, to);
}

void putNumber(std::string& out, std::uint64_t number) {
    char* to = room(out, 20);
    trim(out, std::to_chars(to, to + 20, number).ptr);
}

// Appends the record's line; returns whether its text had to be altered.
bool appendLine(std::string& out, const DSStoreRecordView& record, const ExtraLineMembers& extra) {
    out += "{\"filename\":";
    bool altered = !putUtf16(out, record.name);
    out += ",\"code\":";
    putLatin1(out, record.code);
    out += ",\"type\":";
    putLatin1(out, record.type);
    out += ",\"value\":";
    switch (record.kind) {
        case DSStoreValue::Kind::boolean:
            out += record.number != 0 ? "true" : "false";
            break;
        case DSStoreValue::Kind::integer:
        case DSStoreValue::Kind::uint64:
            putNumber(out, record.number);
            break;
        case DSStoreValue::Kind::fourCC:
            putLatin1(out, record.payload);
            break;
        case DSStoreValue::Kind::string:
            altered = !putUtf16(out, record.payload) || altered;
            break;
        case DSStoreValue::Kind::data:
            out.push_back('"');
            appendBase64(out, record.payload);
            out.push_back('"');
            break;
    }
    if (extra) extra(out, record);
    out += "}\n";
    return altered;
}

}  // namespace

DSStoreWalkResult writeStoreLines(ByteView image, const std::function<void(std::string_view)>& sink,
                                  const ExtraLineMembers& extra) {
    const DSStoreReader reader;
    // The whole tree is checked before the first line, so a damaged store prints nothing.
    reader.walk(image, [](const DSStoreRecordView&) { return false; });
    std::string out;
    out.reserve(kPieceSize + kPieceSize / 4);
    const DSStoreWalkResult result = reader.walk(image, [&](const DSStoreRecordView& record) {
        const bool altered = appendLine(out, record, extra);
        if (out.size() >= kPieceSize) {
            sink(out);
            out.clear();
        }
        return altered;
    });
    if (!out.empty()) sink(out);
    return result;
}

}  // namespace lumifold
