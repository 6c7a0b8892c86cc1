#include "core/common/JsonWriter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <stdexcept>

#include "core/common/Text.h"

namespace lumifold {
namespace {

constexpr std::size_t kFlushThreshold = 64 * 1024;
constexpr std::size_t kIndent = 2;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

JsonWriter::JsonWriter(Sink sink, Options options) : m_sink(std::move(sink)), m_options(options) {
    grow(kFlushThreshold + 4096);
}

void JsonWriter::grow(std::size_t bytes) {
    const std::size_t capacity = std::max(m_size + bytes, 2 * m_capacity);
    auto larger = std::make_unique_for_overwrite<char[]>(capacity);
    if (m_size > 0) std::memcpy(larger.get(), m_buffer.get(), m_size);
    m_buffer = std::move(larger);
    m_capacity = capacity;
}

void JsonWriter::put(std::string_view text) {
    std::memcpy(room(text.size()), text.data(), text.size());
    m_size += text.size();
}

void JsonWriter::newline(std::size_t depth) {
    if (m_options.compact) return;
    char* out = room(1 + depth * kIndent);
    *out = '\n';
    std::memset(out + 1, ' ', depth * kIndent);
    m_size += 1 + depth * kIndent;
}

void JsonWriter::beforeValue() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_hasMembers.empty()) return;  // the document's one value
    if (m_hasMembers.back()) put(',');
    m_hasMembers.back() = true;
    newline(m_hasMembers.size());
}

void JsonWriter::key(std::string_view name) {
    beforeValue();
    writeString(name);
    put(m_options.compact ? std::string_view(":") : std::string_view(": "));
    m_afterKey = true;
}

void JsonWriter::beginObject() {
    beforeValue();
    put('{');
    m_hasMembers.push_back(false);
}

void JsonWriter::beginArray() {
    beforeValue();
    put('[');
    m_hasMembers.push_back(false);
}

void JsonWriter::endObject() {
    const bool members = m_hasMembers.back();
    m_hasMembers.pop_back();
    if (members) newline(m_hasMembers.size());
    put('}');
    flushIfLarge();
}

void JsonWriter::endArray() {
    const bool members = m_hasMembers.back();
    m_hasMembers.pop_back();
    if (members) newline(m_hasMembers.size());
    put(']');
    flushIfLarge();
}

void JsonWriter::string(std::string_view text) {
    beforeValue();
    writeString(text);
}

namespace {

// The bytes that go over as they are: ASCII but for controls, '"' and '\\' ('/' too where the
// solidus is not escaped). A table, as this runs over every byte of a manifest's paths.
constexpr std::array<bool, 256> plainBytes(bool escapeSolidus) {
    std::array<bool, 256> plain{};
    for (int byte = 0x20; byte < 0x80; ++byte) plain[static_cast<std::size_t>(byte)] = true;
    plain['"'] = plain['\\'] = false;
    plain['/'] = !escapeSolidus;
    return plain;
}
constexpr std::array<bool, 256> kPlain = plainBytes(false);
constexpr std::array<bool, 256> kPlainButSolidus = plainBytes(true);

// A high bit in each byte of `word` (read little-endian) that is not plain, and maybe in bytes
// above such a byte; none where every byte is plain.
std::uint64_t notPlainBytes(std::uint64_t word, bool escapeSolidus) {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHigh = 0x8080808080808080;
    const auto zeroBytes = [&](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
    std::uint64_t special = (word & kHigh)                             // not ASCII
                            | ((word - 0x20 * kOnes) & ~word & kHigh)  // controls
                            | zeroBytes(word ^ ('"' * kOnes)) | zeroBytes(word ^ ('\\' * kOnes));
    if (escapeSolidus) special |= zeroBytes(word ^ ('/' * kOnes));
    return special;
}

// One ASCII character that is not plain, as JSON writes it, at `out`; the end of what it wrote.
char* writeEscaped(char* out, char c) {
    const auto pair = [&](char second) {
        out[0] = '\\';
        out[1] = second;
        return out + 2;
    };
    switch (c) {
        case '"':
            return pair('"');
        case '\\':
            return pair('\\');
        case '/':
            return pair('/');  // plain unless escaped
        case '\b':
            return pair('b');
        case '\f':
            return pair('f');
        case '\n':
            return pair('n');
        case '\r':
            return pair('r');
        case '\t':
            return pair('t');
        default: {
            static constexpr char kHex[] = "0123456789abcdef";
            const auto byte = static_cast<unsigned char>(c);
            std::memcpy(out, "\\u00", 4);
            out[4] = kHex[byte >> 4];
            out[5] = kHex[byte & 0xF];
            return out + 6;
        }
    }
}

}  // namespace

void JsonWriter::writeString(std::string_view text) {
    const bool escapeSolidus = m_options.escapeSolidus;
    const std::array<bool, 256>& plain = escapeSolidus ? kPlainButSolidus : kPlain;
    // At most six bytes for one ("\u00XX"; a bad sequence's replacement is three for one).
    char* const begin = room(6 * text.size() + 2);
    char* out = begin;
    *out++ = '"';
    const char* in = text.data();
    const char* const end = in + text.size();
    while (in < end) {
        // Eight bytes at a time while they are plain: copied whole, then kept up to the first
        // that is not. There is room, as what is left needs at least twelve bytes.
        if (end - in >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, in, 8);
            std::memcpy(out, &word, 8);
            if (const std::uint64_t special = notPlainBytes(word, escapeSolidus); special != 0) {
                const auto run = static_cast<std::size_t>(std::countr_zero(special) / 8);
                in += run;
                out += run;
            } else {
                in += 8;
                out += 8;
                continue;
            }
        }
        const auto byte = static_cast<unsigned char>(*in);
        if (plain[byte]) {
            *out++ = *in++;
            continue;
        }
        if (byte < 0x80) {
            out = writeEscaped(out, *in++);
            continue;
        }
        const long length =
            utf8SequenceAt(std::string_view(in, static_cast<std::size_t>(end - in)));
        if (length < 0) {
            if (!m_options.replaceInvalidUtf8) {
                throw std::invalid_argument("text that is not well-formed UTF-8");
            }
            out = std::copy(kReplacement.begin(), kReplacement.end(), out);
            in += -length;
            continue;
        }
        out = std::copy(in, in + length, out);
        in += length;
    }
    *out++ = '"';
    m_size += static_cast<std::size_t>(out - begin);
    flushIfLarge();
}

void JsonWriter::integer(std::int64_t value) {
    beforeValue();
    std::array<char, 24> digits{};
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    put(std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data())));
}

void JsonWriter::unsignedInteger(std::uint64_t value) {
    beforeValue();
    std::array<char, 24> digits{};
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    put(std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data())));
}

void JsonWriter::boolean(bool value) {
    beforeValue();
    put(value ? std::string_view("true") : std::string_view("false"));
}

void JsonWriter::null() {
    beforeValue();
    put("null");
}

void JsonWriter::rawValue(std::string_view json) {
    beforeValue();
    put(json);
    flushIfLarge();
}

void JsonWriter::rawValueFrom(const std::function<void(const Sink&)>& produce) {
    beforeValue();
    handOver();
    produce([this](std::string_view piece) {
        m_sink(piece);
        m_handed += piece.size();
    });
}

void JsonWriter::handOver() {
    if (m_size > 0) m_sink(std::string_view(m_buffer.get(), m_size));
    m_handed += m_size;
    m_size = 0;
}

void JsonWriter::flushIfLarge() {
    if (m_size >= kFlushThreshold) handOver();
}

void JsonWriter::finish() { handOver(); }

}  // namespace lumifold
