#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <type_traits>

#include "core/common/JsonWriter.h"

namespace lumifold {

// A record names its JSON members once, in one function template over a member sink that calls
// `out.member(key, value)` for each member (an absent optional is left out). The two sinks below
// make the record's two JSON forms from that one list: a tree for to_json, and text streamed
// through a JsonWriter. The streamed form keeps the order of the calls, so a record whose text
// must equal nlohmann::json's (which sorts keys) lists its members in ascending key order.
class JsonTreeMembers final {
  public:
    explicit JsonTreeMembers(nlohmann::json& json) : m_json(json) {
        m_json = nlohmann::json::object();
    }
    template <typename T>
    void member(const char* key, const T& value) {
        m_json[key] = value;
    }
    template <typename T>
    void member(const char* key, const std::optional<T>& value) {
        if (value) m_json[key] = *value;
    }

  private:
    nlohmann::json& m_json;
};

class JsonStreamMembers final {
  public:
    explicit JsonStreamMembers(JsonWriter& out) : m_out(out) {}
    template <typename T>
    void member(const char* key, const T& value) {
        m_out.key(key);
        if constexpr (std::is_same_v<T, bool>) {
            m_out.boolean(value);
        } else if constexpr (std::is_unsigned_v<T>) {
            m_out.unsignedInteger(value);
        } else {
            m_out.string(value);
        }
    }
    template <typename T>
    void member(const char* key, const std::optional<T>& value) {
        if (value) member(key, *value);
    }

  private:
    JsonWriter& m_out;
};

}  // namespace lumifold
