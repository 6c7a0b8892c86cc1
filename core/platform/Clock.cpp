#include "core/platform/Clock.h"

#include <thread>

namespace lumifold::platform {

double monotonicSeconds() {
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceStart).count();
}

std::chrono::system_clock::time_point currentTime() { return std::chrono::system_clock::now(); }

void sleepSeconds(double seconds) {
    if (!(seconds > 0)) return;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace lumifold::platform
