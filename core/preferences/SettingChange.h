#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/common/JsonWriter.h"

namespace lumifold {

// One planned change, as text: what is changed (`target`), which setting (`key`), its value
// now and after Apply, and the kind of change ("Global Preference", "Folder Override",
// "Remove Override" or "File Extension").
struct SettingChange {
    std::string target;
    std::string key;
    std::string oldValue;
    std::string newValue;
    std::string changeType;

    // Keys lists on screen: target + ":" + key.
    std::string identity() const { return target + ":" + key; }

    friend bool operator==(const SettingChange&, const SettingChange&) = default;
};

// The kinds of change, and the text each has in a SettingChange.
enum class ChangeType { globalPreference, folderOverride, removeOverride, fileExtension };
constexpr const char* changeTypeText(ChangeType type) {
    switch (type) {
        case ChangeType::globalPreference:
            return "Global Preference";
        case ChangeType::folderOverride:
            return "Folder Override";
        case ChangeType::removeOverride:
            return "Remove Override";
        case ChangeType::fileExtension:
            return "File Extension";
    }
    return "";
}

// {"target", "key", "oldValue", "newValue", "changeType"}, all strings, in this order where the
// JSON keeps an order. Every JSON form of a change (the record's, the preview's, the manifest's)
// is written by these, from one list of its members.
void to_json(nlohmann::json& json, const SettingChange& change);
void to_json(nlohmann::ordered_json& json, const SettingChange& change);
// The key order of a change written as it goes: the order above (the preview's), or ascending
// (the manifest's, which must read as a sorted JSON object).
enum class JsonKeyOrder { declared, ascending };
void writeJson(JsonWriter& out, const SettingChange& change, JsonKeyOrder order);
// All five keys are required and must be strings (nlohmann::json::out_of_range or type_error
// otherwise); other keys are ignored.
void from_json(const nlohmann::json& json, SettingChange& change);

}  // namespace lumifold
