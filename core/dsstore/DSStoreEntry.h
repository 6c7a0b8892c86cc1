#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "core/common/Bytes.h"

namespace lumifold {

// The typed value of one store record. Exactly one of six cases; `fourCC` and `string` both
// hold text but are distinct cases.
class DSStoreValue {
  public:
    enum class Kind : std::uint8_t { boolean, integer, fourCC, string, data, uint64 };

    static DSStoreValue boolean(bool value) {
        return DSStoreValue(Payload(std::in_place_index<0>, value));
    }
    static DSStoreValue integer(std::uint32_t value) {
        return DSStoreValue(Payload(std::in_place_index<1>, value));
    }
    static DSStoreValue fourCC(std::string value) {
        return DSStoreValue(Payload(std::in_place_index<2>, std::move(value)));
    }
    static DSStoreValue string(std::string value) {
        return DSStoreValue(Payload(std::in_place_index<3>, std::move(value)));
    }
    static DSStoreValue data(Bytes value) {
        return DSStoreValue(Payload(std::in_place_index<4>, std::move(value)));
    }
    static DSStoreValue uint64(std::uint64_t value) {
        return DSStoreValue(Payload(std::in_place_index<5>, value));
    }

    Kind kind() const { return static_cast<Kind>(m_payload.index()); }

    // Each accessor requires the matching kind and throws std::bad_variant_access otherwise.
    bool asBoolean() const { return std::get<0>(m_payload); }
    std::uint32_t asInteger() const { return std::get<1>(m_payload); }
    const std::string& asFourCC() const { return std::get<2>(m_payload); }
    const std::string& asString() const { return std::get<3>(m_payload); }
    const Bytes& asData() const { return std::get<4>(m_payload); }
    std::uint64_t asUInt64() const { return std::get<5>(m_payload); }

    // Same case and equal payloads; text compares by canonical equivalence (equal NFC forms).
    friend bool operator==(const DSStoreValue& a, const DSStoreValue& b);

  private:
    using Payload =
        std::variant<bool, std::uint32_t, std::string, std::string, Bytes, std::uint64_t>;
    explicit DSStoreValue(Payload payload) : m_payload(std::move(payload)) {}
    Payload m_payload;
};

// One record of a folder's store: a property (`code`) of a name in the folder ("." for the
// folder itself), stored with `typecode`.
struct DSStoreEntry {
    std::string filename;
    std::string code;
    std::string typecode;
    DSStoreValue value = DSStoreValue::boolean(false);

    // All four fields equal; names and codes compare exactly (case-sensitive), by NFC form.
    friend bool operator==(const DSStoreEntry& a, const DSStoreEntry& b);
    // Lower-cased names, then exact names, then codes; `typecode` and `value` take no part.
    friend bool operator<(const DSStoreEntry& a, const DSStoreEntry& b);
    friend bool operator>(const DSStoreEntry& a, const DSStoreEntry& b) { return b < a; }
    friend bool operator<=(const DSStoreEntry& a, const DSStoreEntry& b) { return !(b < a); }
    friend bool operator>=(const DSStoreEntry& a, const DSStoreEntry& b) { return !(a < b); }
};

// Stable sort by the entry ordering. Each entry's sort key (NFC of the lower-cased name, NFC
// of the name, NFC of the code) is computed once, not in every comparison.
void sortEntries(std::vector<DSStoreEntry>& entries);
// The indices of `entries` in that stable order, the entries left where they are.
std::vector<std::size_t> sortedOrder(const std::vector<DSStoreEntry>& entries);

// Type codes of the store and the value case each is read as.
inline constexpr const char* kTypeBool = "bool";
inline constexpr const char* kTypeLong = "long";
inline constexpr const char* kTypeShor = "shor";
inline constexpr const char* kTypeType = "type";
inline constexpr const char* kTypeUstr = "ustr";
inline constexpr const char* kTypeBlob = "blob";
inline constexpr const char* kTypeComp = "comp";
inline constexpr const char* kTypeDutc = "dutc";

}  // namespace lumifold
