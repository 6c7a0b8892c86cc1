#pragma once

#include "core/finder/FinderCoordinator.h"

namespace lumifold::testing {

// A Mac's Finder on a pretend clock, its commands run by pretend programs, logging all but
// transfer questions. Asked to quit, it runs `onQuit` and goes `quitDelay` seconds later (never,
// when unset).
struct FakeFinder {
    bool running = false;
    // What osascript prints for the transfer windows' count; nullopt: it fails.
    std::optional<std::string> transferCount = "0";
    std::optional<double> quitDelay = 0.0;
    std::function<void()> onQuit{};
    double now = 0;
    std::optional<double> quitAt{};
    std::string log{};

    bool isRunning() const {
        return running && !(quitAt && quitDelay && now >= *quitAt + *quitDelay);
    }
    // Every program "exits 0"; osascript alone prints anything.
    platform::ProcessResult run(const std::string& path, const std::vector<std::string>& args) {
        if (path == "/usr/bin/osascript") {
            if (args.back().find("copyWindows") != std::string::npos) {
                if (!transferCount) return {.started = true, .exitStatus = 1, .standardOutput = ""};
                return {.started = true, .exitStatus = 0, .standardOutput = *transferCount + "\n"};
            }
            log += "quit; ";
            quitAt = now;
            if (onQuit) onQuit();
            return {.started = true, .exitStatus = 0, .standardOutput = ""};
        }
        log += path + " " + args.back() + "; ";
        if (args.back() == "Finder") {  // open -a Finder, or killall Finder
            running = args.front() == "-a";
            quitAt.reset();
        }
        return {.started = true, .exitStatus = 0, .standardOutput = ""};
    }
    FinderHost host() {
        return {.session = platform::FinderSession::mac(
                    [this](const std::string& path, const std::vector<std::string>& args) {
                        return run(path, args);
                    }),
                .runningBundleIdentifiers =
                    [this] {
                        std::vector<std::string> ids{"com.apple.Finder", "com.apple.finder.helper"};
                        if (isRunning()) ids.push_back("com.apple.finder");
                        return ids;
                    },
                .sleep =
                    [this](double seconds) {
                        log += "sleep " + std::to_string(seconds).substr(0, 4) + "; ";
                        now += seconds;
                    },
                .monotonicSeconds = [this] { return now; },
                .synchronizePreferences =
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
