#pragma once

#include <cstdint>
#include <optional>

#include "core/common/Bytes.h"
#include "core/plist/PropertyList.h"

namespace lumifold::platform {

// Decodes an XML property list in the encoding its byte-order mark or declaration gives (UTF-8
// when neither does) without recursing past the depth bound or counting past the value bound.
// Throws Error (kPropertyListDomain) for anything outside the property-list grammar, an
// encoding ICU does not know and bytes the encoding does not define.
PlistValue readXmlPropertyList(ByteView bytes);

// The UID a dictionary stands for in XML: its only key is "CF$UID" and holds an integer of at
// least 0. The reader turns such a dictionary into a UID, and the writer refuses to write any
// dictionary it matches, so both directions follow this one rule.
std::optional<std::uint64_t> uidInXml(const PlistDictionary& entries);

}  // namespace lumifold::platform
