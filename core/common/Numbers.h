#pragma once

#include <cstddef>
#include <string>

namespace lumifold {

// The shortest decimal text that reads back as `value`, with ".0" added to whole numbers
// (44 gives "44.0", 0.1 gives "0.1"). Infinities and NaN give "inf", "-inf" and "nan".
std::string formatReal(double value);

// "1 file", "3 files": `count` with the noun in the number it needs (`plural` when the noun
// does not just take an "s").
std::string counted(std::size_t count, const std::string& noun, const std::string& plural = "");

}  // namespace lumifold
