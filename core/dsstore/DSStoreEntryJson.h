#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/common/JsonWriter.h"
#include "core/dsstore/DSStoreEntry.h"

namespace lumifold {

// The line form of a record used by the store tools and the test corpus:
// {"filename": ..., "code": ..., "type": ..., "value": ...} where the value is true/false for
// "bool", a number for "long", "shor", "comp" and "dutc", a string for "type" and "ustr", and
// base64 text for "blob".
// writeEntryMembers writes its four members into an object the caller opened; entryJsonLine is
// the whole line (without its newline), as dump(-1) would give it.
void writeEntryMembers(JsonWriter& writer, const DSStoreEntry& entry);
std::string entryJsonLine(const DSStoreEntry& entry);

// Reads the line form strictly: exactly the four keys, a known type and a value of the
// matching JSON type and range. Throws std::invalid_argument naming what is wrong.
DSStoreEntry entryFromJsonLine(const nlohmann::json& line);

}  // namespace lumifold
