#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/dsstore/DSStoreEntry.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/PropertyList.h"
#include "tests/support/TempHome.h"

namespace lumifold::testing {

// Vocabulary shared by the scanner and planner tests: folders in a temporary home and real
// stores written by the store writer.
class InspectionFixture {
  protected:
    // Writes a .DS_Store holding `entries` into the folder `relative` (created) of the home.
    std::string writeStore(const std::string& relative, const std::vector<DSStoreEntry>& entries) {
        return home.writeFile(relative + "/.DS_Store", writer.encode(entries));
    }

    std::string folder(const std::string& relative) const { return home.makeFolder(relative); }

    std::string link(const std::string& relative, const std::string& to) const {
        const std::string path = home / relative;
        if (::symlink(to.c_str(), path.c_str()) != 0) throw std::runtime_error("symlink failed");
        return path;
    }

    std::string file(const std::string& relative) const { return home.writeFile(relative, "x"); }

    static DSStoreEntry viewStyle(std::string filename, std::string code) {
        return {std::move(filename), "vstl", kTypeType, DSStoreValue::fourCC(std::move(code))};
    }

    static DSStoreEntry iconView(std::string filename, platform::PlistDictionary options) {
        return {std::move(filename), "icvp", kTypeBlob,
                DSStoreValue::data(platform::toBinaryPropertyList(
                    platform::PlistValue::dictionary(std::move(options))))};
    }

    static DSStoreEntry blob(std::string filename, std::string code, std::size_t size = 4) {
        return {std::move(filename), std::move(code), kTypeBlob,
                DSStoreValue::data(Bytes(size, std::byte{0x5A}))};
    }

    // Hides the file's extension; false when this file system keeps no extended attributes.
    static bool hideExtension(const std::string& path) {
        try {
            platform::setHasHiddenExtension(path, true);
            return platform::hasHiddenExtension(path) == std::optional<bool>(true);
        } catch (const Error&) {
            return false;
        }
    }

    TempHome home;
    DSStoreWriter writer;
};

}  // namespace lumifold::testing
