#pragma once

#include <chrono>

namespace lumifold::platform {

// Seconds on a clock that never goes back (not wall time); only differences mean anything.
double monotonicSeconds();

// The current time (UTC; system_clock counts from the Unix epoch).
std::chrono::system_clock::time_point currentTime();

// Blocks the calling thread for `seconds`; zero, negative or NaN return at once.
void sleepSeconds(double seconds);

}  // namespace lumifold::platform
