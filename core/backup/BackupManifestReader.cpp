// Reading a manifest as parse events, so neither its long lists, its white space nor hostile
// nesting makes memory grow with the file.
#include <set>
#include <utility>

#include "core/backup/BackupManifest.h"
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
        if (const json* layout = json_fields::optionalMember(header, "layout")) {
            manifest.layout = layout->get<AppliedLayout>();
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

}  // namespace lumifold
