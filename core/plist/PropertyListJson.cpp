#include "core/plist/PropertyListJson.h"

#include <cmath>
#include <string>

#include "core/common/Base64.h"
#include "core/common/Numbers.h"
#include "core/plist/PropertyListFormat.h"
#include "core/plist/PropertyListText.h"

namespace lumifold::platform {
namespace {

// Generalised UTF-8 with each lone surrogate (ED A0..BF xx) replaced by U+FFFD.
std::string displayable(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) == 0xED && i + 2 < text.size() &&
            (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0xA0) {
            out += "\xEF\xBF\xBD";
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

nlohmann::ordered_json number(double value) {
    if (std::isfinite(value)) return value;
    return formatReal(value);  // JSON has no NaN or infinities
}

}  // namespace

nlohmann::ordered_json plistToJson(const PlistValue& value) {
    using Kind = PlistValue::Kind;
    switch (value.kind()) {
        case Kind::string:
            return *value.ifString();
        case Kind::opaqueString:
            return displayable(*value.ifOpaqueString());
        case Kind::integer:
            return *value.ifInteger();
        case Kind::unsignedInteger:
            return *value.ifUnsignedInteger();
        case Kind::real:
            return number(*value.ifReal());
        case Kind::boolean:
            return *value.ifBoolean();
        case Kind::date: {
            const double seconds = value.ifDate()->secondsSinceReferenceDate;
            if (const auto text = formatPropertyListDate(seconds)) return *text;
            return number(seconds);
        }
        case Kind::data:
            return base64Encode(*value.ifData());
        case Kind::uid:
            return nlohmann::ordered_json::object(
                {{std::string(plist_format::kUidKey), *value.ifUid()}});
        case Kind::array: {
            nlohmann::ordered_json array = nlohmann::ordered_json::array();
            for (const PlistValue& element : *value.ifArray())
                array.push_back(plistToJson(element));
            return array;
        }
        case Kind::dictionary: {
            nlohmann::ordered_json object = nlohmann::ordered_json::object();
            for (const auto& [key, element] : *value.ifDictionary()) {
                object[displayable(key)] = plistToJson(element);
            }
            return object;
        }
    }
    return nullptr;
}

}  // namespace lumifold::platform
