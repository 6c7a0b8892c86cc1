#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "core/common/Bytes.h"

namespace lumifold::platform {

// Property lists (XML and binary "bplist00"), as a plain value type. Nothing outside
// PropertyList.cpp sees the C library that does the encoding.

class PlistValue;
using PlistArray = std::vector<PlistValue>;
// Keys are unique strings; their order in a file carries no meaning.
using PlistDictionary = std::map<std::string, PlistValue>;

// Seconds since 2001-01-01T00:00:00Z, as property lists store dates.
struct PlistDate {
    double secondsSinceReferenceDate = 0;
    friend bool operator==(const PlistDate&, const PlistDate&) = default;
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
        dictionary
    };

    PlistValue() : m_payload(PlistDictionary{}) {}  // an empty dictionary

    static PlistValue string(std::string value) {
        return PlistValue(Payload(std::in_place_index<0>, std::move(value)));
    }
    static PlistValue integer(std::int64_t value) {
        return PlistValue(Payload(std::in_place_index<1>, value));
    }
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

    Kind kind() const { return static_cast<Kind>(m_payload.index()); }

    // Each returns nullptr when the value is of another kind, so "use it if it has the right
    // type" reads as one `if`.
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

    // Same kind and equal contents; an integer never equals a real.
    friend bool operator==(const PlistValue& a, const PlistValue& b) {
        return a.m_payload == b.m_payload;
    }

  private:
    using Payload = std::variant<std::string, std::int64_t, double, bool, PlistDate, Bytes,
                                 PlistArray, PlistDictionary>;
    explicit PlistValue(Payload payload) : m_payload(std::move(payload)) {}
    Payload m_payload;
};

inline constexpr const char* kPropertyListDomain = "PropertyList";
enum PropertyListError : int {
    kPropertyListMalformed = 1,   // not a property list, or one we cannot trust
    kPropertyListTooLarge = 2,    // beyond the size or nesting bounds
    kPropertyListUnwritable = 3,  // a value that cannot be serialised
};

// Reads XML or binary (detected from the bytes). Throws Error (kPropertyListDomain) for any
// malformed or untrusted input; never crashes, hangs or allocates without bound.
PlistValue parsePropertyList(ByteView bytes);
// Binary property list, format version 1.0 ("bplist00").
Bytes toBinaryPropertyList(const PlistValue& value);
// XML property list text.
std::string toXmlPropertyList(const PlistValue& value);

}  // namespace lumifold::platform
