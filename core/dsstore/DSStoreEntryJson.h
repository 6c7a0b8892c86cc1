#pragma once

#include <nlohmann/json.hpp>

#include "core/dsstore/DSStoreEntry.h"

namespace lumifold {

// The line form of a record used by the store tools and the test corpus:
// {"filename": ..., "code": ..., "type": ..., "value": ...} where the value is true/false for
// "bool", a number for "long", "shor", "comp" and "dutc", a string for "type" and "ustr", and
// base64 text for "blob".
nlohmann::ordered_json entryToJsonLine(const DSStoreEntry& entry);

// Reads the line form strictly: exactly the four keys, a known type and a value of the
// matching JSON type and range. Throws std::invalid_argument naming what is wrong.
DSStoreEntry entryFromJsonLine(const nlohmann::json& line);

}  // namespace lumifold
