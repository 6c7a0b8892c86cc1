#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "core/common/Bytes.h"
#include "core/common/JsonWriter.h"
#include "core/plist/PropertyList.h"

namespace lumifold {

// One value Apply pushes into the preferences service, with what the domain held before, so
// Restore can put it back and tell whether it changed since. Values are XML property-list
// texts, or, for an original value XML cannot hold, a binary property list in base64.
struct PushedPreference {
    std::string domain;  // the application id, or the service's name for the global domain
    bool currentHost = true;
    std::string key;
    // Both absent: the key was absent. Only one is ever set: the binary form holds what XML
    // cannot (a dictionary that would read back as a UID, a date outside the years 0000 to 9999).
    std::optional<std::string> originalValue;
    std::optional<std::string> originalValueBinary;
    std::optional<std::string> pushedValue;  // absent: the push did not happen
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

// Records `value` as what the domain held for the key: as XML text, or in binary where XML cannot
// hold it. Throws kPropertyListUnwritable naming `file` and the key when neither can.
void recordOriginalValue(PushedPreference& pushed, const platform::PlistValue& value,
                         const std::string& file);
// The value recorded as the original, from whichever form holds it; nullopt when the key was
// absent. Throws Error (kPropertyListDomain) when the recorded form does not read.
std::optional<platform::PlistValue> originalValueOf(const PushedPreference& pushed);
// The form in which a recorded value and a live one compare: the XML text (what manifests have
// always recorded), or the binary property list where XML cannot hold the value. Throws
// kPropertyListUnwritable when neither can.
Bytes comparableForm(const platform::PlistValue& value);

// The field names as keys; absent values left out (originalSHA256 when empty, domainWasLink when
// false). writeJson streams the same members as one object, keys in ascending order.
void to_json(nlohmann::json& json, const PushedPreference& pushed);
void writeJson(JsonWriter& out, const PushedPreference& pushed);
// domain, currentHost and key are required; the others may be absent or null. Throws
// nlohmann::json::out_of_range or type_error otherwise.
void from_json(const nlohmann::json& json, PushedPreference& pushed);

}  // namespace lumifold
