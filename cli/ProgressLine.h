#pragma once

#include "core/engine/Progress.h"

namespace lumifold::cli {

// One line on standard error that follows an operation's progress, rewritten in place at most
// ten times a second, and cleared when the operation ends. Shows nothing when standard error is
// not a terminal, or when `enabled` is false (JSON output).
class ProgressLine final {
  public:
    explicit ProgressLine(bool enabled);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // The callback to give the engine; valid while this object lives.
    ProgressCallback callback();
    // Clears the line, before the operation's own output.
    void finish();

  private:
    void show(const Progress& progress);

    bool m_enabled;
    bool m_shown = false;
    double m_lastShown = -1.0;
};

}  // namespace lumifold::cli
