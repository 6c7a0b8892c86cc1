#include "core/preferences/PushedPreference.h"

#include "core/common/Base64.h"
#include "core/common/Error.h"
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

void to_json(nlohmann::json& json, const PushedPreference& pushed) {
    json = nlohmann::json{
        {"domain", pushed.domain}, {"currentHost", pushed.currentHost}, {"key", pushed.key}};
    if (pushed.originalValue) json["originalValue"] = *pushed.originalValue;
    if (pushed.originalValueBinary) json["originalValueBinary"] = *pushed.originalValueBinary;
    if (pushed.pushedValue) json["pushedValue"] = *pushed.pushedValue;
    if (pushed.backupRelativePath) json["backupRelativePath"] = *pushed.backupRelativePath;
    if (!pushed.originalSHA256.empty()) json["originalSHA256"] = pushed.originalSHA256;
    if (pushed.postModificationSHA256) {
        json["postModificationSHA256"] = *pushed.postModificationSHA256;
    }
    if (pushed.domainWasLink) json["domainWasLink"] = true;
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
