#pragma once

#include <nlohmann/json.hpp>

#include "core/plist/PropertyList.h"

namespace lumifold::platform {

// A property list as JSON, for people and scripts to read (it is not read back): data as
// base64 text, dates as ISO 8601 text (the number of seconds since 2001-01-01T00:00:00Z when
// the year lies outside 0000 to 9999), a UID as {"CF$UID": n}, reals that are not finite as
// the text "nan", "inf" or "-inf", and each lone surrogate in a text or key as U+FFFD.
nlohmann::ordered_json plistToJson(const PlistValue& value);

}  // namespace lumifold::platform
