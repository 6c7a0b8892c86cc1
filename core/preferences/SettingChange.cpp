#include "core/preferences/SettingChange.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "core/common/JsonFields.h"

namespace lumifold {
namespace {

using Member = std::pair<const char*, std::string SettingChange::*>;

// The one list of a change's JSON members, in their declared order.
constexpr std::array<Member, 5> kMembers{{
    {"target", &SettingChange::target},
    {"key", &SettingChange::key},
    {"oldValue", &SettingChange::oldValue},
    {"newValue", &SettingChange::newValue},
    {"changeType", &SettingChange::changeType},
}};

constexpr std::array<Member, 5> kAscendingMembers = [] {
    std::array<Member, 5> sorted = kMembers;
    std::sort(sorted.begin(), sorted.end(), [](const Member& a, const Member& b) {
        return std::string_view(a.first) < std::string_view(b.first);
    });
    return sorted;
}();

template <typename Json>
void toTree(Json& json, const SettingChange& change) {
    json = Json::object();
    for (const auto& [key, field] : kMembers) json[key] = change.*field;
}

}  // namespace

void to_json(nlohmann::json& json, const SettingChange& change) { toTree(json, change); }

void to_json(nlohmann::ordered_json& json, const SettingChange& change) { toTree(json, change); }

void writeJson(JsonWriter& out, const SettingChange& change, JsonKeyOrder order) {
    out.beginObject();
    for (const auto& [key, field] :
         order == JsonKeyOrder::ascending ? kAscendingMembers : kMembers) {
        out.key(key);
        out.string(change.*field);
    }
    out.endObject();
}

void from_json(const nlohmann::json& json, SettingChange& change) {
    SettingChange decoded;
    for (const auto& [key, field] : kMembers) {
        decoded.*field = json_fields::requiredString(json, key);
    }
    change = std::move(decoded);
}

}  // namespace lumifold
