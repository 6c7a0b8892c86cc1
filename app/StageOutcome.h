#pragma once

#include <QString>

namespace lumifold::app {

// How a screen's own action ended, shown on that screen (a restore refused over drift, an
// install that started nothing, a failure's message).
struct StageOutcome {
    enum class Kind { done, warning, failed };
    Kind kind = Kind::done;
    QString text;
    friend bool operator==(const StageOutcome&, const StageOutcome&) = default;
};

}  // namespace lumifold::app
