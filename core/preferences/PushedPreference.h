#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace lumifold {

// One value Apply pushes into the preferences service, with what the domain held before, so
// Restore can put it back and tell whether it changed since. Values are XML property-list
// texts, which keep every property-list type.
struct PushedPreference {
    std::string domain;  // the application id, or the service's name for the global domain
    bool currentHost = true;
    std::string key;
    std::optional<std::string> originalValue;  // absent: the key was absent
    std::optional<std::string> pushedValue;    // absent: the push did not happen

    friend bool operator==(const PushedPreference&, const PushedPreference&) = default;
};

// {"domain", "currentHost", "key", "originalValue", "pushedValue"}; absent values left out.
void to_json(nlohmann::json& json, const PushedPreference& pushed);
// domain, currentHost and key are required; the values may be absent or null. Throws
// nlohmann::json::out_of_range or type_error otherwise.
void from_json(const nlohmann::json& json, PushedPreference& pushed);

}  // namespace lumifold
