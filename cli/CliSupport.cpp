#include "cli/CliSupport.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <new>
#include <sstream>

#include "core/common/Error.h"

namespace lumifold::cli {

namespace {

// The words after the program's name that lead to `command`, each followed by a space
// ("dsstore dump "; "" for the program itself).
std::string commandWords(const CLI::App& command) {
    std::string words;
    for (const CLI::App* at = &command; at->get_parent(); at = at->get_parent()) {
        words = at->get_name() + " " + words;
    }
    return words;
}

}  // namespace

std::shared_ptr<CLI::Formatter> helpFormatter() {
    auto formatter = std::make_shared<CLI::Formatter>();
    formatter->label("SUBCOMMAND", "COMMAND");
    return formatter;
}

std::optional<int> parseCommandLine(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::Success& done) {  // --help, --help-all, --version
        return app.exit(done);
    } catch (const CLI::ParseError& error) {
        const CLI::App* chosen = &app;
        while (!chosen->get_subcommands().empty()) chosen = chosen->get_subcommands().front();
        const std::string words = commandWords(*chosen);
        std::string message = error.what();
        if (chosen->get_require_subcommand_min() > 0) {
            // The group's command is missing: any word left over was meant as one.
            const auto extras = app.remaining(true);
            const auto word = std::find_if(extras.begin(), extras.end(), [](const std::string& w) {
                return !w.starts_with('-');
            });
            if (word != extras.end()) {
                std::cerr << "lumifold: unknown command '" << words << *word << "'\n"
                          << helpFormatter()->make_subcommands(chosen, CLI::AppFormatMode::Normal);
                return kExitUsage;
            }
            if (extras.empty()) {
                std::cerr << app.help();
                return kExitUsage;
            }
            message = CLI::ExtrasError(extras).what();
        }
        std::cerr << "lumifold: " << message << "\nRun 'lumifold " << words
                  << "--help' for more information.\n";
        return kExitUsage;
    }
}

int runGuarded(const Action& action) {
    try {
        return action();
    } catch (const UsageError& error) {
        std::istringstream lines(error.what());
        for (std::string line; std::getline(lines, line);)
            std::cerr << "lumifold: " << line << '\n';
        return kExitUsage;
    } catch (const std::bad_alloc&) {
        std::cerr << "lumifold: not enough memory to finish; nothing more was changed\n";
        return kExitFailure;
    } catch (const std::exception& error) {
        // Every failure, ours or a library's, ends the command with one readable line.
        std::cerr << "lumifold: " << error.what() << '\n';
        return kExitFailure;
    }
}

std::string absolutePath(const std::string& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

}  // namespace lumifold::cli
