#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/common/Bytes.h"
#include "core/dsstore/DSStoreEntry.h"
#include "core/preferences/SettingChange.h"

namespace lumifold {

// What Apply is to do to one .DS_Store file: the complete list of records the file holds
// afterwards, and the changes that make it differ from today's file. Never serialised.
struct DSStoreReconciliationPlan {
    std::string dsStorePath;                  // the file, as reached from the folder list
    Bytes originalBytes;                      // the file as read for planning
    bool existed = true;                      // false: Apply creates it
    std::string targetLabel;                  // "<name of the holding folder>/.DS_Store"
    std::vector<SettingChange> localChanges;  // in the order the file's records were met
    std::vector<DSStoreEntry> newEntries;     // preserved records in file order, then fresh ones
    std::map<std::string, std::int64_t> preservedSummary;  // record code -> records kept

    friend bool operator==(const DSStoreReconciliationPlan&,
                           const DSStoreReconciliationPlan&) = default;
};

// The planner's result: the plans in store-path order, and the stores it would not plan.
struct ReconciliationPlanning {
    std::vector<DSStoreReconciliationPlan> plans;
    // Stores that cannot be read or that the reader rejects, each as "Could not read
    // "<path>": <reason>". They get no plan and stay as they are; the others go ahead.
    std::vector<std::string> unreadableStores;
    // Stores holding records the reader could not decode. Rewriting one from its decodable
    // records would lose the rest, so it gets no plan whatever it holds and stays as it is.
    std::vector<std::string> undecodableStores;
    // Stores whose path is not well-formed UTF-8 (Linux allows any bytes in names). Their
    // changes could not be named in text, so they get no plan. Given in display form: each
    // byte that is not part of well-formed UTF-8 is shown as U+FFFD.
    std::vector<std::string> unnamableStores;
    // Stores that are symbolic links: a rewrite would replace the link, and a restore never
    // writes through one, so they are left as they are.
    std::vector<std::string> linkedStores;
};

// What a plan covers besides its folders' own stores.
struct PlanScope {
    // Folders whose record in their parent's store alone is planned (the children of a folder
    // whose store changed), not their own store.
    std::vector<std::string> recordsOnly;
    // With `foldersOnly` no global default stands behind a folder: each folder's own store must
    // say the layout itself ("." records are added, and a missing store is planned as a new
    // one), and a parent's store is planned only when the parent lies in a planned folder or in
    // one of `chosen` (the folders the user gave, when only some folders below them are planned).
    bool foldersOnly = false;
    std::vector<std::string> chosen;
};

}  // namespace lumifold
