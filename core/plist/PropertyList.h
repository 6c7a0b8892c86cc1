#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/common/Bytes.h"

namespace lumifold::platform {

// Property lists (XML and binary "bplist00"), as a plain value type that holds every value
// either format can: whatever is read can be written back unchanged.

class PlistValue;
using PlistArray = std::vector<PlistValue>;
// Keys are unique; their order in a file carries no meaning. A key is held as generalised
// UTF-8: UTF-8 in which a lone UTF-16 surrogate (possible in a binary file's key) is the
// three-byte sequence ED A0 80 to ED BF BF. Such a key never equals well-formed UTF-8 text, so
// a lookup by ordinary text never finds it, yet it is written back as it was read.
using PlistDictionary = std::map<std::string, PlistValue>;

// Seconds since 2001-01-01T00:00:00Z, as property lists store dates. Any double; a NaN equals
// a NaN, so a value read back compares equal to the one written.
struct PlistDate {
    double secondsSinceReferenceDate = 0;
    friend bool operator==(const PlistDate& a, const PlistDate& b) {
        const double x = a.secondsSinceReferenceDate;
        const double y = b.secondsSinceReferenceDate;
        return x == y || (x != x && y != y);
    }
};

class PlistValue {
  public:
    enum class Kind : std::uint8_t {
        string,
        integer,
        real,
        boolean,
        date,
        data,
        array,
        dictionary,
        unsignedInteger,  // above INT64_MAX only
        uid,              // an object reference of keyed archives
        opaqueString,     // text that is not well-formed UTF-8 (a lone surrogate)
    };

    PlistValue() : m_payload(PlistDictionary{}) {}  // an empty dictionary

    // Well-formed UTF-8 gives a string; anything else gives an opaque string holding the same
    // bytes (generalised UTF-8 for a lone surrogate; other bytes cannot be written).
    static PlistValue string(std::string value);
    static PlistValue integer(std::int64_t value) {
        return PlistValue(Payload(std::in_place_index<1>, value));
    }
    // A value up to INT64_MAX is an ordinary integer, so equal numbers compare equal.
    static PlistValue unsignedInteger(std::uint64_t value);
    static PlistValue real(double value) {
        return PlistValue(Payload(std::in_place_index<2>, value));
    }
    static PlistValue boolean(bool value) {
        return PlistValue(Payload(std::in_place_index<3>, value));
    }
    static PlistValue date(PlistDate value) {
        return PlistValue(Payload(std::in_place_index<4>, value));
    }
    static PlistValue data(Bytes value) {
        return PlistValue(Payload(std::in_place_index<5>, std::move(value)));
    }
    static PlistValue array(PlistArray value) {
        return PlistValue(Payload(std::in_place_index<6>, std::move(value)));
    }
    static PlistValue dictionary(PlistDictionary value) {
        return PlistValue(Payload(std::in_place_index<7>, std::move(value)));
    }
    static PlistValue uid(std::uint64_t value) {
        return PlistValue(Payload(std::in_place_index<9>, value));
    }

    Kind kind() const { return static_cast<Kind>(m_payload.index()); }

    // Each returns nullptr when the value is of another kind, so "use it if it has the right
    // type" reads as one `if`. ifString() gives well-formed UTF-8 only.
    const std::string* ifString() const { return std::get_if<0>(&m_payload); }
    const std::int64_t* ifInteger() const { return std::get_if<1>(&m_payload); }
    const double* ifReal() const { return std::get_if<2>(&m_payload); }
    const bool* ifBoolean() const { return std::get_if<3>(&m_payload); }
    const PlistDate* ifDate() const { return std::get_if<4>(&m_payload); }
    const Bytes* ifData() const { return std::get_if<5>(&m_payload); }
    const PlistArray* ifArray() const { return std::get_if<6>(&m_payload); }
    const PlistDictionary* ifDictionary() const { return std::get_if<7>(&m_payload); }
    PlistArray* ifArray() { return std::get_if<6>(&m_payload); }
    PlistDictionary* ifDictionary() { return std::get_if<7>(&m_payload); }
    const std::uint64_t* ifUnsignedInteger() const { return std::get_if<8>(&m_payload); }
    const std::uint64_t* ifUid() const { return std::get_if<9>(&m_payload); }
    // The bytes of an opaque string, in generalised UTF-8 (see PlistDictionary).
    const std::string* ifOpaqueString() const { return std::get_if<10>(&m_payload); }

    // A real, or either kind of integer converted; nullopt for anything else.
    std::optional<double> asNumber() const;

    // Same kind and equal contents; an integer never equals a real, a NaN equals a NaN.
    friend bool operator==(const PlistValue& a, const PlistValue& b);

  private:
    using Payload =
        std::variant<std::string, std::int64_t, double, bool, PlistDate, Bytes, PlistArray,
                     PlistDictionary, std::uint64_t, std::uint64_t, std::string>;
    explicit PlistValue(Payload payload) : m_payload(std::move(payload)) {}
    Payload m_payload;
};

inline constexpr const char* kPropertyListDomain = "PropertyList";
enum PropertyListError : int {
    kPropertyListMalformed = 1,   // not a property list, or one we cannot trust
    kPropertyListTooLarge = 2,    // beyond the size or nesting bounds
    kPropertyListUnwritable = 3,  // a value that the format cannot hold
};

// Reads XML (in the encoding it declares or its byte-order mark gives) or binary, detected
// from the bytes.
// Throws Error (kPropertyListDomain) for any malformed or untrusted input; never crashes,
// hangs or allocates without bound.
PlistValue parsePropertyList(ByteView bytes);
// Binary property list, format version 1.0 ("bplist00"). Throws kPropertyListUnwritable only
// for what no reader would take back: text that is not even generalised UTF-8, or a value
// beyond the readers' bounds.
Bytes toBinaryPropertyList(const PlistValue& value);
// XML property list text. Throws kPropertyListUnwritable, beyond the binary writer's cases,
// for a date outside the years 0000 to 9999 (or not finite) and for a dictionary that would
// read back as a UID (its only key "CF$UID", holding an integer of at least 0).
std::string toXmlPropertyList(const PlistValue& value);

}  // namespace lumifold::platform
