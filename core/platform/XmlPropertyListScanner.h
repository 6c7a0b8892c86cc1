#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace lumifold::platform {

// The numbers and dates of an XML property list in document order, read from their text
// with strict grammars, so that what the XML library reads can be checked against them.
struct XmlPropertyListScalars {
    std::vector<std::int64_t> integers;
    std::vector<double> reals;
    std::vector<double> dates;  // seconds since 2001-01-01T00:00:00Z
};

// Walks the markup without building a tree. Throws Error (kPropertyListDomain) when elements
// nest deeper than the depth bound, when there are more elements than the value bound, when
// tags do not match, or when an <integer>, <real> or <date> text is not well formed or out of
// range (the XML library would read such texts as 0 or a saturated value).
XmlPropertyListScalars scanXmlPropertyList(std::string_view text);

}  // namespace lumifold::platform
