#include "core/dsstore/DSStoreEntryJson.h"

#include <limits>
#include <stdexcept>

#include "core/common/Base64.h"

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

}  // namespace lumifold
