// libFuzzer target for parsePropertyList: any input must give a value or a lumifold::Error.
// Every value read must be written again in binary, and in XML unless XML cannot hold it, and
// each must read back equal to it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/common/Error.h"
#include "core/plist/PropertyList.h"

namespace {

// The values `value` holds, itself included, each time a shared reference repeats one.
std::size_t expandedCount(const lumifold::platform::PlistValue& value) {
    std::size_t count = 1;
    if (const auto* items = value.ifArray()) {
        for (const auto& item : *items) count += expandedCount(item);
    } else if (const auto* entries = value.ifDictionary()) {
        for (const auto& entry : *entries) count += 1 + expandedCount(entry.second);
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumifold::platform;
    const lumifold::ByteView bytes(reinterpret_cast<const std::byte*>(data), size);
    PlistValue value;
    try {
        value = parsePropertyList(bytes);
    } catch (const lumifold::Error&) {
        return 0;
    }
    // A file spends at least a byte on each value it holds (an XML tag, a binary marker or
    // reference) unless shared references repeat a container, which the binary writer never
    // does: no file the program writes expands past its size. One that does (a 300-byte file
    // can expand to the readers' bound of 1 Mi values) is still read in full above, but its
    // round trip would only repeat the same subtrees, for seconds per input.
    if (expandedCount(value) > size) return 0;
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
