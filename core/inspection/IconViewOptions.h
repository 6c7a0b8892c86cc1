#pragma once

#include <optional>
#include <string_view>

#include "core/dsstore/DSStoreEntry.h"
#include "core/platform/PropertyList.h"

namespace lumifold {

// Reading a folder's icon-view options ("icvp" record), shared by inspection, planning and
// verification so the three agree on what a record says.

// The dictionary an "icvp" value holds; nullopt when the value is not data, or not a property
// list whose root is a dictionary. Never throws.
std::optional<platform::PlistDictionary> iconViewOptions(const DSStoreValue& value);

// The value under `key`, or nullptr.
const platform::PlistValue* findOption(const platform::PlistDictionary& options,
                                       std::string_view key);

// A real, or an integer read as a real; nullopt for anything else.
std::optional<double> optionNumber(const platform::PlistValue& value);

// Folder sizes match within 0.01; a size that is not a number never matches.
bool iconSizesDiffer(double current, double target);

}  // namespace lumifold
