#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace lumifold {

// The drift verdict for one snapshotted file: its live checksum against the one the snapshot
// expects it to have.
struct RestoreEvaluationItem {
    std::string originalPath;
    std::string backupPath;
    bool isModifiedSinceBackup = false;
    std::string currentSHA256;  // kMissingChecksum when there is no live file
    std::string expectedSHA256;
    std::string statusDescription;  // one of the kStatus... texts

    friend bool operator==(const RestoreEvaluationItem&, const RestoreEvaluationItem&) = default;
};

inline constexpr const char* kMissingChecksum = "missing";
inline constexpr const char* kStatusSafeToRestore = "Safe to restore";
inline constexpr const char* kStatusContentChanged = "Modified since apply (content changed)";
inline constexpr const char* kStatusDriftDetected = "Modified since apply (drift detected)";
inline constexpr const char* kStatusWillBeRecreated = "File absent, will be recreated";
// The live file already holds the snapshot's copy (Apply never wrote it, or a restore did).
inline constexpr const char* kStatusAlreadyRestored = "Already restored";

// The six field names as keys; all required on reading (nlohmann::json::out_of_range or
// type_error otherwise).
void to_json(nlohmann::json& json, const RestoreEvaluationItem& item);
void from_json(const nlohmann::json& json, RestoreEvaluationItem& item);

}  // namespace lumifold
