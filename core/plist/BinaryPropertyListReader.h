#pragma once

#include "core/common/Bytes.h"
#include "core/plist/PropertyList.h"

namespace lumifold::platform {

// Decodes a binary property list ("bplist00") with every offset, reference and length checked
// against the buffer, a depth bound, a cycle check and a bound on the values that shared
// references may expand into. Throws Error (kPropertyListDomain) for anything else.
PlistValue readBinaryPropertyList(ByteView bytes);

}  // namespace lumifold::platform
