#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

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

// Reads, without building a JSON tree, a well-formed line of the four keys in any order, with
// white space or none, strings without escapes and a value of its type's range: the lines dump
// prints and most others. nullopt for any other line: the caller then parses it with
// entryFromJsonLine, which accepts all that JSON allows and words the errors.
std::optional<DSStoreEntry> entryFromDumpedLine(std::string_view line);

}  // namespace lumifold
