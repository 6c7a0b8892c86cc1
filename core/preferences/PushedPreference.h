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
    // The domain's file before Apply, copied into the snapshot ("files/<name>"; absent when
    // there was no file), with its checksum ("" then), and the file's checksum as Apply left
    // it: a domain nobody touched since comes back byte for byte.
    std::optional<std::string> backupRelativePath;
    std::string originalSHA256;
    std::optional<std::string> postModificationSHA256;
    // The domain's file was a symbolic link when the snapshot was taken; only then may Restore
    // write through a link there.
    bool domainWasLink = false;

    friend bool operator==(const PushedPreference&, const PushedPreference&) = default;
};

// The field names as keys; absent values left out.
void to_json(nlohmann::json& json, const PushedPreference& pushed);
// domain, currentHost and key are required; the others may be absent or null. Throws
// nlohmann::json::out_of_range or type_error otherwise.
void from_json(const nlohmann::json& json, PushedPreference& pushed);

}  // namespace lumifold
