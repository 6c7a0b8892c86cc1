#pragma once

namespace lumifold::platform {

// For a long-running program that must finish its work before it ends: SIGTERM, SIGINT and SIGHUP
// no longer end the process but wait for waitForTerminationSignal(). Call before any thread starts,
// since threads inherit the blocked set. Throws Error "POSIX".
void holdTerminationSignals();

// Blocks the calling thread until SIGTERM, SIGINT or SIGHUP arrives; returns its number. Costs
// nothing while it waits.
int waitForTerminationSignal();

}  // namespace lumifold::platform
