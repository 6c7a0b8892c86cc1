#include "core/dsstore/DSStoreEntryJson.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <stdexcept>

#include "core/common/Base64.h"
#include "core/common/Text.h"

namespace lumifold {
namespace {

[[noreturn]] void invalid(const std::string& what) { throw std::invalid_argument(what); }

// `text` as a JSON string of ASCII only, so a message that quotes input holds no control bytes.
std::string quoted(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

const nlohmann::json& member(const nlohmann::json& line, const char* key) {
    const auto found = line.find(key);
    if (found == line.end()) invalid(std::string("missing key \"") + key + "\"");
    return *found;
}

std::string stringMember(const nlohmann::json& line, const char* key) {
    const auto& value = member(line, key);
    if (!value.is_string()) invalid(std::string("\"") + key + "\" must be a string");
    return value.get<std::string>();
}

std::uint64_t unsignedValue(const nlohmann::json& value, std::uint64_t maximum,
                            const std::string& type) {
    if (!value.is_number_integer() || (value.is_number_integer() && !value.is_number_unsigned() &&
                                       value.get<std::int64_t>() < 0)) {
        invalid("the value of a \"" + type + "\" record must be a whole number from 0 to " +
                std::to_string(maximum));
    }
    const auto number = value.get<std::uint64_t>();
    if (number > maximum) {
        invalid("the value of a \"" + type + "\" record must be a whole number from 0 to " +
                std::to_string(maximum));
    }
    return number;
}

// Consumes `literal` at the start of `text`.
bool take(std::string_view& text, std::string_view literal) {
    if (!text.starts_with(literal)) return false;
    text.remove_prefix(literal.size());
    return true;
}

// JSON's white space within a line.
void skipSpace(std::string_view& text) {
    while (!text.empty() && (text[0] == ' ' || text[0] == '\t' || text[0] == '\r')) {
        text.remove_prefix(1);
    }
}

// A string with no escapes and no control bytes, well-formed UTF-8 (what the tree parser
// accepts and gives back unchanged).
std::optional<std::string_view> takePlainString(std::string_view& text) {
    if (!take(text, "\"")) return std::nullopt;
    bool ascii = true;
    std::size_t end = 0;
    for (; end < text.size(); ++end) {
        const auto byte = static_cast<unsigned char>(text[end]);
        if (byte == '"') break;
        if (byte < 0x20 || byte == '\\') return std::nullopt;
        ascii = ascii && byte < 0x80;
    }
    if (end == text.size()) return std::nullopt;
    const std::string_view value = text.substr(0, end);
    if (!ascii && !isWellFormedUtf8(value)) return std::nullopt;
    text.remove_prefix(end + 1);
    return value;
}

// A value that is not a string: true, false or a whole number (checked when its type is known).
std::string_view takeBareValue(std::string_view& text) {
    std::size_t end = 0;
    while (end < text.size() &&
           ((text[end] >= '0' && text[end] <= '9') || (text[end] >= 'a' && text[end] <= 'z'))) {
        ++end;
    }
    const std::string_view value = text.substr(0, end);
    text.remove_prefix(end);
    return value;
}

// A whole number in JSON's form (no sign, no leading zero) no greater than `maximum`.
std::optional<std::uint64_t> wholeNumber(std::string_view text, std::uint64_t maximum) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    std::uint64_t number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (number > (maximum - digit) / 10) return std::nullopt;
        number = number * 10 + digit;
    }
    return number;
}

std::optional<DSStoreValue> directValue(std::string_view value, bool isString,
                                        std::string_view type) {
    if (type == kTypeBool) {
        if (isString || (value != "true" && value != "false")) return std::nullopt;
        return DSStoreValue::boolean(value == "true");
    }
    if (type == kTypeLong || type == kTypeShor || type == kTypeComp || type == kTypeDutc) {
        const bool narrow = type == kTypeLong || type == kTypeShor;
        const auto number =
            isString ? std::nullopt
                     : wholeNumber(value, narrow ? std::numeric_limits<std::uint32_t>::max()
                                                 : std::numeric_limits<std::uint64_t>::max());
        if (!number) return std::nullopt;
        return narrow ? DSStoreValue::integer(static_cast<std::uint32_t>(*number))
                      : DSStoreValue::uint64(*number);
    }
    if (!isString) return std::nullopt;
    if (type == kTypeType) return DSStoreValue::fourCC(std::string(value));
    if (type == kTypeUstr) return DSStoreValue::string(std::string(value));
    if (type != kTypeBlob) return std::nullopt;
    auto bytes = base64Decode(value);
    if (!bytes) return std::nullopt;
    return DSStoreValue::data(std::move(*bytes));
}

}  // namespace

void writeEntryMembers(JsonWriter& writer, const DSStoreEntry& entry) {
    writer.key("filename");
    writer.string(entry.filename);
    writer.key("code");
    writer.string(entry.code);
    writer.key("type");
    writer.string(entry.typecode);
    writer.key("value");
    const DSStoreValue& value = entry.value;
    switch (value.kind()) {
        case DSStoreValue::Kind::boolean:
            writer.boolean(value.asBoolean());
            break;
        case DSStoreValue::Kind::integer:
            writer.unsignedInteger(value.asInteger());
            break;
        case DSStoreValue::Kind::fourCC:
            writer.string(value.asFourCC());
            break;
        case DSStoreValue::Kind::string:
            writer.string(value.asString());
            break;
        case DSStoreValue::Kind::data:
            writer.string(base64Encode(value.asData()));
            break;
        case DSStoreValue::Kind::uint64:
            writer.unsignedInteger(value.asUInt64());
            break;
    }
}

std::string entryJsonLine(const DSStoreEntry& entry) {
    std::string line;
    JsonWriter writer([&](std::string_view text) { line += text; },
                      {.escapeSolidus = false, .replaceInvalidUtf8 = true, .compact = true});
    writer.beginObject();
    writeEntryMembers(writer, entry);
    writer.endObject();
    writer.finish();
    return line;
}

DSStoreEntry entryFromJsonLine(const nlohmann::json& line) {
    if (!line.is_object()) invalid("expected a JSON object");
    for (const auto& [key, unused] : line.items()) {
        if (key != "filename" && key != "code" && key != "type" && key != "value") {
            invalid("unknown key " + quoted(key));
        }
    }
    DSStoreEntry entry;
    entry.filename = stringMember(line, "filename");
    entry.code = stringMember(line, "code");
    entry.typecode = stringMember(line, "type");
    const auto& value = member(line, "value");
    const std::string& type = entry.typecode;
    if (type == kTypeBool) {
        if (!value.is_boolean()) invalid("the value of a \"bool\" record must be true or false");
        entry.value = DSStoreValue::boolean(value.get<bool>());
    } else if (type == kTypeLong || type == kTypeShor) {
        entry.value = DSStoreValue::integer(static_cast<std::uint32_t>(
            unsignedValue(value, std::numeric_limits<std::uint32_t>::max(), type)));
    } else if (type == kTypeComp || type == kTypeDutc) {
        entry.value = DSStoreValue::uint64(
            unsignedValue(value, std::numeric_limits<std::uint64_t>::max(), type));
    } else if (type == kTypeType || type == kTypeUstr) {
        if (!value.is_string()) invalid("the value of a \"" + type + "\" record must be a string");
        entry.value = type == kTypeType ? DSStoreValue::fourCC(value.get<std::string>())
                                        : DSStoreValue::string(value.get<std::string>());
    } else if (type == kTypeBlob) {
        if (!value.is_string()) invalid("the value of a \"blob\" record must be base64 text");
        auto bytes = base64Decode(value.get<std::string>());
        if (!bytes) invalid("the value of a \"blob\" record is not valid base64");
        entry.value = DSStoreValue::data(std::move(*bytes));
    } else {
        invalid("unknown type " + quoted(type) +
                " (expected bool, long, shor, type, ustr, blob, comp or dutc)");
    }
    return entry;
}

std::optional<DSStoreEntry> entryFromDumpedLine(std::string_view line) {
    static constexpr std::string_view kKeys[] = {"filename", "code", "type", "value"};
    std::string_view members[4];
    bool seen[4] = {};
    bool valueIsString = false;
    skipSpace(line);
    if (!take(line, "{")) return std::nullopt;
    for (std::size_t count = 0; count < 4; ++count) {
        skipSpace(line);
        const auto key = takePlainString(line);
        if (!key) return std::nullopt;
        const auto found = std::find(std::begin(kKeys), std::end(kKeys), *key);
        const auto index = static_cast<std::size_t>(found - std::begin(kKeys));
        // Repeated keys and unknown ones are left to the tree and its messages.
        if (found == std::end(kKeys) || seen[index]) return std::nullopt;
        seen[index] = true;
        skipSpace(line);
        if (!take(line, ":")) return std::nullopt;
        skipSpace(line);
        std::optional<std::string_view> member;
        if (line.starts_with('"')) {
            member = takePlainString(line);
            if (index == 3) valueIsString = true;
        } else if (index == 3) {
            member = takeBareValue(line);
        }
        if (!member) return std::nullopt;
        members[index] = *member;
        skipSpace(line);
        if (!take(line, count == 3 ? "}" : ",")) return std::nullopt;
    }
    skipSpace(line);
    if (!line.empty()) return std::nullopt;
    auto value = directValue(members[3], valueIsString, members[2]);
    if (!value) return std::nullopt;
    return DSStoreEntry{.filename = std::string(members[0]),
                        .code = std::string(members[1]),
                        .typecode = std::string(members[2]),
                        .value = std::move(*value)};
}

}  // namespace lumifold
