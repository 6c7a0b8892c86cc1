#include "cli/DSStoreCommands.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/Base64.h"
#include "core/common/Error.h"
#include "core/common/Iso8601.h"
#include "core/dsstore/DSStoreEntryJson.h"
#include "core/dsstore/DSStoreLineWriter.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/plist/PropertyList.h"
#include "core/plist/PropertyListJson.h"

namespace lumifold::cli {
namespace {

struct DumpOptions {
    std::string file;
    bool decode = false;
};

struct WriteOptions {
    std::string file;
};

// Standard input is read in blocks of this many bytes.
constexpr std::size_t kInputBlock = 1 << 16;

// "1 record", "2 records".
std::string records(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " record" : " records");
}

// Prints every record that was read; when the reader had to pass over records or alter their
// text, says so on standard error and returns kExitNotCompliant, since writing these lines
// back would lose them.
int runDump(const DumpOptions& options) {
    const std::string path = absolutePath(options.file);
    const Bytes image = platform::readFile(path);
    // Blobs that hold a property list also as JSON; other blobs (icon positions) say it all.
    const ExtraLineMembers plist = [](std::string& line, const DSStoreRecordView& record) {
        if (record.kind != DSStoreValue::Kind::data) return;
        try {
            const auto json = platform::plistToJson(platform::parsePropertyList(record.payload));
            line += ",\"plist\":";
            line += json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        } catch (const Error&) {
        }
    };
    DSStoreWalkResult result;
    try {
        // Straight from the stored bytes to the lines: a record list and a tree per line cost
        // more than reading the store.
        result = writeStoreLines(
            image,
            [](std::string_view text) {
                std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
            },
            options.decode ? plist : ExtraLineMembers());
    } catch (const Error& error) {
        // The system's errors name the file already; the reader's say only what is wrong.
        if (error.domain() != DSStoreReader::kDomain) throw;
        throw std::runtime_error("\"" + platform::printable(path) +
                                 "\" is not a readable .DS_Store store: " + error.message());
    }
    std::cout.flush();
    if (result.skippedRecords == 0 && result.alteredRecords == 0) return kExitSuccess;
    std::cerr << "lumifold: " << platform::printable(path) << ": " << records(result.skippedRecords)
              << " could not be decoded and " << records(result.alteredRecords)
              << (result.alteredRecords == 1 ? " was" : " were")
              << " read with altered text; writing these lines back would lose them\n";
    return kExitNotCompliant;
}

// A library's message may quote the input: bytes outside printable ASCII are shown as \xNN,
// so no input reaches the terminal as control bytes.
std::string printable(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
        }
    }
    return out;
}

// Each line of standard input as it comes, with its number, through one buffer that holds the
// longest line: the input never sits in memory whole (every fresh page it took cost a fault).
// A line past kLongestLine is refused: no record's line comes near it, and a stream without
// line breaks (/dev/zero) would otherwise fill the memory.
template <typename EachLine>
void forEachInputLine(EachLine&& each) {
    constexpr std::size_t kLongestLine = std::size_t{1} << 20;
    std::string buffer(kInputBlock, '\0');
    std::size_t held = 0;  // the start of a line not yet ended
    std::size_t number = 1;
    for (;;) {
        if (held == buffer.size()) {
            if (held >= kLongestLine) {
                throw std::runtime_error("line " + std::to_string(number) +
                                         ": longer than 1 MiB, which no record's line is");
            }
            buffer.resize(2 * buffer.size());
        }
        const std::size_t read = platform::readStandardInput(std::span(buffer).subspan(held));
        if (read == 0) break;
        const std::string_view text(buffer.data(), held + read);
        std::size_t start = 0;
        for (auto end = text.find('\n'); end != std::string_view::npos;
             end = text.find('\n', start)) {
            each(text.substr(start, end - start), number++);
            start = end + 1;
        }
        held = text.size() - start;
        std::memmove(buffer.data(), buffer.data() + start, held);
    }
    if (held > 0) each(std::string_view(buffer.data(), held), number);
}

// Every line is checked before the store is written, so bad input touches nothing.
std::vector<DSStoreEntry> readStandardInputEntries() {
    std::vector<DSStoreEntry> entries;
    // Sized once where the input's size is known (no line a record reads from is shorter;
    // growing moved every record already read), within what a sane input needs.
    constexpr std::size_t kShortestRecordLine = 48, kMostReserved = std::size_t{1} << 22;
    if (const auto size = platform::standardInputSize()) {
        entries.reserve(static_cast<std::size_t>(
            std::min<std::uint64_t>(*size / kShortestRecordLine + 1, kMostReserved)));
    }
    forEachInputLine([&](std::string_view line, std::size_t number) {
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) return;
        // Lines as dump prints them are read directly; a tree per line cost three times the
        // dump. Anything else, and every bad line, goes through the tree for its message.
        if (auto entry = entryFromDumpedLine(line)) {
            entries.push_back(std::move(*entry));
            return;
        }
        try {
            entries.push_back(entryFromJsonLine(nlohmann::json::parse(line)));
        } catch (const nlohmann::json::parse_error& error) {
            // The parser's own text is for programmers: where it stopped says enough.
            throw std::runtime_error("line " + std::to_string(number) +
                                     ": not valid JSON (column " + std::to_string(error.byte) +
                                     ")");
        } catch (const std::invalid_argument& error) {
            throw std::runtime_error("line " + std::to_string(number) + ": " +
                                     printable(error.what()));
        }
    });
    return entries;
}

int runWrite(const WriteOptions& options) {
    const auto entries = readStandardInputEntries();
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
    dumpCommand->add_option("FILE", dump->file, "The .DS_Store file")
        ->option_text("FILE")
        ->required();
    dumpCommand->add_flag("--decode", dump->decode,
                          "Also show blobs that hold a property list as JSON (key \"plist\")");
    dumpCommand->callback([&action, dump] { action = [dump] { return runDump(*dump); }; });

    auto write = std::make_shared<WriteOptions>();
    auto* writeCommand = group->add_subcommand(
        "write", "Write a store from JSON lines on standard input (as dump prints them)");
    writeCommand->add_option("FILE", write->file, "The .DS_Store file to create or replace")
        ->option_text("FILE")
        ->required();
    writeCommand->callback([&action, write] { action = [write] { return runWrite(*write); }; });
}

}  // namespace lumifold::cli
