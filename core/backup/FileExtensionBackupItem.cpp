#include "core/backup/FileExtensionBackupItem.h"

#include "core/common/JsonFields.h"
#include "core/common/JsonMembers.h"
#include "core/common/OptionalJsonFields.h"

namespace lumifold {

namespace {

// Every member, in ascending key order.
template <typename Members>
void jsonMembers(Members& out, const FileExtensionBackupItem& item) {
    out.member("filePath", item.filePath);
    out.member("originalHasHiddenExtension", item.originalHasHiddenExtension);
    if (item.storeOrDefault() != platform::MetadataStore::xattr) {
        out.member("store", std::string(platform::metadataStoreName(*item.store)));
    }
}

}  // namespace

void to_json(nlohmann::json& json, const FileExtensionBackupItem& item) {
    JsonTreeMembers out(json);
    jsonMembers(out, item);
}

void writeJson(JsonWriter& writer, const FileExtensionBackupItem& item) {
    writer.beginObject();
    JsonStreamMembers out(writer);
    jsonMembers(out, item);
    writer.endObject();
}

void from_json(const nlohmann::json& json, FileExtensionBackupItem& item) {
    FileExtensionBackupItem decoded;
    decoded.filePath = json_fields::requiredString(json, "filePath");
    decoded.originalHasHiddenExtension =
        json_fields::requiredBoolean(json, "originalHasHiddenExtension");
    if (const auto name = json_fields::optionalString(json, "store")) {
        decoded.store = platform::metadataStoreNamed(*name);
        if (!decoded.store) {
            throw nlohmann::json::out_of_range::create(
                403, "store \"" + *name + "\" is not one Lumifold knows", &json);
        }
    }
    item = std::move(decoded);
}

}  // namespace lumifold
