#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/plist/PropertyList.h"

namespace lumifold::platform {

// The texts of property-list scalars, as XML holds them (and JSON shows dates). Each parser
// reads the whole text, with no surrounding white space, and gives nullopt for anything else.

// Dates: "YYYY-MM-DDTHH:MM:SSZ" in UTC, years 0000 to 9999, with a fraction of a second (".5")
// when the value has one.

// The text of a date given in seconds since 2001-01-01T00:00:00Z, its fraction the shortest
// that reads back as the same double; nullopt when the value is not finite or its year lies
// outside 0000 to 9999.
std::optional<std::string> formatPropertyListDate(double secondsSinceReferenceDate);

// Reads the form above (a fraction of any length, or none); an impossible day or time is
// refused. The value is the exact instant, rounded once.
std::optional<double> parsePropertyListDate(std::string_view text);

// Decimal or "0x" hexadecimal with an optional sign, from -2^63 to 2^64 - 1; leading zeros are
// plain decimal.
std::optional<PlistValue> parsePropertyListInteger(std::string_view text);

// Decimal with an optional sign, or nan, inf and infinity in any case. A decimal beyond the
// doubles' range gives the nearest double: infinity or zero, with its sign.
std::optional<double> parsePropertyListReal(std::string_view text);

}  // namespace lumifold::platform
