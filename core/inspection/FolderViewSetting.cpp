#include "core/inspection/FolderViewSetting.h"

#include "core/common/JsonFields.h"

namespace lumifold {
namespace {

template <typename T>
void putOptional(nlohmann::json& json, const char* key, const std::optional<T>& value) {
    if (value) json[key] = *value;
}

void putOptional(nlohmann::json& json, const char* key, const std::optional<double>& value) {
    if (value) json_fields::putNumber(json, key, *value);
}

const nlohmann::json* optionalMember(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = optionalMember(object, key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_string()) json_fields::wrongType(*value, key, "a string");
    return value->get<std::string>();
}

std::optional<double> optionalNumber(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = optionalMember(object, key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_number()) json_fields::wrongType(*value, key, "a number");
    return value->get<double>();
}

std::optional<bool> optionalBoolean(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = optionalMember(object, key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_boolean()) json_fields::wrongType(*value, key, "a boolean");
    return value->get<bool>();
}

}  // namespace

void to_json(nlohmann::json& json, const FolderViewSetting& setting) {
    json = nlohmann::json{
        {"path", setting.path},
        {"canonicalPath", setting.canonicalPath},
        {"isSymlink", setting.isSymlink},
        {"isCloudPlaceholder", setting.isCloudPlaceholder},
        {"hasDSStore", setting.hasDSStore},
        {"unhiddenExtensionFilesCount", setting.unhiddenExtensionFilesCount},
        {"inaccessible", setting.inaccessible},
        {"conflicting", setting.conflicting},
        {"conflictReasons", setting.conflictReasons},
    };
    putOptional(json, "currentViewStyle", setting.currentViewStyle);
    putOptional(json, "currentSortBy", setting.currentSortBy);
    putOptional(json, "currentIconSize", setting.currentIconSize);
    putOptional(json, "currentTextSize", setting.currentTextSize);
    putOptional(json, "currentShowItemInfo", setting.currentShowItemInfo);
    putOptional(json, "currentShowIconPreview", setting.currentShowIconPreview);
    putOptional(json, "metadataStore", setting.metadataStore);
    putOptional(json, "metadataStoreReason", setting.metadataStoreReason);
}

void from_json(const nlohmann::json& json, FolderViewSetting& setting) {
    using namespace json_fields;
    FolderViewSetting decoded;
    decoded.path = requiredString(json, "path");
    decoded.canonicalPath = requiredString(json, "canonicalPath");
    decoded.isSymlink = requiredBoolean(json, "isSymlink");
    decoded.isCloudPlaceholder = requiredBoolean(json, "isCloudPlaceholder");
    decoded.hasDSStore = requiredBoolean(json, "hasDSStore");
    decoded.currentViewStyle = optionalString(json, "currentViewStyle");
    decoded.currentSortBy = optionalString(json, "currentSortBy");
    decoded.currentIconSize = optionalNumber(json, "currentIconSize");
    decoded.currentTextSize = optionalNumber(json, "currentTextSize");
    decoded.currentShowItemInfo = optionalBoolean(json, "currentShowItemInfo");
    decoded.currentShowIconPreview = optionalBoolean(json, "currentShowIconPreview");
    decoded.unhiddenExtensionFilesCount = requiredInteger(json, "unhiddenExtensionFilesCount");
    decoded.inaccessible = requiredBoolean(json, "inaccessible");
    decoded.conflicting = requiredBoolean(json, "conflicting");
    decoded.conflictReasons = json_fields::requiredStrings(json, "conflictReasons");
    decoded.metadataStore = optionalString(json, "metadataStore");
    decoded.metadataStoreReason = optionalString(json, "metadataStoreReason");
    setting = std::move(decoded);
}

}  // namespace lumifold
