#include "core/backup/FileExtensionBackupItem.h"

#include "core/common/JsonFields.h"
#include "core/common/JsonMembers.h"

namespace lumifold {

namespace {

// Every member, in ascending key order.
template <typename Members>
void jsonMembers(Members& out, const FileExtensionBackupItem& item) {
    out.member("filePath", item.filePath);
    out.member("originalHasHiddenExtension", item.originalHasHiddenExtension);
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
    item = std::move(decoded);
}

}  // namespace lumifold
