#include "core/platform/Memory.h"

#include <malloc.h>

namespace lumifold::platform {

void releaseFreeMemory() noexcept {
#if defined(__GLIBC__)
    // The C library keeps freed heap pages for reuse; a million-file Apply leaves hundreds of
    // megabytes of them.
    (void)::malloc_trim(0);
#endif
}

}  // namespace lumifold::platform
