#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "core/common/JsonFields.h"

// Readers of optional members for the snapshot records: a missing key and a JSON null both
// read as absent; any other value must have the right type (nlohmann::json::type_error
// otherwise).
namespace lumifold::json_fields {

// The member, or nullptr when it is missing or null.
inline const nlohmann::json* optionalMember(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) {
        throw nlohmann::json::type_error::create(
            302, std::string("expected an object with \"") + key + "\", got " + object.type_name(),
            &object);
    }
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

inline std::optional<std::string> optionalString(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = optionalMember(object, key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_string()) wrongType(*value, key, "a string");
    return value->get<std::string>();
}

inline std::optional<bool> optionalBoolean(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = optionalMember(object, key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_boolean()) wrongType(*value, key, "a boolean");
    return value->get<bool>();
}

// A required JSON array (null is not accepted).
inline const nlohmann::json& requiredArray(const nlohmann::json& object, const char* key) {
    const auto& value = required(object, key);
    if (!value.is_array()) wrongType(value, key, "an array");
    return value;
}

}  // namespace lumifold::json_fields
