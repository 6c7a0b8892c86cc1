#include "cli/ProgressLine.h"

#include <iostream>
#include <string>

#include "core/platform/Clock.h"
#include "core/platform/FileSystem.h"

namespace lumifold::cli {
namespace {

constexpr double kMinimumInterval = 0.1;  // ten updates a second at most
constexpr const char* kClearLine = "\r\x1b[K";

}  // namespace

ProgressLine::ProgressLine(bool enabled)
    : m_enabled(enabled && platform::standardErrorIsTerminal()) {}

ProgressLine::~ProgressLine() { finish(); }

void ProgressLine::finish() {
    if (m_shown) std::cerr << kClearLine << std::flush;
    m_shown = false;
}

ProgressCallback ProgressLine::callback() {
    if (!m_enabled) return {};
    return [this](const Progress& progress) { show(progress); };
}

void ProgressLine::show(const Progress& progress) {
    const double now = platform::monotonicSeconds();
    if (m_shown && now - m_lastShown < kMinimumInterval) return;
    m_lastShown = now;
    m_shown = true;
    std::string line = kClearLine;
    line.append(progress.stage).append(": ").append(progress.step);
    if (progress.total) {
        line += " " + std::to_string(progress.done) + "/" + std::to_string(*progress.total);
    }
    std::cerr << line << std::flush;
}

}  // namespace lumifold::cli
