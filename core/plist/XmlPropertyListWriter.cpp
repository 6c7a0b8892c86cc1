// toXmlPropertyList: the usual declaration and DOCTYPE, one element per line indented by
// tabs. Everything written reads back as the same value through readXmlPropertyList; values
// XML cannot hold are refused before any text is returned.
#include <cstdio>
#include <string>

#include "core/common/Base64.h"
#include "core/common/Error.h"
#include "core/common/Numbers.h"
#include "core/common/Text.h"
#include "core/plist/PropertyList.h"
#include "core/plist/PropertyListFormat.h"
#include "core/plist/PropertyListText.h"
#include "core/plist/XmlPropertyListReader.h"

namespace lumifold::platform {
namespace {

namespace fmt = plist_format;

using fmt::failWrite;

void appendReference(std::string& out, unsigned code) {
    char text[16];
    std::snprintf(text, sizeof text, "&#x%X;", code);
    out += text;
}

class Writer final {
  public:
    std::string write(const PlistValue& root) {
        m_out = fmt::kXmlHeader;
        write(root, 0);
        m_out += fmt::kXmlFooter;
        if (m_out.size() > fmt::kMaxInputSize) failWrite("larger than readers accept");
        return std::move(m_out);
    }

  private:
    void countValues(std::size_t count) {
        m_values += count;
        if (m_values > fmt::kMaxValueCount) failWrite("more values than readers accept");
    }

    void line(std::size_t depth, const std::string& text) {
        m_out.append(depth, '\t');
        m_out += text;
        m_out += '\n';
    }

    // `text` as character data. Control characters other than tab and line feed are written
    // as references, since XML readers drop or normalise them (a carriage return becomes a
    // line feed); so is each lone surrogate, which has no UTF-8 form.
    std::string escaped(const std::string& text, const char* what) {
        if (!isWellFormedUtf8(text) && !generalisedUtf8ToUtf16(text)) {
            failWrite(std::string(what) + " is not well-formed UTF-8");
        }
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            if (byte == '<') {
                out += "&lt;";
            } else if (byte == '>') {
                out += "&gt;";
            } else if (byte == '&') {
                out += "&amp;";
            } else if (byte < 0x20 && byte != '\t' && byte != '\n') {
                appendReference(out, byte);
            } else if (byte == 0xED && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0xA0) {
                const auto second = static_cast<unsigned char>(text[i + 1]);
                const auto third = static_cast<unsigned char>(text[i + 2]);
                appendReference(out, 0xD000 | ((second & 0x3Fu) << 6) | (third & 0x3Fu));
                i += 2;
            } else {
                out.push_back(static_cast<char>(byte));
            }
        }
        return out;
    }

    void write(const PlistValue& value, std::size_t depth) {
        if (depth > fmt::kMaxDepth) failWrite("nested too deeply");
        countValues(1);
        if (const std::string* text = value.ifString()) {
            line(depth, "<string>" + escaped(*text, "a string") + "</string>");
        } else if (const std::string* opaque = value.ifOpaqueString()) {
            line(depth, "<string>" + escaped(*opaque, "a string") + "</string>");
        } else if (const std::int64_t* number = value.ifInteger()) {
            line(depth, "<integer>" + std::to_string(*number) + "</integer>");
        } else if (const std::uint64_t* wide = value.ifUnsignedInteger()) {
            line(depth, "<integer>" + std::to_string(*wide) + "</integer>");
        } else if (const double* real = value.ifReal()) {
            line(depth, "<real>" + formatReal(*real) + "</real>");
        } else if (const bool* flag = value.ifBoolean()) {
            line(depth, *flag ? "<true/>" : "<false/>");
        } else if (const PlistDate* date = value.ifDate()) {
            const auto when = formatPropertyListDate(date->secondsSinceReferenceDate);
            if (!when) failWrite("XML holds dates from the year 0000 to 9999 only");
            line(depth, "<date>" + *when + "</date>");
        } else if (const Bytes* bytes = value.ifData()) {
            line(depth, "<data>" + base64Encode(*bytes) + "</data>");
        } else if (const std::uint64_t* uid = value.ifUid()) {
            // A dictionary holding a key and an integer: two values more, one level deeper.
            if (depth + 1 > fmt::kMaxDepth) failWrite("nested too deeply");
            countValues(2);
            line(depth, "<dict>");
            line(depth + 1, "<key>" + std::string(fmt::kUidKey) + "</key>");
            line(depth + 1, "<integer>" + std::to_string(*uid) + "</integer>");
            line(depth, "</dict>");
        } else if (const PlistArray* items = value.ifArray()) {
            if (items->empty()) return line(depth, "<array/>");
            line(depth, "<array>");
            for (const PlistValue& item : *items) write(item, depth + 1);
            line(depth, "</array>");
        } else {
            writeDictionary(*value.ifDictionary(), depth);
        }
    }

    void writeDictionary(const PlistDictionary& entries, std::size_t depth) {
        if (uidInXml(entries)) failWrite("this dictionary would read back from XML as a UID");
        if (entries.empty()) return line(depth, "<dict/>");
        line(depth, "<dict>");
        for (const auto& [key, item] : entries) {
            countValues(1);
            line(depth + 1, "<key>" + escaped(key, "a key") + "</key>");
            write(item, depth + 1);
        }
        line(depth, "</dict>");
    }

    std::string m_out;
    std::size_t m_values = 0;
};

}  // namespace

std::string toXmlPropertyList(const PlistValue& value) { return Writer().write(value); }

}  // namespace lumifold::platform
