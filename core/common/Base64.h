#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/common/Bytes.h"

namespace lumifold {

// Standard base64 with padding.
std::string base64Encode(ByteView bytes);
// The same text appended to `out`.
void appendBase64(std::string& out, ByteView bytes);
// Strict: nullopt for characters outside the alphabet, bad padding or a wrong length.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace lumifold
