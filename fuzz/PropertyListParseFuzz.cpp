// libFuzzer target for parsePropertyList: any input must give a value or a lumifold::Error.
// Every value read must be written again in binary, and in XML unless XML cannot hold it, and
// each must read back equal to it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/common/Error.h"
#include "core/plist/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumifold::platform;
    const lumifold::ByteView bytes(reinterpret_cast<const std::byte*>(data), size);
    PlistValue value;
    try {
        value = parsePropertyList(bytes);
    } catch (const lumifold::Error&) {
        return 0;
    }
    // The binary writer holds every value a reader gives.
    if (!(parsePropertyList(toBinaryPropertyList(value)) == value)) __builtin_trap();
    std::string xml;
    try {
        xml = toXmlPropertyList(value);
    } catch (const lumifold::Error& error) {
        if (error.code() != kPropertyListUnwritable) __builtin_trap();
        return 0;
    }
    if (!(parsePropertyList(lumifold::asBytes(xml)) == value)) __builtin_trap();
    return 0;
}
