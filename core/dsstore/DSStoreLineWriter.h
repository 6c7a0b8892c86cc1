#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "core/common/Bytes.h"
#include "core/dsstore/DSStoreReader.h"

namespace lumifold {

// Members a caller adds to a record's line, each written as `,"key":value` onto `line`.
using ExtraLineMembers = std::function<void(std::string& line, const DSStoreRecordView& record)>;

// Every record of the store `image` as its line, byte for byte entryJsonLine of the record
// DSStoreReader::parse decodes, each ended by "\n", written straight from the stored bytes (no
// record list, no JSON value per record) and handed to `sink` in pieces of about 64 KiB.
// Throws as parse does, before any text reaches the sink; the counts are parse's.
DSStoreWalkResult writeStoreLines(ByteView image, const std::function<void(std::string_view)>& sink,
                                  const ExtraLineMembers& extra = {});

}  // namespace lumifold
