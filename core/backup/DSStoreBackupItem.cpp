#include "core/backup/DSStoreBackupItem.h"

#include "core/common/JsonMembers.h"
#include "core/common/OptionalJsonFields.h"

namespace lumifold {

namespace {

// Every member, in ascending key order.
template <typename Members>
void jsonMembers(Members& out, const DSStoreBackupItem& item) {
    out.member("backupRelativePath", item.backupRelativePath);
    if (item.createdByApply) out.member("createdByApply", true);
    if (item.notWritten) out.member("notWritten", true);
    out.member("originalPath", item.originalPath);
    out.member("originalSHA256", item.originalSHA256);
    out.member("plannedSHA256", item.plannedSHA256);
    out.member("posixPermissions", item.posixPermissions);
    out.member("postModificationSHA256", item.postModificationSHA256);
}

}  // namespace

void to_json(nlohmann::json& json, const DSStoreBackupItem& item) {
    JsonTreeMembers out(json);
    jsonMembers(out, item);
}

void writeJson(JsonWriter& writer, const DSStoreBackupItem& item) {
    writer.beginObject();
    JsonStreamMembers out(writer);
    jsonMembers(out, item);
    writer.endObject();
}

void from_json(const nlohmann::json& json, DSStoreBackupItem& item) {
    DSStoreBackupItem decoded;
    decoded.originalPath = json_fields::requiredString(json, "originalPath");
    decoded.backupRelativePath = json_fields::requiredString(json, "backupRelativePath");
    decoded.originalSHA256 = json_fields::requiredString(json, "originalSHA256");
    decoded.postModificationSHA256 = json_fields::optionalString(json, "postModificationSHA256");
    decoded.plannedSHA256 = json_fields::optionalString(json, "plannedSHA256");
    const std::int64_t permissions = json_fields::requiredInteger(json, "posixPermissions");
    if (permissions < 0 || permissions > 0xFFFF) {
        json_fields::wrongType(json.at("posixPermissions"), "posixPermissions",
                               "an integer from 0 to 65535");
    }
    decoded.posixPermissions = static_cast<std::uint16_t>(permissions);
    if (const nlohmann::json* notWritten = json_fields::optionalMember(json, "notWritten")) {
        if (!notWritten->is_boolean())
            json_fields::wrongType(*notWritten, "notWritten", "a boolean");
        decoded.notWritten = notWritten->get<bool>();
    }
    decoded.createdByApply = json_fields::optionalBoolean(json, "createdByApply").value_or(false);
    item = std::move(decoded);
}

}  // namespace lumifold
