#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace lumifold {

// ISO 8601 internet date-times in UTC with whole seconds: "2025-01-31T14:05:10Z".

// The time rounded down to its second, years 0000 to 9999 (others are clamped to that range).
std::string formatIso8601(std::chrono::system_clock::time_point time);

// Reads exactly the form above: twenty characters, every field in range (a real calendar
// day, hours 00-23, minutes and seconds 00-59), the letter "T" and the designator "Z".
// Anything else (fractions, offsets, lower-case letters, spaces), and a moment outside the
// range of system_clock (1677 to 2262 where it counts nanoseconds), gives nullopt.
std::optional<std::chrono::system_clock::time_point> parseIso8601(std::string_view text);

// The snapshot identifier form: formatIso8601 with every ":" replaced by "-"
// ("2025-01-31T14-05-10Z"), usable as a file name.
std::string iso8601Identifier(std::chrono::system_clock::time_point time);

}  // namespace lumifold
