// libFuzzer target for decodeManifestFile: any text must give a manifest or a
// nlohmann::json::exception. A manifest read must be written again and read back equal to it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/backup/BackupManifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumifold;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    BackupManifest manifest;
    try {
        manifest = decodeManifestFile(text);
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    // The parser only lets well-formed UTF-8 through, so the encoder has no reason to throw.
    if (!(decodeManifestFile(encodeManifestFile(manifest)) == manifest)) __builtin_trap();
    return 0;
}
