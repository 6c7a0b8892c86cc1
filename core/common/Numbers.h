#pragma once

#include <string>

namespace lumifold {

// The shortest decimal text that reads back as `value`, with ".0" added to whole numbers
// (44 gives "44.0", 0.1 gives "0.1"). Infinities and NaN give "inf", "-inf" and "nan".
std::string formatReal(double value);

}  // namespace lumifold
