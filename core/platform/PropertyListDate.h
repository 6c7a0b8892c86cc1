#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumifold::platform {

// Property-list dates as text: "YYYY-MM-DDTHH:MM:SSZ" in UTC, years 0000 to 9999, with a
// fraction of a second (".5") when the value has one. The XML formats and JSON share it.

// The text of a date given in seconds since 2001-01-01T00:00:00Z, its fraction the shortest
// that reads back as the same double; nullopt when the value is not finite or its year lies
// outside 0000 to 9999.
std::optional<std::string> formatPropertyListDate(double secondsSinceReferenceDate);

// Reads the form above (a fraction of any length, or none); nullopt for anything else, an
// impossible day or time included. The value is the exact instant, rounded once.
std::optional<double> parsePropertyListDate(std::string_view text);

}  // namespace lumifold::platform
