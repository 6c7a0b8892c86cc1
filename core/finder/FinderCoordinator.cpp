#include "core/finder/FinderCoordinator.h"

#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "core/common/Error.h"

namespace lumifold {
namespace {

// The Finder's progress windows are titled after what they do.
constexpr const char* kTransferWindowCountScript =
    "tell application \"Finder\"\n"
    "    set copyWindows to (every window whose name contains \"Copy\" or name contains "
    "\"Moving\" or name contains \"Preparing\" or name contains \"Deleting\")\n"
    "    return (count of copyWindows)\n"
    "end tell";

constexpr const char* kQuitScript =
    "tell application \"Finder\"\n"
    "    quit\n"
    "end tell";

constexpr const char* kKillallPath = "/usr/bin/killall";
constexpr const char* kOpenPath = "/usr/bin/open";
constexpr double kQuitPollInterval = 0.25;
constexpr double kSettleDelay = 0.5;

// A decimal integer: an optional "+" or "-", then one or more ASCII digits and nothing else,
// within the signed 64-bit range.
std::optional<std::int64_t> parseCount(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    // from_chars takes a "-" but not a "+".
    const std::string_view number = text.front() == '+' ? digits : text;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc{} || end != number.data() + number.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::string> FinderHost::scriptResultFromOsascript(
    const platform::ProcessResult& result) {
    if (!result.started || result.exitStatus != 0) return std::nullopt;
    std::string text = result.standardOutput;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

FinderCoordinator::FinderCoordinator(FinderHost host) : m_host(std::move(host)) {
    if (!m_host.runAppleScript || !m_host.runningBundleIdentifiers || !m_host.runProcess ||
        !m_host.sleep || !m_host.monotonicSeconds || !m_host.synchronizePreferences) {
        throw std::invalid_argument("FinderCoordinator needs every FinderHost member set");
    }
}

bool FinderCoordinator::hasActiveTransfers() const {
    const std::optional<std::string> result = m_host.runAppleScript(kTransferWindowCountScript);
    if (!result) return false;
    const std::optional<std::int64_t> count = parseCount(*result);
    return count && *count > 0;
}

bool FinderCoordinator::isFinderRunning() const {
    for (const std::string& identifier : m_host.runningBundleIdentifiers()) {
        if (identifier == kFinderBundleIdentifier) return true;
    }
    return false;
}

void FinderCoordinator::quitFinder(double timeout) const {
    if (hasActiveTransfers()) {
        throw Error(kErrorDomain, kActiveTransfersErrorCode, kActiveTransfersMessage);
    }
    m_host.runAppleScript(kQuitScript);  // the polling below judges whether it worked

    const double start = m_host.monotonicSeconds();
    while (m_host.monotonicSeconds() - start < timeout) {
        if (!isFinderRunning()) return;
        m_host.sleep(kQuitPollInterval);
    }
    // A tool that cannot start is ignored, and so is its exit status.
    m_host.runProcess(kKillallPath, {"Finder"});
    m_host.sleep(kSettleDelay);
}

void FinderCoordinator::flushPreferenceCache() const {
    m_host.synchronizePreferences(kFinderBundleIdentifier);
    m_host.runProcess(kKillallPath, {"cfprefsd"});
    m_host.sleep(kSettleDelay);
}

void FinderCoordinator::relaunchFinder() const {
    m_host.runProcess(kOpenPath, {"-a", "Finder"});
    m_host.sleep(kSettleDelay);
}

}  // namespace lumifold
