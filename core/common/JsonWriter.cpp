#include "core/common/JsonWriter.h"

#include <array>
#include <charconv>
#include <stdexcept>

#include "core/common/Text.h"

namespace lumifold {
namespace {

constexpr std::size_t kFlushThreshold = 64 * 1024;
constexpr std::size_t kIndent = 2;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

JsonWriter::JsonWriter(Sink sink, Options options) : m_sink(std::move(sink)), m_options(options) {
    m_buffer.reserve(kFlushThreshold + 4096);
}

void JsonWriter::newline(std::size_t depth) {
    if (m_options.compact) return;
    m_buffer.push_back('\n');
    m_buffer.append(depth * kIndent, ' ');
}

void JsonWriter::beforeValue() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_hasMembers.empty()) return;  // the document's one value
    m_buffer += m_hasMembers.back() ? "," : "";
    m_hasMembers.back() = true;
    newline(m_hasMembers.size());
}

void JsonWriter::key(std::string_view name) {
    beforeValue();
    writeString(name);
    m_buffer += m_options.compact ? ":" : ": ";
    m_afterKey = true;
}

void JsonWriter::beginObject() {
    beforeValue();
    m_buffer.push_back('{');
    m_hasMembers.push_back(false);
}

void JsonWriter::beginArray() {
    beforeValue();
    m_buffer.push_back('[');
    m_hasMembers.push_back(false);
}

void JsonWriter::endObject() {
    const bool members = m_hasMembers.back();
    m_hasMembers.pop_back();
    if (members) newline(m_hasMembers.size());
    m_buffer.push_back('}');
    flushIfLarge();
}

void JsonWriter::endArray() {
    const bool members = m_hasMembers.back();
    m_hasMembers.pop_back();
    if (members) newline(m_hasMembers.size());
    m_buffer.push_back(']');
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

// How many bytes from the front of `text` go over as they are.
std::size_t plainRunLength(std::string_view text, bool escapeSolidus) {
    const std::array<bool, 256>& plain = escapeSolidus ? kPlainButSolidus : kPlain;
    std::size_t run = 0;
    while (run < text.size() && plain[static_cast<unsigned char>(text[run])]) ++run;
    return run;
}

// One ASCII character that is not plain, as JSON writes it.
void appendEscaped(std::string& buffer, char c, bool escapeSolidus) {
    switch (c) {
        case '"':
            buffer += "\\\"";
            break;
        case '\\':
            buffer += "\\\\";
            break;
        case '\b':
            buffer += "\\b";
            break;
        case '\f':
            buffer += "\\f";
            break;
        case '\n':
            buffer += "\\n";
            break;
        case '\r':
            buffer += "\\r";
            break;
        case '\t':
            buffer += "\\t";
            break;
        case '/':
            buffer += escapeSolidus ? "\\/" : "/";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                static constexpr char kHex[] = "0123456789abcdef";
                buffer += "\\u00";
                buffer.push_back(kHex[(c >> 4) & 0xF]);
                buffer.push_back(kHex[c & 0xF]);
            } else {
                buffer.push_back(c);
            }
    }
}

}  // namespace

void JsonWriter::writeString(std::string_view text) {
    m_buffer.push_back('"');
    while (!text.empty()) {
        // Plain ASCII goes over in runs: a manifest is mostly paths and names.
        if (const std::size_t plain = plainRunLength(text, m_options.escapeSolidus); plain > 0) {
            m_buffer.append(text.substr(0, plain));
            text.remove_prefix(plain);
            continue;
        }
        if (text.front() == '/') {  // escaped, between the components of every path
            m_buffer += "\\/";
            text.remove_prefix(1);
            continue;
        }
        const long length = utf8SequenceAt(text);
        if (length < 0) {
            if (!m_options.replaceInvalidUtf8) {
                throw std::invalid_argument("text that is not well-formed UTF-8");
            }
            m_buffer += kReplacement;
            text.remove_prefix(static_cast<std::size_t>(-length));
            continue;
        }
        if (length > 1) {
            m_buffer.append(text.substr(0, static_cast<std::size_t>(length)));
            text.remove_prefix(static_cast<std::size_t>(length));
            continue;
        }
        appendEscaped(m_buffer, text.front(), m_options.escapeSolidus);
        text.remove_prefix(1);
    }
    m_buffer.push_back('"');
    flushIfLarge();
}

void JsonWriter::integer(std::int64_t value) {
    beforeValue();
    std::array<char, 24> digits{};
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    m_buffer.append(digits.data(), end);
}

void JsonWriter::unsignedInteger(std::uint64_t value) {
    beforeValue();
    std::array<char, 24> digits{};
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    m_buffer.append(digits.data(), end);
}

void JsonWriter::boolean(bool value) {
    beforeValue();
    m_buffer += value ? "true" : "false";
}

void JsonWriter::null() {
    beforeValue();
    m_buffer += "null";
}

void JsonWriter::rawValue(std::string_view json) {
    beforeValue();
    m_buffer += json;
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
    if (!m_buffer.empty()) m_sink(m_buffer);
    m_handed += m_buffer.size();
    m_buffer.clear();
}

void JsonWriter::flushIfLarge() {
    if (m_buffer.size() >= kFlushThreshold) handOver();
}

void JsonWriter::finish() { handOver(); }

}  // namespace lumifold
