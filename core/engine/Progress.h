#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace lumifold {

// Where a long operation is: its stage ("Apply"), the step within it ("Hiding extensions"),
// and how far along that step is (`total` when it is known). Called on the operation's own
// thread; the texts live only for the call.
struct Progress {
    std::string_view stage;
    std::string_view step;
    std::uint64_t done = 0;
    std::optional<std::uint64_t> total;
};

using ProgressCallback = std::function<void(const Progress&)>;

}  // namespace lumifold
