#include "core/preferences/PushedPreference.h"

#include "core/common/Base64.h"
#include "core/common/Error.h"
#include "core/common/JsonMembers.h"
#include "core/common/OptionalJsonFields.h"

namespace lumifold {

namespace {

using platform::PlistValue;

// The XML text of `value`; nullopt when XML cannot hold it.
std::optional<std::string> xmlText(const PlistValue& value) {
    try {
        return platform::toXmlPropertyList(value);
    } catch (const Error& error) {
        if (error.code() != platform::kPropertyListUnwritable) throw;
        return std::nullopt;
    }
}

}  // namespace

void recordOriginalValue(PushedPreference& pushed, const PlistValue& value,
                         const std::string& file) {
    pushed.originalValue = xmlText(value);
    pushed.originalValueBinary.reset();
    if (pushed.originalValue) return;
    try {
        pushed.originalValueBinary = base64Encode(platform::toBinaryPropertyList(value));
    } catch (const Error& error) {
        throw Error(error.domain(), error.code(),
                    "Cannot keep the value of " + pushed.key + " in \"" + file +
                        "\" for Restore: " + error.message());
    }
}

std::optional<PlistValue> originalValueOf(const PushedPreference& pushed) {
    if (pushed.originalValueBinary) {
        const std::optional<Bytes> bytes = base64Decode(*pushed.originalValueBinary);
        if (!bytes) {
            throw Error(platform::kPropertyListDomain, platform::kPropertyListMalformed,
                        "The binary value recorded for " + pushed.key + " is not base64");
        }
        return platform::parsePropertyList(*bytes);
    }
    if (pushed.originalValue) return platform::parsePropertyList(asBytes(*pushed.originalValue));
    return std::nullopt;
}

Bytes comparableForm(const PlistValue& value) {
    if (std::optional<std::string> text = xmlText(value)) return toBytes(*text);
    return platform::toBinaryPropertyList(value);
}

namespace {

// Every member, in ascending key order.
template <typename Members>
void jsonMembers(Members& out, const PushedPreference& pushed) {
    out.member("backupRelativePath", pushed.backupRelativePath);
    out.member("currentHost", pushed.currentHost);
    out.member("domain", pushed.domain);
    if (pushed.domainWasLink) out.member("domainWasLink", true);
    out.member("key", pushed.key);
    if (!pushed.originalSHA256.empty()) out.member("originalSHA256", pushed.originalSHA256);
    out.member("originalValue", pushed.originalValue);
    out.member("originalValueBinary", pushed.originalValueBinary);
    out.member("postModificationSHA256", pushed.postModificationSHA256);
    out.member("pushedValue", pushed.pushedValue);
}

}  // namespace

void to_json(nlohmann::json& json, const PushedPreference& pushed) {
    JsonTreeMembers out(json);
    jsonMembers(out, pushed);
}

void writeJson(JsonWriter& writer, const PushedPreference& pushed) {
    writer.beginObject();
    JsonStreamMembers out(writer);
    jsonMembers(out, pushed);
    writer.endObject();
}

void from_json(const nlohmann::json& json, PushedPreference& pushed) {
    PushedPreference decoded;
    decoded.domain = json_fields::requiredString(json, "domain");
    decoded.currentHost = json_fields::requiredBoolean(json, "currentHost");
    decoded.key = json_fields::requiredString(json, "key");
    decoded.originalValue = json_fields::optionalString(json, "originalValue");
    decoded.originalValueBinary = json_fields::optionalString(json, "originalValueBinary");
    decoded.pushedValue = json_fields::optionalString(json, "pushedValue");
    decoded.backupRelativePath = json_fields::optionalString(json, "backupRelativePath");
    decoded.originalSHA256 = json_fields::optionalString(json, "originalSHA256").value_or("");
    decoded.postModificationSHA256 = json_fields::optionalString(json, "postModificationSHA256");
    decoded.domainWasLink = json_fields::optionalBoolean(json, "domainWasLink").value_or(false);
    pushed = std::move(decoded);
}

}  // namespace lumifold
