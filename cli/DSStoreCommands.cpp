#include "cli/DSStoreCommands.h"

#include <chrono>
#include <cmath>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/common/Base64.h"
#include "core/common/Error.h"
#include "core/common/Iso8601.h"
#include "core/dsstore/DSStoreEntryJson.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PropertyList.h"
#include "core/platform/PropertyListJson.h"

namespace lumifold::cli {
namespace {

struct DumpOptions {
    std::string file;
    bool decode = false;
};

struct WriteOptions {
    std::string file;
};

int runDump(const DumpOptions& options) {
    const DSStoreReader reader;
    const Bytes bytes = platform::readFile(absolutePath(options.file));
    for (const auto& entry : reader.parseEntries(bytes)) {
        auto line = entryToJsonLine(entry);
        if (options.decode && entry.value.kind() == DSStoreValue::Kind::data) {
            try {
                line["plist"] =
                    platform::plistToJson(platform::parsePropertyList(entry.value.asData()));
            } catch (const Error&) {
                // Not a property list (icon positions, for example): the bytes say it all.
            }
        }
        std::cout << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << '\n';
    }
    return kExitSuccess;
}

// Every line is checked before the store is written, so bad input touches nothing.
std::vector<DSStoreEntry> readEntryLines(std::istream& input) {
    std::vector<DSStoreEntry> entries;
    std::string text;
    for (int number = 1; std::getline(input, text); ++number) {
        if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
        try {
            entries.push_back(entryFromJsonLine(nlohmann::json::parse(text)));
        } catch (const nlohmann::json::exception& error) {
            throw std::runtime_error("line " + std::to_string(number) + ": not valid JSON (" +
                                     error.what() + ")");
        } catch (const std::invalid_argument& error) {
            throw std::runtime_error("line " + std::to_string(number) + ": " + error.what());
        }
    }
    return entries;
}

int runWrite(const WriteOptions& options) {
    const auto entries = readEntryLines(std::cin);
    const DSStoreWriter writer;
    writer.write(entries, absolutePath(options.file));
    return kExitSuccess;
}

}  // namespace

void addDSStoreCommands(CLI::App& app, Action& action) {
    auto* group = app.add_subcommand("dsstore", "Read and write .DS_Store record stores");
    group->require_subcommand(1);

    auto dump = std::make_shared<DumpOptions>();
    auto* dumpCommand =
        group->add_subcommand("dump", "Print every record as one JSON object per line");
    dumpCommand->add_option("FILE", dump->file, "The .DS_Store file")->required();
    dumpCommand->add_flag("--decode", dump->decode,
                          "Also show blobs that hold a property list as JSON (key \"plist\")");
    dumpCommand->callback([&action, dump] { action = [dump] { return runDump(*dump); }; });

    auto write = std::make_shared<WriteOptions>();
    auto* writeCommand = group->add_subcommand(
        "write", "Write a store from JSON lines on standard input (as dump prints them)");
    writeCommand->add_option("FILE", write->file, "The .DS_Store file to create or replace")
        ->required();
    writeCommand->callback([&action, write] { action = [write] { return runWrite(*write); }; });
}

}  // namespace lumifold::cli
