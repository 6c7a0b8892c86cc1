#include "core/backup/BackupManifest.h"

#include <tuple>
#include <utility>

#include "core/common/Iso8601.h"
#include "core/common/JsonMembers.h"
#include "core/common/OptionalJsonFields.h"

namespace lumifold {
namespace {

// Every member, in ascending key order.
template <typename Members>
void jsonMembers(Members& out, const WrittenFolder& folder) {
    out.member("device", folder.device);
    out.member("inode", folder.inode);
    out.member("path", folder.path);
}

template <typename Members>
void jsonMembers(Members& out, const FailedApply& failure) {
    out.member("allPutBack", failure.allPutBack);
    out.member("error", failure.error);
}

}  // namespace

void to_json(nlohmann::json& json, const FailedApply& failure) {
    JsonTreeMembers out(json);
    jsonMembers(out, failure);
}

void writeJson(JsonWriter& writer, const FailedApply& failure) {
    writer.beginObject();
    JsonStreamMembers out(writer);
    jsonMembers(out, failure);
    writer.endObject();
}

void from_json(const nlohmann::json& json, FailedApply& failure) {
    failure = FailedApply{.error = json_fields::requiredString(json, "error"),
                          .allPutBack = json_fields::requiredBoolean(json, "allPutBack")};
}

void to_json(nlohmann::json& json, const AppliedLayout& layout) {
    json = {{"path", layout.path}, {"sha256", layout.sha256}, {"target", layout.target}};
}

void writeJson(JsonWriter& writer, const AppliedLayout& layout) {
    writer.beginObject();
    JsonStreamMembers out(writer);
    out.member("path", layout.path);
    out.member("sha256", layout.sha256);
    writer.key("target");
    writer.beginObject();
    for (const auto& [key, value] : layout.target) out.member(key.c_str(), value);
    writer.endObject();
    writer.endObject();
}

void from_json(const nlohmann::json& json, AppliedLayout& layout) {
    AppliedLayout decoded{.path = json_fields::requiredString(json, "path"),
                          .sha256 = json_fields::requiredString(json, "sha256"),
                          .target = {}};
    const nlohmann::json& target = json_fields::required(json, "target");
    if (!target.is_object()) json_fields::wrongType(target, "target", "an object");
    for (const auto& [key, value] : target.items()) {
        if (!value.is_string()) json_fields::wrongType(value, key.c_str(), "a string");
        decoded.target[key] = value.get<std::string>();
    }
    layout = std::move(decoded);
}

void to_json(nlohmann::json& json, const WrittenFolder& folder) {
    JsonTreeMembers out(json);
    jsonMembers(out, folder);
}

void writeJson(JsonWriter& writer, const WrittenFolder& folder) {
    writer.beginObject();
    JsonStreamMembers out(writer);
    jsonMembers(out, folder);
    writer.endObject();
}

void from_json(const nlohmann::json& json, WrittenFolder& folder) {
    WrittenFolder decoded;
    decoded.path = json_fields::requiredString(json, "path");
    for (auto [key, field] :
         {std::pair{"device", &decoded.device}, std::pair{"inode", &decoded.inode}}) {
        const nlohmann::json& value = json_fields::required(json, key);
        if (!value.is_number_unsigned()) {
            json_fields::wrongType(value, key, "a whole number of at least 0");
        }
        *field = value.get<std::uint64_t>();
    }
    folder = std::move(decoded);
}

ManifestLists ManifestLists::of(const BackupManifest& manifest) {
    return ManifestLists{
        .appliedChanges =
            [&manifest](const auto& each) {
                for (const auto& change : manifest.appliedChanges) each(change);
            },
        .fileExtensionBackups =
            [&manifest](const auto& each) {
                for (const auto& item : manifest.fileExtensionBackups) each(item);
            },
    };
}

namespace {

template <typename Item>
void writeArray(JsonWriter& out, const char* key, const std::vector<Item>& items) {
    out.key(key);
    out.beginArray();
    for (const Item& item : items) writeJson(out, item);
    out.endArray();
}

// A long list under `key`: its text as given, or written item by item; where its text went.
template <typename WriteItems>
std::pair<std::uint64_t, std::uint64_t> writeLongList(JsonWriter& out, const char* key,
                                                      const ManifestLists::Text& text,
                                                      const WriteItems& writeItems) {
    out.key(key);
    const std::uint64_t begin = out.size();
    if (text) {
        out.rawValueFrom(text);
    } else {
        out.beginArray();
        writeItems();
        out.endArray();
    }
    return {begin, out.size()};
}

}  // namespace

void writeManifestFile(const ManifestHeader& header, const ManifestLists& lists,
                       const JsonWriter::Sink& sink, ManifestListSpans* spans) {
    JsonWriter out(sink, {.escapeSolidus = true, .replaceInvalidUtf8 = false});
    JsonStreamMembers members(out);
    ManifestListSpans at;
    // Members in ascending key order, as a sorted JSON object lists them.
    out.beginObject();
    std::tie(at.changesBegin, at.changesEnd) =
        writeLongList(out, "appliedChanges", lists.appliedChangesText, [&] {
            lists.appliedChanges([&](const SettingChange& change) {
                writeJson(out, change, JsonKeyOrder::ascending);
            });
        });
    if (header.applyFailed) {
        out.key("applyFailed");
        writeJson(out, *header.applyFailed);
    }
    members.member("createdAt", formatIso8601(header.createdAt));
    writeArray(out, "dsStoreBackups", header.dsStoreBackups);
    std::tie(at.flagsBegin, at.flagsEnd) =
        writeLongList(out, "fileExtensionBackups", lists.fileExtensionBackupsText, [&] {
            lists.fileExtensionBackups(
                [&](const FileExtensionBackupItem& item) { writeJson(out, item); });
        });
    members.member("finderPlistBackupPath", header.finderPlistBackupPath);
    if (header.finderPlistNotWritten) members.member("finderPlistNotWritten", true);
    members.member("finderPlistOriginalPath", header.finderPlistOriginalPath);
    members.member("finderPlistOriginalSHA256", header.finderPlistOriginalSHA256);
    members.member("finderPlistPlannedSHA256", header.finderPlistPlannedSHA256);
    members.member("finderPlistPostSHA256", header.finderPlistPostSHA256);
    if (header.finderPlistWasLink) members.member("finderPlistWasLink", true);
    members.member("id", header.id);
    if (header.layout) {
        out.key("layout");
        writeJson(out, *header.layout);
    }
    if (header.pushedPreferences) writeArray(out, "pushedPreferences", *header.pushedPreferences);
    if (header.writtenFolders) writeArray(out, "writtenFolders", *header.writtenFolders);
    out.endObject();
    out.finish();
    sink("\n");
    if (spans != nullptr) *spans = at;
}

std::string encodeManifestFile(const BackupManifest& manifest) {
    std::string text;
    writeManifestFile(manifest, ManifestLists::of(manifest),
                      [&text](std::string_view chunk) { text.append(chunk); });
    return text;
}

void forEachHeldItem(const ManifestHeader& header, const std::function<void(std::string)>& hold) {
    // What Restore passes by, or has no copy of, is not held.
    if (!header.finderPlistOriginalSHA256.empty() && !header.finderPlistNotWritten) {
        hold("file " + header.finderPlistOriginalPath);
    }
    for (const DSStoreBackupItem& item : header.dsStoreBackups) {
        if (!item.notWritten) hold("file " + item.originalPath);
    }
    for (const PushedPreference& pushed :
         header.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
        if (pushed.pushedValue) {
            hold("domain " + pushed.domain + (pushed.currentHost ? " (current host)" : ""));
        }
    }
}

SnapshotSummary SnapshotSummary::of(const ManifestHeader& header, std::size_t changeCount,
                                    std::size_t extensionCount) {
    // An Apply that planned no change changed nothing, whatever it copied (earlier versions
    // took such snapshots, and wrote the preferences file as it was).
    bool holds = changeCount > 0 && extensionCount > 0;
    if (changeCount > 0 && !holds) {
        forEachHeldItem(header, [&](const std::string&) { holds = true; });
    }
    return SnapshotSummary{.id = header.id,
                           .createdAt = header.createdAt,
                           .storeCount = header.dsStoreBackups.size(),
                           .changeCount = changeCount,
                           .extensionCount = extensionCount,
                           .holdsPreferences = !header.finderPlistOriginalSHA256.empty(),
                           // Recorded at completion: the preferences' checksum, or that Apply did
                           // not write them (folders only: there may be none to read).
                           .complete = header.finderPlistPostSHA256.has_value() ||
                                       (header.finderPlistNotWritten && !header.applyFailed),
                           .holdsChanges = holds,
                           .applyFailed = header.applyFailed.has_value()};
}

void to_json(nlohmann::json& json, const SnapshotSummary& summary) {
    json = nlohmann::json{{"id", summary.id},
                          {"createdAt", formatIso8601(summary.createdAt)},
                          {"storeCount", summary.storeCount},
                          {"changeCount", summary.changeCount},
                          {"extensionCount", summary.extensionCount},
                          {"holdsPreferences", summary.holdsPreferences},
                          {"complete", summary.complete},
                          {"holdsChanges", summary.holdsChanges},
                          {"applyFailed", summary.applyFailed}};
}

void from_json(const nlohmann::json& json, SnapshotSummary& summary) {
    using namespace json_fields;
    SnapshotSummary decoded;
    decoded.id = requiredString(json, "id");
    const auto moment = parseIso8601(requiredString(json, "createdAt"));
    if (!moment) wrongType(json.at("createdAt"), "createdAt", "a UTC date-time");
    decoded.createdAt = *moment;
    for (auto [key, field] : {std::pair{"storeCount", &decoded.storeCount},
                              std::pair{"changeCount", &decoded.changeCount},
                              std::pair{"extensionCount", &decoded.extensionCount}}) {
        const std::int64_t count = requiredInteger(json, key);
        if (count < 0) wrongType(json.at(key), key, "a count");
        *field = static_cast<std::size_t>(count);
    }
    decoded.holdsPreferences = requiredBoolean(json, "holdsPreferences");
    decoded.complete = requiredBoolean(json, "complete");
    decoded.holdsChanges = optionalBoolean(json, "holdsChanges").value_or(decoded.changeCount > 0);
    decoded.applyFailed = optionalBoolean(json, "applyFailed").value_or(false);
    summary = std::move(decoded);
}

}  // namespace lumifold
