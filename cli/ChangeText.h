#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/common/Numbers.h"
#include "core/preferences/SettingChange.h"

namespace lumifold::cli {

// A planned change as a person reads it, codes explained beside them: "Desktop: view style
// column (clmv) → icon (icnv)", "icon size 64 → 44", "report.pdf: extension hidden".
std::string describeChange(const SettingChange& change);

// A view style in words with its code: "column (clmv)"; an unknown code as it is.
std::string viewStyleText(std::string_view code);
// A size as a person writes it: "64", "44.5".
std::string sizeText(double size);

}  // namespace lumifold::cli
