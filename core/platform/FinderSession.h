#pragma once

#include <functional>
#include <string>

#include "core/platform/Process.h"

namespace lumifold::platform {

// The steps taken on the user's running Finder, as this system carries them out. Each is best
// effort: a command that cannot start, or fails, is not reported (whether the Finder went is
// seen in the running applications). The other steps return whether this system has them at all:
// where no Finder runs, each is a no-op returning false, so that nothing waits for it to settle.
struct FinderSession {
    // True when the Finder shows a copy, move, preparation or deletion progress window; false
    // when it shows none or cannot be asked.
    std::function<bool()> hasActiveTransfers;
    // Asks the Finder to quit, as its own Quit command does.
    std::function<bool()> requestQuit;
    // Ends the Finder without asking.
    std::function<bool()> forceQuit;
    // Restarts the daemon that caches every application's preferences, so that it reads them
    // from the files again.
    std::function<bool()> restartPreferencesDaemon;
    std::function<bool()> launch;

    // A Mac's Finder: AppleScript through /usr/bin/osascript, /usr/bin/killall and
    // /usr/bin/open, each run through `run`.
    static FinderSession mac(ProcessRunner run);
    // This system's: the Mac's with runProcess where the Finder runs; on Linux none runs, and
    // every step is a no-op.
    static FinderSession system();
};

}  // namespace lumifold::platform
