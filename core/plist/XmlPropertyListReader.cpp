#include "core/plist/XmlPropertyListReader.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>
#include <utility>

#include "core/common/Base64.h"
#include "core/common/Error.h"
#include "core/common/Text.h"
#include "core/plist/PropertyListFormat.h"
#include "core/plist/PropertyListText.h"

namespace lumifold::platform {
namespace {

namespace fmt = plist_format;

constexpr std::string_view kSpace = " \t\r\n";
constexpr std::string_view kDeclarationOpen = "<?xml";
// ICU's names of the encodings a document's first bytes can show.
constexpr std::string_view kUtf8 = "UTF-8";
constexpr std::string_view kUtf16 = "UTF-16";
constexpr std::string_view kUtf16BigEndian = "UTF-16BE";
constexpr std::string_view kUtf16LittleEndian = "UTF-16LE";

[[noreturn]] void fail(PropertyListError code, const std::string& detail) {
    throw Error(kPropertyListDomain, code, "Malformed XML property list: " + detail);
}

[[noreturn]] void fail(const std::string& detail) { fail(kPropertyListMalformed, detail); }

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// What the first bytes say of the encoding (XML's appendix F): a byte-order mark, or "<?" in
// UTF-16 without one. Anything else is read as UTF-8 until a declaration says otherwise.
struct Start {
    std::string_view family;  // ICU's name: UTF-8, UTF-16BE or UTF-16LE
    std::size_t markSize = 0;
};

Start startOf(std::string_view bytes) {
    using namespace std::string_view_literals;
    if (bytes.starts_with("\xEF\xBB\xBF")) return {kUtf8, 3};
    if (bytes.starts_with("\xFE\xFF")) return {kUtf16BigEndian, 2};
    if (bytes.starts_with("\xFF\xFE")) return {kUtf16LittleEndian, 2};
    if (bytes.starts_with("\0<\0?"sv)) return {kUtf16BigEndian, 0};
    if (bytes.starts_with("<\0?\0"sv)) return {kUtf16LittleEndian, 0};
    return {kUtf8, 0};
}

// The characters after the mark up to the first '>', while they are ASCII and may still begin
// a declaration: all a declaration needs, which is ASCII in any encoding XML can detect.
std::string asciiStart(std::string_view bytes, const Start& start) {
    const std::size_t width = start.family == kUtf8 ? 1 : 2;
    const std::size_t low = start.family == kUtf16BigEndian ? 1 : 0;  // the byte a character is
    std::string out;
    for (std::size_t at = start.markSize; at + width <= bytes.size(); at += width) {
        const char c = bytes[at + low];
        if ((width == 2 && bytes[at + 1 - low] != '\0') || static_cast<unsigned char>(c) >= 0x80) {
            break;
        }
        out.push_back(c);
        if (c == '>' ||
            (out.size() <= kDeclarationOpen.size() && !kDeclarationOpen.starts_with(out))) {
            break;
        }
    }
    return out;
}

// The encoding a declaration at the start names (<?xml version="1.0" encoding="latin1"?>);
// nullopt when there is none, or none whose pseudo-attributes can be made out: such a document
// is read as UTF-8, as it always was.
std::optional<std::string> declaredEncoding(std::string_view start) {
    if (!start.starts_with(kDeclarationOpen) || start.size() == kDeclarationOpen.size() ||
        kSpace.find(start[kDeclarationOpen.size()]) == std::string_view::npos) {
        return std::nullopt;
    }
    for (std::size_t at = kDeclarationOpen.size();;) {
        const std::size_t equals = start.find('=', at);
        if (equals == std::string_view::npos) return std::nullopt;  // "?>" comes first
        const std::string_view name = trimmed(start.substr(at, equals - at));
        at = std::min(start.find_first_not_of(kSpace, equals + 1), start.size());
        const char quote = at < start.size() ? start[at] : '\0';
        const std::size_t close = start.find(quote, at + 1);
        if ((quote != '"' && quote != '\'') || close == std::string_view::npos) return std::nullopt;
        if (name == "encoding") return std::string(start.substr(at + 1, close - at - 1));
        at = close + 1;
    }
}

// XML's grammar of encoding names: a letter, then letters, digits, '.', '_' and '-'.
bool isEncodingName(std::string_view name) {
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    return !name.empty() && letter(name[0]) && std::all_of(name.begin(), name.end(), [&](char c) {
        return letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    });
}

// The document as UTF-8: its own bytes (less a byte-order mark) when it is in UTF-8, else
// converted into `converted`. It is in the encoding it declares, which must agree with a mark.
std::string_view utf8Text(std::string_view bytes, std::string& converted) {
    const Start start = startOf(bytes);
    std::string encoding(start.family);
    const std::optional<std::string> declared = declaredEncoding(asciiStart(bytes, start));
    if (declared) {
        const std::string quoted = "\"" + declared->substr(0, 40) + "\"";
        const std::optional<std::string> known =
            isEncodingName(*declared) ? encodingName(*declared) : std::nullopt;
        if (!known) fail("unknown encoding " + quoted);
        if (start.markSize == 0) {
            encoding = *known;
        } else if (*known != start.family && (*known != kUtf16 || start.family == kUtf8)) {
            fail("declares " + quoted + " but begins with a " + encoding + " byte-order mark");
        }
    }
    const std::string_view body = bytes.substr(start.markSize);
    if (encoding == kUtf8) return body;
    const std::string shown = declared.value_or(encoding).substr(0, 40);
    ConvertedText result = convertToUtf8(body, encoding, fmt::kMaxInputSize);
    switch (result.outcome) {
        case ConvertedText::Outcome::converted:
            break;
        case ConvertedText::Outcome::unknownEncoding:
            fail("unknown encoding \"" + shown + "\"");
        case ConvertedText::Outcome::invalidBytes:
            fail("byte " + std::to_string(start.markSize + result.invalidAt) + " is not " + shown);
        case ConvertedText::Outcome::tooLong:
            fail(kPropertyListTooLarge, "larger than the bound");
    }
    // An encoding that does not give back the declaration's own characters is not the
    // document's (US-ASCII bytes declared as UTF-16, UTF-16LE declared as UTF-16BE).
    if (declared && !result.text.starts_with(kDeclarationOpen)) {
        fail("not in \"" + shown + "\", the encoding it declares");
    }
    converted = std::move(result.text);
    return converted;
}

// The text as XML reads it: each CR LF pair, and each CR alone, becomes LF before anything is
// parsed (so in text, CDATA and attribute values alike); a reference (&#xD;) still gives a CR.
std::string withLineFeeds(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t cr = std::min(text.find('\r', at), text.size());
        out.append(text.substr(at, cr - at));
        if (cr == text.size()) break;
        out.push_back('\n');
        at = cr + (text.substr(cr).starts_with("\r\n") ? 2 : 1);
    }
    return out;
}

struct Tag {
    std::string_view name;
    bool closing = false;  // </name>
    bool empty = false;    // <name/>
};

// A recursive descent over the text; recursion stops at the depth bound.
class Reader final {
  public:
    explicit Reader(std::string_view text) : m_text(text) {}

    PlistValue readDocument() {
        skipMisc(true);
        const Tag root = readTag();
        PlistValue value;
        if (root.name == "plist" && !root.closing && !root.empty) {
            skipMisc(false);
            value = readValue(readTag(), 0);
            skipMisc(false);
            if (const Tag end = readTag(); !end.closing || end.name != "plist") {
                fail("<plist> holds more than one value");
            }
        } else {
            value = readValue(root, 0);  // a bare value as the root
        }
        skipMisc(false);
        if (m_at != m_text.size()) fail("content after the root element");
        return value;
    }

  private:
    bool consume(std::string_view prefix) {
        if (!m_text.substr(m_at).starts_with(prefix)) return false;
        m_at += prefix.size();
        return true;
    }

    void skipSpace() { m_at = std::min(m_text.find_first_not_of(kSpace, m_at), m_text.size()); }

    void skipPast(std::string_view terminator, const char* what) {
        const std::size_t end = m_text.find(terminator, m_at);
        if (end == std::string_view::npos) fail(std::string("unterminated ") + what);
        m_at = end + terminator.size();
    }

    // Skips a comment or processing instruction at the position; false when there is none.
    bool skipComment() {
        if (consume("<!--")) {
            skipPast("-->", "comment");
        } else if (consume("<?")) {
            skipPast("?>", "processing instruction");
        } else {
            return false;
        }
        return true;
    }

    // Skips white space, comments and processing instructions (and, in the prolog, a DOCTYPE).
    void skipMisc(bool prolog) {
        for (skipSpace(); skipComment() || (prolog && skipDoctype()); skipSpace()) {
        }
    }

    bool skipDoctype() {
        const std::size_t start = m_at;
        if (!consume("<!DOCTYPE")) return false;
        skipPast(">", "DOCTYPE");
        if (m_text.substr(start, m_at - start).find('[') != std::string_view::npos) {
            fail("DOCTYPE with an internal subset");
        }
        return true;
    }

    // Reads a start, end or empty-element tag; attributes are read past and ignored.
    Tag readTag() {
        if (m_at >= m_text.size()) fail("unexpected end of the document");
        if (!consume("<")) fail("text where an element belongs");
        Tag tag;
        tag.closing = consume("/");
        const std::size_t nameEnd = m_text.find_first_of(" \t\r\n/>", m_at);
        if (nameEnd == std::string_view::npos) fail("unterminated tag");
        tag.name = m_text.substr(m_at, nameEnd - m_at);
        m_at = nameEnd;
        for (;;) {
            skipSpace();
            if (consume(">")) return tag;
            if (!tag.closing && consume("/>")) {
                tag.empty = true;
                return tag;
            }
            const std::size_t equals = m_text.find_first_of("=<>", m_at);
            if (tag.closing || equals == std::string_view::npos || m_text[equals] != '=') {
                fail("malformed tag <" + std::string(tag.name) + ">");
            }
            m_at = equals + 1;
            skipSpace();
            const char quote = m_at < m_text.size() ? m_text[m_at] : '\0';
            if (quote != '"' && quote != '\'') fail("attribute value without quotes");
            m_at = m_text.find(quote, m_at + 1);
            if (m_at == std::string_view::npos) fail("unterminated attribute value");
            ++m_at;
        }
    }

    void countValue() {
        if (++m_values > fmt::kMaxValueCount) {
            fail(kPropertyListTooLarge, "more values than the bound allows");
        }
    }

    // The text of `tag` up to its end tag, references resolved, in generalised UTF-8 (a
    // reference to a lone surrogate is kept).
    std::string readText(const Tag& tag) {
        std::string out;
        while (!tag.empty) {
            const std::size_t next = m_text.find_first_of("<&", m_at);
            if (next == std::string_view::npos)
                fail("<" + std::string(tag.name) + "> is not closed");
            out.append(m_text.substr(m_at, next - m_at));
            m_at = next;
            if (m_text[m_at] == '&') {
                readReference(out);
            } else if (consume("<![CDATA[")) {
                const std::size_t start = m_at;
                skipPast("]]>", "CDATA section");
                out.append(m_text.substr(start, m_at - 3 - start));
            } else if (!skipComment()) {
                if (const Tag end = readTag(); !end.closing || end.name != tag.name) {
                    fail("markup inside <" + std::string(tag.name) + ">");
                }
                break;
            }
        }
        return out;
    }

    void readReference(std::string& out) {
        constexpr std::size_t kLongest = 32;  // "&#x" and leading zeros
        const std::size_t end = m_text.find(';', m_at);
        if (end - m_at > kLongest) fail("malformed reference");  // no ';' (npos) included
        const std::string_view name = m_text.substr(m_at + 1, end - m_at - 1);
        m_at = end + 1;
        constexpr std::pair<std::string_view, char> kNamed[] = {
            {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
        for (const auto& [entity, character] : kNamed) {
            if (name == entity) return out.push_back(character);
        }
        const bool hex = name.starts_with("#x");
        const std::string_view digits =
            name.substr(std::min<std::size_t>(hex ? 2 : 1, name.size()));
        std::uint32_t code = 0;
        const auto [last, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
        if (!name.starts_with('#') || error != std::errc() ||
            last != digits.data() + digits.size() || code > 0x10FFFF) {
            fail("unknown reference &" + std::string(name) + ";");
        }
        appendGeneralisedUtf8(out, code);
    }

    PlistValue readValue(const Tag& tag, std::size_t depth) {
        const std::string name(tag.name);
        if (tag.closing) fail("unexpected </" + name + ">");
        if (depth > fmt::kMaxDepth) fail(kPropertyListTooLarge, "nested too deeply");
        countValue();
        if (name == "dict") return readDictionary(tag, depth);
        if (name == "array") return readArray(tag, depth);
        if (name == "string") return PlistValue::string(readText(tag));
        if (name == "data") {
            std::string text = readText(tag);
            std::erase_if(text, [](char c) { return kSpace.find(c) != std::string_view::npos; });
            std::optional<Bytes> bytes = base64Decode(text);
            if (!bytes) fail("<data> is not base64");
            return PlistValue::data(std::move(*bytes));
        }
        if (name != "true" && name != "false" && name != "integer" && name != "real" &&
            name != "date") {
            fail("unexpected <" + name + ">");
        }
        const std::string text(trimmed(readText(tag)));
        if (name == "true" || name == "false") {
            if (!text.empty()) fail("<" + name + "> holds text");
            return PlistValue::boolean(name == "true");
        }
        if (name == "integer") {
            if (std::optional<PlistValue> value = parsePropertyListInteger(text))
                return std::move(*value);
        } else if (name == "real") {
            if (const std::optional<double> value = parsePropertyListReal(text))
                return PlistValue::real(*value);
        } else if (const std::optional<double> value = parsePropertyListDate(text)) {
            return PlistValue::date({*value});
        }
        fail("<" + name + "> holds \"" + text.substr(0, 40) + "\"");
    }

    PlistValue readArray(const Tag& tag, std::size_t depth) {
        PlistArray items;
        for (bool open = !tag.empty; open;) {
            skipMisc(false);
            const Tag next = readTag();
            open = !next.closing || next.name != "array";
            if (open) items.push_back(readValue(next, depth + 1));
        }
        return PlistValue::array(std::move(items));
    }

    PlistValue readDictionary(const Tag& tag, std::size_t depth) {
        PlistDictionary entries;
        while (!tag.empty) {
            skipMisc(false);
            const Tag keyTag = readTag();
            if (keyTag.closing && keyTag.name == "dict") break;
            if (keyTag.closing || keyTag.name != "key")
                fail("<dict> holds a value without a <key>");
            countValue();
            std::string key = readText(keyTag);
            skipMisc(false);
            // Of two equal keys the last wins, as other readers do.
            entries.insert_or_assign(std::move(key), readValue(readTag(), depth + 1));
        }
        if (const std::optional<std::uint64_t> uid = uidInXml(entries))
            return PlistValue::uid(*uid);
        return PlistValue::dictionary(std::move(entries));
    }

    std::string_view m_text;
    std::size_t m_at = 0;
    std::size_t m_values = 0;
};

}  // namespace

std::optional<std::uint64_t> uidInXml(const PlistDictionary& entries) {
    if (entries.size() != 1 || entries.begin()->first != fmt::kUidKey) return std::nullopt;
    const PlistValue& value = entries.begin()->second;
    if (const std::int64_t* number = value.ifInteger(); number && *number >= 0) {
        return static_cast<std::uint64_t>(*number);
    }
    if (const std::uint64_t* number = value.ifUnsignedInteger()) return *number;
    return std::nullopt;
}

PlistValue readXmlPropertyList(ByteView bytes) {
    std::string converted;
    std::string_view text = utf8Text(asText(bytes), converted);
    if (text.size() > fmt::kMaxInputSize) fail(kPropertyListTooLarge, "larger than the bound");
    if (!isWellFormedUtf8(text)) fail("not well-formed UTF-8");
    if (text.find('\r') != std::string_view::npos) {
        converted = withLineFeeds(text);
        text = converted;
    }
    return Reader(text).readDocument();
}

}  // namespace lumifold::platform
