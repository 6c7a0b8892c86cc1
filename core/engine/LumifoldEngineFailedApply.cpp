// What an Apply that fails after its snapshot does: an Apply that wrote nothing leaves no
// snapshot.
#include "core/engine/LumifoldEngine.h"
#include "core/engine/WriteTargets.h"

namespace lumifold {

void LumifoldEngine::failAfterSnapshot(std::exception_ptr failure, const WrittenSnapshot& snapshot,
                                       const AppliedWrites& written, bool finderQuit) {
    // Under the lock the snapshot is ours; without a write after it, it would only be the one
    // a later restore takes, and undo nothing.
    if (!written.any()) m_backupManager.removeSnapshot(snapshot.header.id);
    // Never leave the user without a Finder: start it again, then report the failure.
    if (finderQuit) restartFinderQuietly();
    std::rethrow_exception(failure);
}

}  // namespace lumifold
