#include "core/plist/PropertyList.h"

#include <cstdint>
#include <string>

#include "core/common/Error.h"
#include "core/common/Text.h"
#include "core/plist/BinaryPropertyListReader.h"
#include "core/plist/PropertyListFormat.h"
#include "core/plist/XmlPropertyListReader.h"

namespace lumifold::platform {

namespace fmt = plist_format;

PlistValue PlistValue::string(std::string value) {
    if (isWellFormedUtf8(value))
        return PlistValue(Payload(std::in_place_index<0>, std::move(value)));
    return PlistValue(Payload(std::in_place_index<10>, std::move(value)));
}

PlistValue PlistValue::unsignedInteger(std::uint64_t value) {
    if (value <= static_cast<std::uint64_t>(INT64_MAX)) {
        return integer(static_cast<std::int64_t>(value));
    }
    return PlistValue(Payload(std::in_place_index<8>, value));
}

std::optional<double> PlistValue::asNumber() const {
    if (const double* value = ifReal()) return *value;
    if (const std::int64_t* value = ifInteger()) return static_cast<double>(*value);
    if (const std::uint64_t* value = ifUnsignedInteger()) return static_cast<double>(*value);
    return std::nullopt;
}

bool operator==(const PlistValue& a, const PlistValue& b) {
    if (const double* x = a.ifReal()) {
        const double* y = b.ifReal();
        return y && (*x == *y || (*x != *x && *y != *y));
    }
    // Containers compare their elements through this operator again.
    return a.m_payload == b.m_payload;
}

PlistValue parsePropertyList(ByteView bytes) {
    if (bytes.empty()) {
        throw Error(kPropertyListDomain, kPropertyListMalformed, "Empty property list");
    }
    if (bytes.size() > fmt::kMaxInputSize) {
        throw Error(kPropertyListDomain, kPropertyListTooLarge,
                    "Property list larger than " + std::to_string(fmt::kMaxInputSize) + " bytes");
    }
    if (asText(bytes).starts_with("bplist")) return readBinaryPropertyList(bytes);
    return readXmlPropertyList(bytes);
}

}  // namespace lumifold::platform
