#include "core/platform/TerminationSignals.h"

#include <pthread.h>
#include <signal.h>

#include "core/platform/PosixError.h"

namespace lumifold::platform {
namespace {

sigset_t terminationSignals() {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGTERM);
    ::sigaddset(&set, SIGINT);
    // A terminal closed under the program, or a service manager's reload: the same orderly end.
    ::sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void holdTerminationSignals() {
    const sigset_t set = terminationSignals();
    if (const int error = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
        throw posixError(error, "block the termination signals of", "this process");
    }
}

int waitForTerminationSignal() {
    const sigset_t set = terminationSignals();
    int signal = 0;
    // sigwait fails only for a set holding no valid signal.
    while (::sigwait(&set, &signal) != 0) {
    }
    return signal;
}

}  // namespace lumifold::platform
