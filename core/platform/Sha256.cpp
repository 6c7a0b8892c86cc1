#include "core/platform/Sha256.h"

#include <openssl/evp.h>

#include "core/common/Error.h"

namespace lumifold::platform {

std::string sha256Hex(ByteView bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
        length != 32) {
        throw Error(kSha256Domain, kSha256Failed, "Could not compute a SHA-256 checksum");
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kDigits[digest[i] >> 4]);
        hex.push_back(kDigits[digest[i] & 0x0F]);
    }
    return hex;
}

}  // namespace lumifold::platform
