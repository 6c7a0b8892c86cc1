#include "cli/CliSupport.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <iostream>
#include <new>
#include <sstream>

#include "core/common/Error.h"

namespace lumifold::cli {

namespace {

// Help lines never pass this column, so they fit a standard terminal.
constexpr std::size_t kHelpWidth = 80;
// Where descriptions start: room for "--keep-snapshots N" and the indent.
constexpr std::size_t kHelpColumn = 24;

// The words after the program's name that lead to `command`, each followed by a space
// ("dsstore dump "; "" for the program itself).
std::string commandWords(const CLI::App& command) {
    std::string words;
    for (const CLI::App* at = &command; at->get_parent(); at = at->get_parent()) {
        words = at->get_name() + " " + words;
    }
    return words;
}

// `text` broken between words into lines of at most `width`, each after `indent` spaces but the
// first; a line break in `text` stays one.
std::string wrapped(const std::string& text, std::size_t width, std::size_t indent) {
    std::string out;
    std::size_t lineLength = 0;
    std::istringstream paragraphs(text);
    bool firstParagraph = true;
    for (std::string paragraph; std::getline(paragraphs, paragraph);) {
        if (!firstParagraph) out += '\n' + std::string(indent, ' ');
        firstParagraph = false;
        lineLength = 0;
        std::istringstream words(paragraph);
        for (std::string word; words >> word;) {
            if (lineLength > 0 && lineLength + 1 + word.size() > width) {
                out += '\n' + std::string(indent, ' ');
                lineLength = 0;
            } else if (lineLength > 0) {
                out += ' ';
                ++lineLength;
            }
            out += word;
            lineLength += word.size();
        }
    }
    return out;
}

// "  NAME    description", the description wrapped in its column (below the name when the name
// reaches into it).
std::string helpEntry(const std::string& name, const std::string& description) {
    std::string out = "  " + name;
    if (!description.empty()) {
        if (out.size() + 2 > kHelpColumn) {
            out += '\n' + std::string(kHelpColumn, ' ');
        } else {
            out.resize(kHelpColumn, ' ');
        }
        out += wrapped(description, kHelpWidth - kHelpColumn, kHelpColumn);
    }
    return out + '\n';
}

class HelpFormatter final : public CLI::Formatter {
  public:
    HelpFormatter() {
        label("SUBCOMMAND", "COMMAND");
        label("Positionals", "Arguments");
    }

    std::string make_option(const CLI::Option* option, bool isPositional) const override {
        return helpEntry(make_option_name(option, isPositional) +
                             (isPositional ? std::string() : make_option_opts(option)),
                         make_option_desc(option));
    }
    // Only the value's name: what an option needs or excludes its description says in words.
    std::string make_option_opts(const CLI::Option* option) const override {
        if (option->get_type_size() == 0) return {};
        return " " + option->get_option_text();
    }
    std::string make_subcommand(const CLI::App* command) const override {
        return helpEntry(command->get_display_name(), command->get_description());
    }
    std::string make_description(const CLI::App* app) const override {
        const std::string& text = app->get_description();
        return text.empty() ? std::string() : wrapped(text, kHelpWidth, 0) + '\n';
    }
};

// Says that `word` names no command of `group`, listing those it has.
int unknownCommand(const CLI::App& group, const std::string& word) {
    std::cerr << "lumifold: unknown command '" << commandWords(group) << word << "'\n"
              << helpFormatter()->make_subcommands(&group, CLI::AppFormatMode::Normal);
    return kExitUsage;
}

// `lumifold help WORDS...`: the help of the command the words name, as its --help prints it.
int printHelpOf(const CLI::App& app, const std::vector<std::string>& words) {
    const CLI::App* command = &app;
    for (const auto& word : words) {
        const auto found = command->get_subcommands(
            [&](const CLI::App* each) { return each->get_name() == word; });
        if (found.empty()) return unknownCommand(*command, word);
        command = found.front();
    }
    if (command == &app) {
        std::cout << app.help();
        return kExitSuccess;
    }
    std::string above = "lumifold " + commandWords(*command->get_parent());  // "lumifold dsstore "
    above.pop_back();
    std::cout << command->help(above);
    return kExitSuccess;
}

// The option `name` ("--home") of `command` or of the commands above it.
const CLI::Option* optionNamed(const CLI::App& command, const std::string& name) {
    for (const CLI::App* at = &command; at != nullptr; at = at->get_parent()) {
        if (const CLI::Option* option = at->get_option_no_throw(name)) return option;
    }
    return nullptr;
}

// What `error` says, in our words: the parser's own texts are written for programmers.
std::string usageMessage(const CLI::ParseError& error, const CLI::App& app,
                         const CLI::App& chosen) {
    const std::string text = error.what();
    const std::string name = text.substr(0, text.find(':'));
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        const CLI::Option* option = optionNamed(chosen, name);
        if (option != nullptr && option->get_type_size() == 0) return name + " takes no value";
        return name + " needs a value" +
               (option != nullptr ? ": " + option->get_option_text() : std::string());
    }
    if (dynamic_cast<const CLI::ConversionError*>(&error) != nullptr) {
        return name + (text.find("for a flag") != std::string::npos ? " takes no value"
                                                                    : ": the value cannot be read");
    }
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        const auto extras = app.remaining(true);
        const std::string first = extras.empty() ? std::string() : extras.front();
        return (first.starts_with('-') ? "unknown option '" : "unexpected argument '") + first +
               "'";
    }
    if (dynamic_cast<const CLI::RequiresError*>(&error) != nullptr) {
        const auto verb = text.find(" requires ");
        if (verb != std::string::npos) {
            return text.substr(0, verb) + " only works with " + text.substr(verb + 10);
        }
    }
    if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr &&
        text.ends_with(" is required")) {
        return "missing " + text.substr(0, text.size() - 12);
    }
    // A validator's: "--depth: " and our own words.
    return text;
}

}  // namespace

std::shared_ptr<CLI::Formatter> helpFormatter() { return std::make_shared<HelpFormatter>(); }

CLI::Validator wholeNumber(unsigned least) {
    const std::string refusal = "must be a whole number, " + std::to_string(least) + " or more";
    return CLI::Validator(
        [least, refusal](const std::string& text) {
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
                return refusal;
            }
            std::size_t value = 0;
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), value);
            if (error == std::errc::result_out_of_range) return std::string("is too large");
            return value < least ? refusal : std::string();
        },
        "");
}

void addHelpCommand(CLI::App& app, Action& action) {
    auto* help = app.add_subcommand("help", "Show a command's help, as COMMAND --help does");
    auto words = std::make_shared<std::vector<std::string>>();
    help->add_option("COMMAND", *words,
                     "The command, after its group's name if it has one (dsstore dump)")
        ->option_text("COMMAND...");
    help->callback(
        [&app, &action, words] { action = [&app, words] { return printHelpOf(app, *words); }; });
}

std::optional<int> parseCommandLine(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::Success& done) {  // --help, --version
        return app.exit(done);
    } catch (const CLI::ParseError& error) {
        const CLI::App* chosen = &app;
        while (!chosen->get_subcommands().empty()) chosen = chosen->get_subcommands().front();
        const std::string words = commandWords(*chosen);
        std::string message = usageMessage(error, app, *chosen);
        if (chosen->get_require_subcommand_min() > 0 &&
            dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
            // The group's command is missing: any word left over was meant as one.
            const auto extras = app.remaining(true);
            const auto word = std::find_if(extras.begin(), extras.end(), [](const std::string& w) {
                return !w.starts_with('-');
            });
            if (word != extras.end()) return unknownCommand(*chosen, *word);
            if (extras.empty()) {
                std::cerr << app.help();
                return kExitUsage;
            }
            message = "unknown option '" + extras.front() + "'";
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
