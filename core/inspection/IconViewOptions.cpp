#include "core/inspection/IconViewOptions.h"

#include <cmath>
#include <string>

#include "core/common/Error.h"

namespace lumifold {

std::optional<platform::PlistDictionary> iconViewOptions(const DSStoreValue& value) {
    if (value.kind() != DSStoreValue::Kind::data) return std::nullopt;
    try {
        platform::PlistValue options = platform::parsePropertyList(value.asData());
        if (platform::PlistDictionary* dictionary = options.ifDictionary()) {
            return std::move(*dictionary);
        }
    } catch (const Error&) {
        // Not a property list: the record says nothing the Finder could use.
    }
    return std::nullopt;
}

const platform::PlistValue* findOption(const platform::PlistDictionary& options,
                                       std::string_view key) {
    const auto found = options.find(std::string(key));
    return found == options.end() ? nullptr : &found->second;
}

std::optional<double> optionNumber(const platform::PlistValue& value) { return value.asNumber(); }

bool iconSizesDiffer(double current, double target) {
    return !(std::fabs(current - target) <= 0.01);
}

}  // namespace lumifold
