#pragma once

#include <string>
#include <vector>

#include "core/common/Bytes.h"
#include "core/dsstore/DSStoreEntry.h"

namespace lumifold {

// Builds a complete .DS_Store image from records alone (nothing of an old file's layout is
// kept) and swaps it in for a file. Holds no state; calls may run on any thread.
class DSStoreWriter final {
  public:
    static constexpr const char* kDomain = "DSStoreWriter";
    enum ErrorCode : int {
        kInvalidCode = 1,
        kInvalidTypecode = 2,
        kInvalidFourCC = 3,
        kRecordTooLarge = 4,
        kInvalidText = 5,    // a name or string value that is not well-formed UTF-8
        kStoreTooLarge = 6,  // the image would not be addressable with 32-bit offsets
    };

    DSStoreWriter() = default;
    DSStoreWriter(const DSStoreWriter&) = delete;
    DSStoreWriter& operator=(const DSStoreWriter&) = delete;

    // The image for `entries` in any order (sorted stably here, duplicates kept). Throws Error
    // (domain kDomain) for the first faulty entry in sorted order, or kRecordTooLarge when no
    // B-tree layout exists (two neighbours each too big for an internal node); touches no file.
    Bytes encode(const std::vector<DSStoreEntry>& entries) const;

    // Encodes, writes the image to ".<name>.tmp.<UUID>" beside `path` and replaces `path` with
    // it. Encoding errors come before any file is touched; file errors (domain "POSIX") pass
    // through, and a failed replace removes the temporary file.
    void write(const std::vector<DSStoreEntry>& entries, const std::string& path) const;
};

}  // namespace lumifold
