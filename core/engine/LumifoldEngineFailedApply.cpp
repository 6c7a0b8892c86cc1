// What an Apply that fails after its snapshot does: it puts back what it wrote, from the bytes
// it snapshotted and only where a file still holds what it wrote, and the snapshot says what
// stayed changed; an Apply that wrote nothing leaves no snapshot.
#include <algorithm>

#include "core/common/Error.h"
#include "core/dsstore/DSStoreFormat.h"
#include "core/engine/ApplySupport.h"
#include "core/engine/LumifoldEngine.h"
#include "core/engine/WriteTargets.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PreferencesService.h"
#include "core/platform/Sha256.h"

namespace lumifold {
namespace {

using namespace apply_support;

constexpr const char* kChangedSince = "another program changed it since Apply wrote it";

std::string named(const std::string& path, const std::string& why) {
    return "\"" + platform::printable(path) + "\" (" + why + ")";
}

// Puts `original` back as the entry `name` of `folder` while that holds what Apply wrote there
// (`writtenSHA256`); without `original` Apply made the file, and it goes. What was there before
// Apply counts as put back. Why not, in words, when it holds anything else. Throws the
// platform's Error.
std::optional<std::string> putBackFile(const platform::OpenFolder& folder, const std::string& name,
                                       const std::string& writtenSHA256,
                                       const std::optional<ByteView>& original) {
    const auto type = platform::entryTypeIn(folder, name);
    if (!type) return original ? std::optional<std::string>(kChangedSince) : std::nullopt;
    if (*type != platform::EntryType::regular) return kChangedSince;
    const Bytes current = platform::readFileIn(folder, name);
    if (original && std::ranges::equal(current, *original)) return std::nullopt;
    if (platform::sha256Hex(current) != writtenSHA256) return kChangedSince;
    if (!original) {
        // Checked a moment ago: a writer within that moment would lose its file, as it would
        // to Restore removing a domain Apply made.
        platform::removeFileIn(folder, name);
        return std::nullopt;
    }
    platform::ReplaceOptions options;
    options.unlessChangedFrom = platform::PlannedContent{true, current};
    if (!platform::replaceFileIn(folder, name, *original, options)) return kChangedSince;
    return std::nullopt;
}

// The same for a preferences or domain file below `home`, reached as Apply wrote it.
std::optional<std::string> putBackPreferencesFile(const std::string& home, const std::string& path,
                                                  const std::string& writtenSHA256,
                                                  const std::optional<ByteView>& original) {
    const platform::FilePlace place = platform::placeFileUnder(home, path, true);
    return putBackFile(place.folder, place.name, writtenSHA256, original);
}

// The message of the exception `failure`.
std::string messageOf(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "an unexpected failure";
    }
}

// Runs `putBackOne` for `path`; false, with the file named in `left` and why, when it did not
// put the file back.
template <typename PutBackOne>
bool attempt(std::vector<std::string>& left, const std::string& path,
             const PutBackOne& putBackOne) {
    try {
        const std::optional<std::string> why = putBackOne();
        if (why) left.push_back(named(path, *why));
        return !why;
    } catch (const Error& error) {
        left.push_back(named(path, error.message()));
        return false;
    }
}

// Clears each extension flag `set` marks, unmarking those cleared.
void putBackFlags(const ChangePlan& plan, const WriteTargets& targets, std::vector<bool>& set,
                  std::vector<std::string>& left) {
    const FileList& files = plan.extensionFiles;
    std::vector<std::string> flagsLeft;
    std::string firstReason;
    forEachFolderRun(files, [&](std::size_t start, std::size_t end) {
        if (std::find(set.begin() + static_cast<std::ptrdiff_t>(start),
                      set.begin() + static_cast<std::ptrdiff_t>(end),
                      true) == set.begin() + static_cast<std::ptrdiff_t>(end)) {
            return;
        }
        std::string why;
        const auto folder = targets.folderOf(files.path(start), why);
        const auto store = extensionStore(plan, files.folder(start));
        for (std::size_t i = start; i < end; ++i) {
            if (!set[i]) continue;
            try {
                if (!folder) throw Error(platform::kPosixDomain, platform::kOutsideRoots, why);
                platform::setHasHiddenExtensionIn(*folder, std::string(files.name(i)), false,
                                                  store);
                set[i] = false;
            } catch (const Error& error) {
                if (flagsLeft.empty()) firstReason = error.message();
                flagsLeft.push_back(files.path(i));
            }
        }
    });
    if (!flagsLeft.empty()) {
        left.push_back("the extension flags of " + namedFiles(flagsLeft, firstReason));
    }
}

// Puts back each store of the plan that `stores` lists, keeping there those left.
void putBackStores(const ChangePlan& plan, const WriteTargets& targets,
                   const SnapshotRequest& request, std::vector<std::size_t>& stores,
                   std::vector<std::string>& left) {
    std::vector<std::size_t> storesLeft;
    for (auto i = stores.rbegin(); i != stores.rend(); ++i) {
        const DSStoreReconciliationPlan& store = plan.stores[*i].plan;
        const bool restored = attempt(left, store.dsStorePath, [&]() -> std::optional<std::string> {
            std::string why;
            const auto folder = targets.folderOf(store.dsStorePath, why);
            if (!folder) return why;
            return putBackFile(
                *folder, dsstore_format::kFileName, *request.dsStores[*i].plannedSHA256,
                store.existed ? std::optional<ByteView>(store.originalBytes) : std::nullopt);
        });
        if (!restored) storesLeft.push_back(*i);
    }
    stores.assign(storesLeft.rbegin(), storesLeft.rend());
}

// Puts back the domain file of each value `pushed` lists, keeping there those left.
void putBackPushes(const std::string& home, const ChangePlan& plan,
                   std::vector<PushedPreference>& pushed, std::vector<std::string>& left) {
    platform::PreferencesService preferences(home);
    std::vector<PushedPreference> pushesLeft;
    for (const PushedPreference& each : pushed) {
        const auto planned =
            std::find_if(plan.pushes.begin(), plan.pushes.end(), [&](const auto& p) {
                return p.record.domain == each.domain && p.record.key == each.key;
            });
        const std::string path = planned == plan.pushes.end() ? each.domain : planned->domainPath;
        const bool restored = attempt(left, path, [&]() -> std::optional<std::string> {
            const auto after =
                planned == plan.pushes.end()
                    ? std::nullopt
                    : BackupManager::checksumAfterPush(planned->record, planned->domainBytes);
            if (!after) return "what Apply pushed there cannot be told apart";
            const auto original = planned->domainBytes
                                      ? std::optional<ByteView>(*planned->domainBytes)
                                      : std::nullopt;
            return putBackPreferencesFile(home, path, *after, original);
        });
        if (restored) {
            preferences.synchronize(each.domain, platform::PreferencesService::User::current,
                                    platform::PreferencesService::Host::current);
        } else {
            pushesLeft.push_back(each);
        }
    }
    pushed = std::move(pushesLeft);
}

}  // namespace

void LumifoldEngine::putBack(const ChangePlan& plan, const WriteTargets& targets,
                             const SnapshotRequest& request, AppliedWrites& written,
                             std::vector<std::string>& left) const {
    // In the reverse order of writing: flags, stores, pushed values, the preferences file.
    putBackFlags(plan, targets, written.flags, left);
    putBackStores(plan, targets, request, written.stores, left);
    putBackPushes(m_home, plan, written.pushed, left);
    if (written.preferences) {
        const PreferencesFile& before = plan.preferences;
        written.preferences = !attempt(left, before.path, [&] {
            return putBackPreferencesFile(
                m_home, before.path, *request.finderPlistPlannedSHA256,
                before.exists ? std::optional<ByteView>(before.bytes) : std::nullopt);
        });
    }
}

void LumifoldEngine::failAfterSnapshot(std::exception_ptr failure, const ChangePlan& plan,
                                       const WriteTargets& targets, const SnapshotRequest& request,
                                       const WrittenSnapshot& snapshot, AppliedWrites& written) {
    std::string undone;
    const std::string& id = snapshot.header.id;
    if (!written.any()) {
        m_backupManager.removeSnapshot(id);
    } else {
        report("Apply", "Putting back what was written");
        std::vector<std::string> left;
        putBack(plan, targets, request, written, left);
        // The snapshot holds what stayed changed, and only that.
        ApplyOutcome stillWritten{.storesNotWritten = {},
                                  .preferencesNotWritten = !written.preferences,
                                  .pushed = written.pushed};
        for (std::size_t i = 0; i < plan.stores.size(); ++i) {
            if (std::find(written.stores.begin(), written.stores.end(), i) ==
                written.stores.end()) {
                stillWritten.storesNotWritten.push_back(plan.stores[i].plan.dsStorePath);
            }
        }
        const FileList& files = plan.extensionFiles;
        const ManifestLists lists{
            .appliedChanges = request.lists.appliedChanges,
            .fileExtensionBackups =
                [&](const auto& each) {
                    for (std::size_t i = 0; i < files.size(); ++i) {
                        if (written.flags[i]) {
                            each({files.path(i), false, extensionStore(plan, files.folder(i))});
                        }
                    }
                },
        };
        std::string marked;
        try {
            m_backupManager.recordFailedApply(snapshot, lists, stillWritten,
                                              FailedApply{messageOf(failure), left.empty()});
            marked = left.empty() ? " (snapshot " + id + " is kept, marked as failed)"
                                  : "; snapshot " + id + " holds what stayed changed";
        } catch (const std::exception& error) {
            marked = "; snapshot " + id + " could not be marked as failed: " + error.what();
        }
        std::string list;
        for (const std::string& each : left) list += (list.empty() ? "" : ", ") + each;
        undone = (left.empty() ? "; Apply put back everything it had changed"
                               : "; Apply put back what it had changed but " + list) +
                 marked;
    }
    if (undone.empty()) std::rethrow_exception(failure);
    try {
        std::rethrow_exception(failure);
    } catch (const Error& error) {
        throw Error(error.domain(), error.code(), error.message() + undone);
    } catch (const std::exception& error) {
        throw std::runtime_error(error.what() + undone);
    }
}

}  // namespace lumifold
