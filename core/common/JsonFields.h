#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// Strict readers of one member of a JSON object, for the records' from_json. They throw the
// JSON library's own exceptions, so a caller that decodes a whole document with get<T>()
// catches one family: out_of_range (403) for a missing key, type_error (302) for a value of
// the wrong JSON type.
namespace lumifold::json_fields {

inline const nlohmann::json& required(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) {
        throw nlohmann::json::type_error::create(
            302, std::string("expected an object with \"") + key + "\", got " + object.type_name(),
            &object);
    }
    const auto found = object.find(key);
    if (found == object.end()) {
        throw nlohmann::json::out_of_range::create(403, std::string("key '") + key + "' not found",
                                                   &object);
    }
    return *found;
}

[[noreturn]] inline void wrongType(const nlohmann::json& value, const char* key,
                                   const char* expected) {
    throw nlohmann::json::type_error::create(
        302, std::string("\"") + key + "\" must be " + expected + ", got " + value.type_name(),
        &value);
}

inline std::string requiredString(const nlohmann::json& object, const char* key) {
    const auto& value = required(object, key);
    if (!value.is_string()) wrongType(value, key, "a string");
    return value.get<std::string>();
}

inline bool requiredBoolean(const nlohmann::json& object, const char* key) {
    const auto& value = required(object, key);
    if (!value.is_boolean()) wrongType(value, key, "a boolean");
    return value.get<bool>();
}

// Any JSON number (44 and 44.0 alike).
inline double requiredNumber(const nlohmann::json& object, const char* key) {
    const auto& value = required(object, key);
    if (!value.is_number()) wrongType(value, key, "a number");
    return value.get<double>();
}

// A JSON integer that fits a signed 64-bit integer; 1.5 or 2^64-1 do not.
inline std::int64_t requiredInteger(const nlohmann::json& object, const char* key) {
    const auto& value = required(object, key);
    if (!value.is_number_integer()) wrongType(value, key, "an integer");
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        wrongType(value, key, "an integer within the signed 64-bit range");
    }
    return value.get<std::int64_t>();
}

// Sets `key` to `value` unless it is NaN or infinite: JSON has no such numbers, and a null in
// their place would read back as another type. The key is left out instead.
inline void putNumber(nlohmann::json& object, const char* key, double value) {
    if (std::isfinite(value)) object[key] = value;
}

inline std::vector<std::string> requiredStrings(const nlohmann::json& object, const char* key) {
    const nlohmann::json& value = required(object, key);
    if (!value.is_array()) wrongType(value, key, "an array of strings");
    std::vector<std::string> strings;
    strings.reserve(value.size());
    for (const auto& element : value) {
        if (!element.is_string()) wrongType(element, key, "an array of strings");
        strings.push_back(element.get<std::string>());
    }
    return strings;
}

}  // namespace lumifold::json_fields
