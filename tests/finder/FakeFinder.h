#pragma once

#include "core/finder/FinderCoordinator.h"

namespace lumifold::testing {

// A Finder on a pretend clock, logging all but transfer questions. Asked to quit, it runs
// `onQuit` and goes `quitDelay` seconds later (never, when unset).
struct FakeFinder {
    bool running = false;
    std::optional<std::string> transferCount = "0";
    std::optional<double> quitDelay = 0.0;
    std::function<void()> onQuit{};
    double now = 0;
    std::optional<double> quitAt{};
    std::string log{};

    bool isRunning() const {
        return running && !(quitAt && quitDelay && now >= *quitAt + *quitDelay);
    }
    FinderHost host() {
        return {[this](const std::string& script) -> std::optional<std::string> {
                    if (script.find("copyWindows") != std::string::npos) return transferCount;
                    log += "quit; ";
                    quitAt = now;
                    if (onQuit) onQuit();
                    return std::nullopt;
                },
                [this] {
                    std::vector<std::string> ids{"com.apple.Finder", "com.apple.finder.helper"};
                    if (isRunning()) ids.push_back("com.apple.finder");
                    return ids;
                },
                [this](const std::string& path, const std::vector<std::string>& args) {
                    log += path + " " + args.back() + "; ";
                    if (args.back() == "Finder") {  // open -a Finder, or killall Finder
                        running = args.front() == "-a";
                        quitAt.reset();
                    }
                    return platform::ProcessResult{};  // not even started, which must not matter
                },
                [this](double seconds) {
                    log += "sleep " + std::to_string(seconds).substr(0, 4) + "; ";
                    now += seconds;
                },
                [this] { return now; },
                [this](const std::string& id) {
                    log += "synchronize " + id + "; ";
                    return true;
                }};
    }
};

// What a Finder restart around a write logs, in order.
inline const std::string kQuitThenRestart =
    "quit; synchronize com.apple.finder; /usr/bin/killall cfprefsd; sleep 0.50; "
    "/usr/bin/open Finder; sleep 0.50; ";

}  // namespace lumifold::testing
