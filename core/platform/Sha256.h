#pragma once

#include <string>

#include "core/common/Bytes.h"

namespace lumifold::platform {

inline constexpr const char* kSha256Domain = "Sha256";
enum Sha256Error : int {
    kSha256Failed = 1,  // the digest library refused (out of memory, disabled algorithm)
};

// The SHA-256 digest of `bytes` as 64 lower-case hexadecimal digits. Throws Error
// (kSha256Domain) only when the digest library itself fails.
std::string sha256Hex(ByteView bytes);

}  // namespace lumifold::platform
