#include "cli/LayoutCommands.h"

#include <iostream>

#include "cli/EngineCommandSupport.h"
#include "core/common/Numbers.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"

namespace lumifold::cli {
namespace {

struct ShowOptions {
    std::optional<std::string> folder;
};

struct CheckOptions {
    std::optional<std::string> file;
};

void printLines(const std::vector<LayoutLine>& lines, bool onlyRule) {
    for (const LayoutLine& line : lines) {
        if (onlyRule && !line.origin.starts_with("rule ")) continue;
        std::cout << line.key << " = " << line.value << "  # " << line.origin << '\n';
    }
}

std::string whence(const Layout& layout, const std::string& path) {
    return layout.file()
               ? "# The layout file " + platform::printable(path)
               : "# No layout file at " + platform::printable(path) + ": the built-in layout";
}

int runShow(const GlobalOptions& global, const ShowOptions& options) {
    const auto engine = makeEngine(global);
    const Layout layout = engine->layout();
    std::cout << whence(layout, engine->layoutPath()) << '\n';
    if (options.folder) {
        const std::string folder = distinctFolders({*options.folder}).front();
        const auto rule = layout.ruleFor(folder, platform::resolveSymbolicLinks(folder));
        std::cout << "# " << platform::printable(folder) << ": ";
        if (rule) {
            const FolderRule& given = layout.file()->rules[*rule];
            std::cout << "rule " << *rule + 1 << " (path \"" << given.path << "\", line "
                      << given.line << ")\n";
        } else {
            std::cout << "no rule matches; the top level\n";
        }
        printLines(layout.describe(rule), false);
        return kExitSuccess;
    }
    printLines(layout.describe(), false);
    const auto rules = layout.file() ? layout.file()->rules.size() : 0;
    for (std::size_t i = 0; i < rules; ++i) {
        const FolderRule& rule = layout.file()->rules[i];
        std::cout << "\n[[folder]]  # rule " << i + 1 << ", line " << rule.line << "\npath = \""
                  << rule.path << "\"\n";
        printLines(layout.describe(i), true);
    }
    return kExitSuccess;
}

int runCheck(const GlobalOptions& global, const CheckOptions& options) {
    std::string path;
    if (options.file) {
        path = absolutePath(*options.file);
    } else {
        path = makeEngine(global)->layoutPath();
    }
    const auto file = LayoutFile::read(path);
    if (!file) {
        // A file named on purpose that is not there is a mistake; no default file is none.
        if (options.file)
            throw std::runtime_error("There is no layout file \"" + platform::printable(path) +
                                     "\"");
        std::cout << "No layout file at " << platform::printable(path)
                  << ": every stage uses the built-in layout\n";
        return kExitSuccess;
    }
    std::cout << platform::printable(path) << ": usable, "
              << counted(file->rules.size(), "folder rule") << '\n';
    return kExitSuccess;
}

}  // namespace

void addLayoutCommands(CLI::App& app, const GlobalOptions& global, Action& action) {
    auto* group = app.add_subcommand(
        "layout", "The layout every stage works to (layout.toml, or --layout FILE)");
    group->require_subcommand(1);

    auto show = std::make_shared<ShowOptions>();
    auto* showCommand = group->add_subcommand(
        "show", "Print the effective layout as TOML, each key saying where it came from");
    showCommand
        ->add_option("--folder", show->folder, "Only this folder's target, and the rule giving it")
        ->option_text("DIR");
    showCommand->callback(
        [&global, &action, show] { action = [&global, show] { return runShow(global, *show); }; });

    auto check = std::make_shared<CheckOptions>();
    auto* checkCommand = group->add_subcommand(
        "check",
        "Check a layout file (default: the one every stage reads); exit status 1 "
        "listing every problem");
    checkCommand->add_option("FILE", check->file, "The layout file to check")->option_text("FILE");
    checkCommand->callback([&global, &action, check] {
        action = [&global, check] { return runCheck(global, *check); };
    });
}

}  // namespace lumifold::cli
