// libFuzzer target for parsePropertyList: any input must give a value or a lumifold::Error.
// A value must also survive being written and read back in both formats.
#include <cstddef>
#include <cstdint>

#include "core/common/Error.h"
#include "core/platform/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumifold::platform;
    const lumifold::ByteView bytes(reinterpret_cast<const std::byte*>(data), size);
    try {
        const PlistValue value = parsePropertyList(bytes);
        try {
            (void)parsePropertyList(toBinaryPropertyList(value));
            (void)parsePropertyList(lumifold::asBytes(toXmlPropertyList(value)));
        } catch (const lumifold::Error& error) {
            // Values the writer refuses (out-of-range dates, NUL in strings) are fine; a
            // written list that does not read back is not.
            if (error.code() != kPropertyListUnwritable) __builtin_trap();
        }
    } catch (const lumifold::Error&) {
    }
    return 0;
}
