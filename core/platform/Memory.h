#pragma once

namespace lumifold::platform {

// Hands memory the process freed back to the system, so a long-running process returns near
// its size at rest after a large piece of work. Best effort, never throws.
void releaseFreeMemory() noexcept;

}  // namespace lumifold::platform
