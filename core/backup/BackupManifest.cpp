#include "core/backup/BackupManifest.h"

#include <set>
#include <stdexcept>
#include <utility>

#include "core/backup/ManifestInput.h"
#include "core/common/Iso8601.h"
#include "core/common/OptionalJsonFields.h"

namespace lumifold {
namespace {

using nlohmann::json;

// A manifest nests three levels deep: the document, a list, an item of the list (every item is
// a flat object). Eight leaves room for members later versions may add, which this one passes
// by; anything deeper is refused as it opens, before the parser or a ValueBuilder makes room
// for it, so neither grows with hostile nesting.
constexpr int kMaxNestingDepth = 8;
constexpr int kSyntaxErrorId = 101;  // nlohmann's id for text that is not the JSON expected

// Keys below are written in the order a sorted JSON object lists them.

void writeChange(JsonWriter& out, const SettingChange& change) {
    out.beginObject();
    out.key("changeType");
    out.string(change.changeType);
    out.key("key");
    out.string(change.key);
    out.key("newValue");
    out.string(change.newValue);
    out.key("oldValue");
    out.string(change.oldValue);
    out.key("target");
    out.string(change.target);
    out.endObject();
}

void writeOptional(JsonWriter& out, const char* key, const std::optional<std::string>& value) {
    if (!value) return;
    out.key(key);
    out.string(*value);
}

void writeStoreItem(JsonWriter& out, const DSStoreBackupItem& item) {
    out.beginObject();
    out.key("backupRelativePath");
    out.string(item.backupRelativePath);
    if (item.notWritten) {
        out.key("notWritten");
        out.boolean(true);
    }
    out.key("originalPath");
    out.string(item.originalPath);
    out.key("originalSHA256");
    out.string(item.originalSHA256);
    writeOptional(out, "plannedSHA256", item.plannedSHA256);
    out.key("posixPermissions");
    out.unsignedInteger(item.posixPermissions);
    if (item.postModificationSHA256) {
        out.key("postModificationSHA256");
        out.string(*item.postModificationSHA256);
    }
    out.endObject();
}

void writeFlagItem(JsonWriter& out, const FileExtensionBackupItem& item) {
    out.beginObject();
    out.key("filePath");
    out.string(item.filePath);
    out.key("originalHasHiddenExtension");
    out.boolean(item.originalHasHiddenExtension);
    out.endObject();
}

void writeWrittenFolder(JsonWriter& out, const WrittenFolder& folder) {
    out.beginObject();
    out.key("device");
    out.unsignedInteger(folder.device);
    out.key("inode");
    out.unsignedInteger(folder.inode);
    out.key("path");
    out.string(folder.path);
    out.endObject();
}

void writeFailure(JsonWriter& out, const FailedApply& failure) {
    out.beginObject();
    out.key("allPutBack");
    out.boolean(failure.allPutBack);
    out.key("error");
    out.string(failure.error);
    out.endObject();
}

void writePushed(JsonWriter& out, const PushedPreference& pushed) {
    out.beginObject();
    writeOptional(out, "backupRelativePath", pushed.backupRelativePath);
    out.key("currentHost");
    out.boolean(pushed.currentHost);
    out.key("domain");
    out.string(pushed.domain);
    if (pushed.domainWasLink) {
        out.key("domainWasLink");
        out.boolean(true);
    }
    out.key("key");
    out.string(pushed.key);
    if (!pushed.originalSHA256.empty()) writeOptional(out, "originalSHA256", pushed.originalSHA256);
    writeOptional(out, "originalValue", pushed.originalValue);
    writeOptional(out, "originalValueBinary", pushed.originalValueBinary);
    writeOptional(out, "postModificationSHA256", pushed.postModificationSHA256);
    writeOptional(out, "pushedValue", pushed.pushedValue);
    out.endObject();
}

// Builds one small JSON value from parse events: an element of a manifest's long lists, or one
// of its other members, never the whole document.
class ValueBuilder final {
  public:
    bool done() const { return m_stack.empty() && m_started; }
    json take() {
        m_started = false;
        return std::move(m_root);
    }

    void scalar(json value) {
        if (m_stack.empty()) {
            m_root = std::move(value);
            m_started = true;
        } else {
            place(std::move(value));
        }
    }
    void open(json container) {
        json* at = nullptr;
        if (m_stack.empty()) {
            m_root = std::move(container);
            m_started = true;
            at = &m_root;
        } else {
            at = place(std::move(container));
        }
        m_stack.push_back(at);
    }
    void close() { m_stack.pop_back(); }
    void key(std::string name) { m_key = std::move(name); }

  private:
    json* place(json value) {
        json& parent = *m_stack.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        json& slot = parent[m_key];  // a later equal key wins, as in a whole-document parse
        slot = std::move(value);
        return &slot;
    }

    json m_root;
    bool m_started = false;
    std::vector<json*> m_stack;
    std::string m_key;
};

// Reads a manifest as parse events: the long lists one element at a time, decoded and checked
// as each ends; every other member as a small value of its own.
class ManifestReader final : public nlohmann::json_sax<json> {
  public:
    using FlagSink = std::function<void(const FileExtensionBackupItem&)>;

    // Flags go to `eachFlag` when it is given, rather than into the manifest. `input` is what
    // the parser reads, asked where in the file an error lies.
    ManifestReader(const ManifestInput& input, bool keepChanges, const FlagSink* eachFlag = nullptr)
        : m_input(input), m_keepChanges(keepChanges), m_eachFlag(eachFlag) {}

    BackupManifest finish(std::size_t* changeCount) {
        const json& header = m_header;
        BackupManifest manifest;
        manifest.id = json_fields::requiredString(header, "id");
        const std::string createdAt = json_fields::requiredString(header, "createdAt");
        const auto moment = parseIso8601(createdAt);
        if (!moment) {
            json_fields::wrongType(header.at("createdAt"), "createdAt",
                                   "a UTC date-time such as 2025-01-31T14:05:10Z");
        }
        manifest.createdAt = *moment;
        manifest.finderPlistOriginalPath =
            json_fields::requiredString(header, "finderPlistOriginalPath");
        manifest.finderPlistBackupPath =
            json_fields::requiredString(header, "finderPlistBackupPath");
        manifest.finderPlistOriginalSHA256 =
            json_fields::requiredString(header, "finderPlistOriginalSHA256");
        manifest.finderPlistPostSHA256 =
            json_fields::optionalString(header, "finderPlistPostSHA256");
        manifest.finderPlistNotWritten =
            json_fields::optionalBoolean(header, "finderPlistNotWritten").value_or(false);
        manifest.finderPlistPlannedSHA256 =
            json_fields::optionalString(header, "finderPlistPlannedSHA256");
        manifest.finderPlistWasLink =
            json_fields::optionalBoolean(header, "finderPlistWasLink").value_or(false);
        if (const json* failure = json_fields::optionalMember(header, "applyFailed")) {
            manifest.applyFailed = failure->get<FailedApply>();
        }
        if (const json* folders = json_fields::optionalMember(header, "writtenFolders")) {
            if (!folders->is_array())
                json_fields::wrongType(*folders, "writtenFolders", "an array");
            manifest.writtenFolders = folders->get<std::vector<WrittenFolder>>();
        }
        for (const char* list : {"dsStoreBackups", "appliedChanges"}) {
            if (!m_seen.contains(list)) json_fields::required(header, list);
        }
        if (m_pushedSeen) manifest.pushedPreferences = std::move(m_pushed);
        manifest.dsStoreBackups = std::move(m_stores);
        manifest.appliedChanges = std::move(m_changes);
        manifest.fileExtensionBackups = std::move(m_flags);
        if (changeCount != nullptr) *changeCount = m_changeCount;
        return manifest;
    }

    bool null() override { return value(nullptr); }
    bool boolean(bool flag) override { return value(flag); }
    bool number_integer(number_integer_t number) override { return value(number); }
    bool number_unsigned(number_unsigned_t number) override { return value(number); }
    bool number_float(number_float_t number, const string_t&) override { return value(number); }
    bool string(string_t& text) override { return value(std::move(text)); }
    bool binary(binary_t&) override { return value(nullptr); }

    bool start_object(std::size_t) override {
        enter();
        if (m_depth == 1) return true;  // the manifest itself
        m_builder.open(json::object());
        return true;
    }
    bool end_object() override {
        if (--m_depth == 0) return true;
        m_builder.close();
        return finishValue();
    }
    bool start_array(std::size_t) override {
        if (m_depth == 0) throwNotAManifest();
        enter();
        if (m_depth == 2 && isList(m_key)) {
            // A repeated key replaces the earlier list, as a whole-document parse would.
            m_list = m_key;
            m_seen.insert(m_key);
            clearList(m_key);
            return true;
        }
        m_builder.open(json::array());
        return true;
    }
    bool end_array() override {
        --m_depth;
        if (m_depth == 1 && !m_list.empty()) {
            m_list.clear();
            return true;
        }
        m_builder.close();
        return finishValue();
    }
    bool key(string_t& name) override {
        if (m_depth == 1) {
            m_key = name;
        } else {
            m_builder.key(std::move(name));
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& error) override {
        // nlohmann counts lines and columns of the text it was given, which has lost its white
        // space; name the byte of the file instead, keeping the reason after the position.
        std::string_view reason = error.what();
        if (const auto colon = reason.find(": "); colon != std::string_view::npos) {
            reason.remove_prefix(colon + 2);
        }
        throw json::parse_error::create(error.id, m_input.position(), std::string(reason), nullptr);
    }

  private:
    static bool isList(const std::string& key) {
        return key == "dsStoreBackups" || key == "appliedChanges" ||
               key == "fileExtensionBackups" || key == "pushedPreferences";
    }
    [[noreturn]] static void throwNotAManifest() {
        throw json::type_error::create(302, "a manifest must be a JSON object", nullptr);
    }

    void enter() {
        if (m_depth == kMaxNestingDepth) {
            throw json::parse_error::create(
                kSyntaxErrorId, m_input.position(),
                "a manifest nests no deeper than " + std::to_string(kMaxNestingDepth) + " levels",
                nullptr);
        }
        ++m_depth;
    }

    void clearList(const std::string& key) {
        if (key == "dsStoreBackups") m_stores.clear();
        if (key == "appliedChanges") {
            m_changes.clear();
            m_changeCount = 0;
        }
        if (key == "fileExtensionBackups") m_flags.clear();
        if (key == "pushedPreferences") {
            m_pushed.clear();
            m_pushedSeen = true;
        }
    }

    template <typename T>
    bool value(T scalar) {
        if (m_depth == 0) throwNotAManifest();
        m_builder.scalar(json(std::move(scalar)));
        return finishValue();
    }

    // Called after each value and each closed container: a complete value is either an
    // element of the list being read or a member of the manifest.
    bool finishValue() {
        if (!m_builder.done()) return true;
        json value = m_builder.take();
        if (m_list.empty()) {
            if (!isList(m_key)) {
                m_header[m_key] = std::move(value);
                return true;
            }
            // A list key without a list: null stands for an absent optional list.
            if (!value.is_null() || m_key == "dsStoreBackups" || m_key == "appliedChanges") {
                json_fields::wrongType(value, m_key.c_str(), "an array");
            }
            clearList(m_key);
            if (m_key == "pushedPreferences") m_pushedSeen = false;
        } else if (m_list == "dsStoreBackups") {
            m_stores.push_back(value.get<DSStoreBackupItem>());
        } else if (m_list == "appliedChanges") {
            auto change = value.get<SettingChange>();
            ++m_changeCount;
            if (m_keepChanges) m_changes.push_back(std::move(change));
        } else if (m_list == "fileExtensionBackups") {
            if (m_eachFlag != nullptr) {
                (*m_eachFlag)(value.get<FileExtensionBackupItem>());
            } else {
                m_flags.push_back(value.get<FileExtensionBackupItem>());
            }
        } else {
            m_pushed.push_back(value.get<PushedPreference>());
        }
        return true;
    }

    const ManifestInput& m_input;
    bool m_keepChanges;
    const FlagSink* m_eachFlag;
    int m_depth = 0;
    std::string m_key;
    std::string m_list;  // the long list being read, if any
    ValueBuilder m_builder;
    json m_header = json::object();
    std::set<std::string> m_seen;
    std::vector<DSStoreBackupItem> m_stores;
    std::vector<SettingChange> m_changes;
    std::size_t m_changeCount = 0;
    std::vector<FileExtensionBackupItem> m_flags;
    std::vector<PushedPreference> m_pushed;
    bool m_pushedSeen = false;
};

}  // namespace

void to_json(nlohmann::json& json, const FailedApply& failure) {
    json = nlohmann::json{{"allPutBack", failure.allPutBack}, {"error", failure.error}};
}

void from_json(const nlohmann::json& json, FailedApply& failure) {
    failure = FailedApply{.error = json_fields::requiredString(json, "error"),
                          .allPutBack = json_fields::requiredBoolean(json, "allPutBack")};
}

void to_json(nlohmann::json& json, const WrittenFolder& folder) {
    json =
        nlohmann::json{{"path", folder.path}, {"device", folder.device}, {"inode", folder.inode}};
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

void writeManifestFile(const ManifestHeader& header, const ManifestLists& lists,
                       const JsonWriter::Sink& sink) {
    JsonWriter out(sink, {.escapeSolidus = true, .replaceInvalidUtf8 = false});
    out.beginObject();
    out.key("appliedChanges");
    out.beginArray();
    lists.appliedChanges([&](const SettingChange& change) { writeChange(out, change); });
    out.endArray();
    if (header.applyFailed) {
        out.key("applyFailed");
        writeFailure(out, *header.applyFailed);
    }
    out.key("createdAt");
    out.string(formatIso8601(header.createdAt));
    out.key("dsStoreBackups");
    out.beginArray();
    for (const auto& item : header.dsStoreBackups) writeStoreItem(out, item);
    out.endArray();
    out.key("fileExtensionBackups");
    out.beginArray();
    lists.fileExtensionBackups(
        [&](const FileExtensionBackupItem& item) { writeFlagItem(out, item); });
    out.endArray();
    out.key("finderPlistBackupPath");
    out.string(header.finderPlistBackupPath);
    if (header.finderPlistNotWritten) {
        out.key("finderPlistNotWritten");
        out.boolean(true);
    }
    out.key("finderPlistOriginalPath");
    out.string(header.finderPlistOriginalPath);
    out.key("finderPlistOriginalSHA256");
    out.string(header.finderPlistOriginalSHA256);
    writeOptional(out, "finderPlistPlannedSHA256", header.finderPlistPlannedSHA256);
    writeOptional(out, "finderPlistPostSHA256", header.finderPlistPostSHA256);
    if (header.finderPlistWasLink) {
        out.key("finderPlistWasLink");
        out.boolean(true);
    }
    out.key("id");
    out.string(header.id);
    if (header.pushedPreferences) {
        out.key("pushedPreferences");
        out.beginArray();
        for (const auto& pushed : *header.pushedPreferences) writePushed(out, pushed);
        out.endArray();
    }
    if (header.writtenFolders) {
        out.key("writtenFolders");
        out.beginArray();
        for (const WrittenFolder& folder : *header.writtenFolders) writeWrittenFolder(out, folder);
        out.endArray();
    }
    out.endObject();
    out.finish();
    sink("\n");
}

std::string encodeManifestFile(const BackupManifest& manifest) {
    std::string text;
    writeManifestFile(manifest, ManifestLists::of(manifest),
                      [&text](std::string_view chunk) { text.append(chunk); });
    return text;
}

BackupManifest decodeManifestFile(std::string_view text, bool keepChanges,
                                  std::size_t* changeCount) {
    ManifestInput input(text);
    ManifestReader reader(input, keepChanges);
    json::sax_parse(input.begin(), input.end(), &reader);
    return reader.finish(changeCount);
}

BackupManifest decodeManifestFile(std::FILE* file, bool keepChanges, std::size_t* changeCount) {
    ManifestInput input(file);
    ManifestReader reader(input, keepChanges);
    json::sax_parse(input.begin(), input.end(), &reader);
    return reader.finish(changeCount);
}

ManifestHeader decodeManifestHeader(
    std::FILE* file, const std::function<void(const FileExtensionBackupItem&)>& eachFlag) {
    ManifestInput input(file);
    ManifestReader reader(input, false, &eachFlag);
    json::sax_parse(input.begin(), input.end(), &reader);
    return reader.finish(nullptr);
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
                           .complete = header.finderPlistPostSHA256.has_value(),
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
