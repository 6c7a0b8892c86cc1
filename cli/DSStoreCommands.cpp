#include "cli/DSStoreCommands.h"

#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/dsstore/DSStoreEntryJson.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"

namespace lumifold::cli {
namespace {

struct DumpOptions {
    std::string file;
};

struct WriteOptions {
    std::string file;
};

int runDump(const DumpOptions& options) {
    const DSStoreReader reader;
    const Bytes bytes = platform::readFile(absolutePath(options.file));
    for (const auto& entry : reader.parseEntries(bytes)) {
        std::cout << entryToJsonLine(entry).dump() << '\n';
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
    dumpCommand->callback([&action, dump] { action = [dump] { return runDump(*dump); }; });

    auto write = std::make_shared<WriteOptions>();
    auto* writeCommand = group->add_subcommand(
        "write", "Write a store from JSON lines on standard input (as dump prints them)");
    writeCommand->add_option("FILE", write->file, "The .DS_Store file to create or replace")
        ->required();
    writeCommand->callback([&action, write] { action = [write] { return runWrite(*write); }; });
}

}  // namespace lumifold::cli
