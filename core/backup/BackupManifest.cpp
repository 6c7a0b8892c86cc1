#include "core/backup/BackupManifest.h"

#include "core/common/Iso8601.h"
#include "core/preferences/OptionalJsonFields.h"

namespace lumifold {

void to_json(nlohmann::json& json, const BackupManifest& manifest) {
    json = nlohmann::json{{"id", manifest.id},
                          {"createdAt", formatIso8601(manifest.createdAt)},
                          {"finderPlistOriginalPath", manifest.finderPlistOriginalPath},
                          {"finderPlistBackupPath", manifest.finderPlistBackupPath},
                          {"finderPlistOriginalSHA256", manifest.finderPlistOriginalSHA256},
                          {"dsStoreBackups", manifest.dsStoreBackups},
                          {"appliedChanges", manifest.appliedChanges},
                          {"fileExtensionBackups", manifest.fileExtensionBackups}};
    if (manifest.finderPlistPostSHA256) {
        json["finderPlistPostSHA256"] = *manifest.finderPlistPostSHA256;
    }
    if (manifest.pushedPreferences) json["pushedPreferences"] = *manifest.pushedPreferences;
    if (manifest.finderPlistNotWritten) json["finderPlistNotWritten"] = true;
}

void from_json(const nlohmann::json& json, BackupManifest& manifest) {
    BackupManifest decoded;
    decoded.id = json_fields::requiredString(json, "id");
    const std::string createdAt = json_fields::requiredString(json, "createdAt");
    const auto moment = parseIso8601(createdAt);
    if (!moment) {
        json_fields::wrongType(json.at("createdAt"), "createdAt",
                               "a UTC date-time such as 2025-01-31T14:05:10Z");
    }
    decoded.createdAt = *moment;
    decoded.finderPlistOriginalPath = json_fields::requiredString(json, "finderPlistOriginalPath");
    decoded.finderPlistBackupPath = json_fields::requiredString(json, "finderPlistBackupPath");
    decoded.finderPlistOriginalSHA256 =
        json_fields::requiredString(json, "finderPlistOriginalSHA256");
    decoded.finderPlistPostSHA256 = json_fields::optionalString(json, "finderPlistPostSHA256");
    decoded.dsStoreBackups =
        json_fields::requiredArray(json, "dsStoreBackups").get<std::vector<DSStoreBackupItem>>();
    decoded.appliedChanges =
        json_fields::requiredArray(json, "appliedChanges").get<std::vector<SettingChange>>();
    if (const nlohmann::json* extensions =
            json_fields::optionalMember(json, "fileExtensionBackups")) {
        if (!extensions->is_array()) {
            json_fields::wrongType(*extensions, "fileExtensionBackups", "an array");
        }
        decoded.fileExtensionBackups = extensions->get<std::vector<FileExtensionBackupItem>>();
    }
    if (const nlohmann::json* pushed = json_fields::optionalMember(json, "pushedPreferences")) {
        if (!pushed->is_array()) json_fields::wrongType(*pushed, "pushedPreferences", "an array");
        decoded.pushedPreferences = pushed->get<std::vector<PushedPreference>>();
    }
    if (const nlohmann::json* notWritten =
            json_fields::optionalMember(json, "finderPlistNotWritten")) {
        if (!notWritten->is_boolean()) {
            json_fields::wrongType(*notWritten, "finderPlistNotWritten", "a boolean");
        }
        decoded.finderPlistNotWritten = notWritten->get<bool>();
    }
    manifest = std::move(decoded);
}

std::string escapingSolidus(std::string_view dumpedJson) {
    std::string escaped;
    escaped.reserve(dumpedJson.size() + dumpedJson.size() / 8);
    for (const char c : dumpedJson) {
        if (c == '/') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

std::string encodeManifestFile(const BackupManifest& manifest) {
    // nlohmann::json keeps object members in a std::map, so dump() lists keys in ascending
    // bytewise order at every level.
    const nlohmann::json json = manifest;
    std::string text = escapingSolidus(json.dump(2));
    text.push_back('\n');
    return text;
}

BackupManifest decodeManifestFile(std::string_view text) {
    return nlohmann::json::parse(text.begin(), text.end()).get<BackupManifest>();
}

}  // namespace lumifold
