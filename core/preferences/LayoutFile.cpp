// The layout file: TOML read through toml++, the only place that library is used.
#include "core/preferences/LayoutFile.h"

#include <toml++/toml.h>

#include <array>
#include <cmath>
#include <functional>
#include <span>

#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/Sha256.h"
#include "core/platform/UserServices.h"

namespace lumifold {
namespace {

// A word of the file and the value the Finder stores for it.
struct Word {
    std::string_view word;
    std::string_view value;
};

constexpr std::array<Word, 4> kViews{
    {{"icon", "icnv"}, {"list", "Nlsv"}, {"column", "clmv"}, {"gallery", "Flwv"}}};
constexpr std::array<Word, 10> kGroups{{{"none", "None"},
                                        {"name", "Name"},
                                        {"kind", "Kind"},
                                        {"application", "Application"},
                                        {"date-last-opened", "Date Last Opened"},
                                        {"date-added", "Date Added"},
                                        {"date-modified", "Date Modified"},
                                        {"date-created", "Date Created"},
                                        {"size", "Size"},
                                        {"tags", "Tags"}}};
constexpr std::array<Word, 9> kArrangements{{{"none", "none"},
                                             {"name", "name"},
                                             {"kind", "kind"},
                                             {"date-last-opened", "dateLastOpened"},
                                             {"date-added", "dateAdded"},
                                             {"date-modified", "dateModified"},
                                             {"date-created", "dateCreated"},
                                             {"size", "size"},
                                             {"tags", "label"}}};
constexpr std::array<Word, 2> kLabels{{{"bottom", "true"}, {"right", "false"}}};

std::span<const Word> wordsOf(std::string_view key) {
    if (key == "view") return kViews;
    if (key == "group-by") return kGroups;
    if (key == "arrange-by") return kArrangements;
    if (key == "labels") return kLabels;
    return {};
}

std::string wordList(std::span<const Word> words) {
    std::string text;
    for (const Word& word : words) text += (text.empty() ? "" : ", ") + std::string(word.word);
    return text;
}

// One key of a table: whether a rule may set it, and how its value is checked and kept.
// `take` returns what is wrong with the value, or "".
struct Key {
    std::string_view name;
    bool inRules;
    std::function<std::string(const toml::node&, LayoutSettings&)> take;
};

std::optional<double> numberOf(const toml::node& node) {
    if (const auto whole = node.value_exact<std::int64_t>()) return static_cast<double>(*whole);
    if (const auto real = node.value_exact<double>()) return *real;
    return std::nullopt;
}

Key wordKey(std::string_view name, std::optional<std::string> LayoutSettings::*field) {
    return {name, true, [name, field](const toml::node& node, LayoutSettings& settings) {
                const auto text = node.value_exact<std::string>();
                const auto value = text ? layoutFieldValue(name, *text) : std::nullopt;
                if (!value) return "expected one of " + wordList(wordsOf(name));
                settings.*field = *value;
                return std::string();
            }};
}

Key numberKey(std::string_view name, std::optional<double> LayoutSettings::*field, double least,
              double most, bool keepAllowed = false) {
    return {name, true, [=](const toml::node& node, LayoutSettings& settings) {
                if (keepAllowed && node.value_exact<std::string>() == "keep") return std::string();
                const auto number = numberOf(node);
                if (!number || !(*number >= least && *number <= most)) {
                    return "expected a number from " + std::to_string(static_cast<int>(least)) +
                           " to " + std::to_string(static_cast<int>(most)) +
                           (keepAllowed ? ", or \"keep\"" : "");
                }
                settings.*field = *number;
                return std::string();
            }};
}

Key booleanKey(std::string_view name, std::optional<bool> LayoutSettings::*field,
               bool inRules = true) {
    return {name, inRules, [field](const toml::node& node, LayoutSettings& settings) {
                const auto value = node.value_exact<bool>();
                if (!value) return std::string("expected true or false");
                settings.*field = *value;
                return std::string();
            }};
}

const std::vector<Key>& keys() {
    static const std::vector<Key> all = [] {
        std::vector<Key> keys{
            wordKey("view", &LayoutSettings::viewStyle),
            wordKey("group-by", &LayoutSettings::groupBy),
            wordKey("arrange-by", &LayoutSettings::sortBy),
            numberKey("icon-size", &LayoutSettings::iconSize, 16, 512),
            numberKey("grid-spacing", &LayoutSettings::gridSpacing, 1, 100, true),
            numberKey("text-size", &LayoutSettings::textSize, 10, 16),
            {"labels", true,
             [](const toml::node& node, LayoutSettings& settings) {
                 const auto text = node.value_exact<std::string>();
                 const auto value = text ? layoutFieldValue("labels", *text) : std::nullopt;
                 if (!value) return "expected one of " + wordList(kLabels);
                 settings.labelOnBottom = *value == "true";
                 return std::string();
             }},
            booleanKey("item-info", &LayoutSettings::showItemInfo),
            booleanKey("icon-preview", &LayoutSettings::showIconPreview),
            booleanKey("hide-extensions", &LayoutSettings::hideFileExtensions, false),
        };
        keys[1].inRules = false;  // the Finder keeps grouping only globally
        return keys;
    }();
    return all;
}

// Every problem of one file, each on its own line.
class Problems final {
  public:
    explicit Problems(std::string path) : m_path(std::move(path)) {}

    void add(std::size_t line, std::string_view key, const std::string& what) {
        m_text += (m_text.empty() ? "" : "\n") + platform::printable(m_path) + ":" +
                  std::to_string(line) + ": " + platform::printable(key) +
                  (key.empty() ? "" : ": ") + what;
    }
    void throwIfAny() const {
        if (!m_text.empty()) throw Error(LayoutFile::kDomain, LayoutFile::kInvalid, m_text);
    }

  private:
    std::string m_path;
    std::string m_text;
};

// The settings of `table`; `rule` for a [[folder]] table, whose path is read by the caller.
LayoutSettings settingsOf(const toml::table& table, bool rule, Problems& problems) {
    LayoutSettings settings;
    for (const auto& [name, node] : table) {
        const std::size_t line = name.source().begin.line;
        if (rule && name.str() == "path") continue;
        if (!rule && name.str() == "folder") continue;
        const Key* key = nullptr;
        for (const Key& each : keys()) {
            if (each.name == name.str()) key = &each;
        }
        if (key == nullptr) {
            problems.add(line, name.str(), "unknown key");
        } else if (rule && !key->inRules) {
            problems.add(line, name.str(),
                         "the Finder keeps it only globally; set it at the top level");
        } else if (const std::string wrong = key->take(node, settings); !wrong.empty()) {
            problems.add(line, name.str(), wrong);
        }
    }
    return settings;
}

// What is wrong with a rule's path, or "".
std::string pathProblem(std::string_view path) {
    if (!path.starts_with("/") && !path.starts_with("~/")) {
        return "expected a path beginning with / or ~/";
    }
    const std::size_t deep = path.find("**");
    if (deep != std::string_view::npos && (deep + 2 != path.size() || !path.ends_with("/**"))) {
        return "** may only end the path, as /**";
    }
    return "";
}

std::vector<FolderRule> rulesOf(const toml::node& node, std::size_t line, Problems& problems) {
    std::vector<FolderRule> rules;
    const toml::array* tables = node.as_array();
    if (tables == nullptr || !tables->is_array_of_tables()) {
        problems.add(line, "folder", "expected [[folder]] tables");
        return rules;
    }
    for (const toml::node& each : *tables) {
        const toml::table& table = *each.as_table();
        FolderRule rule;
        rule.line = table.source().begin.line;
        rule.settings = settingsOf(table, true, problems);
        const toml::node* path = table.get("path");
        const auto text = path ? path->value_exact<std::string>() : std::nullopt;
        if (!text) {
            problems.add(path ? path->source().begin.line : rule.line, "path",
                         path ? "expected a string" : "a [[folder]] rule needs a path");
        } else if (const std::string wrong = pathProblem(*text); !wrong.empty()) {
            problems.add(path->source().begin.line, "path", wrong);
        }
        rule.path = text.value_or("");
        rules.push_back(std::move(rule));
    }
    return rules;
}

}  // namespace

bool LayoutSettings::sets(std::string_view key) const {
    const std::array<bool, std::size(kLayoutKeys)> given{
        viewStyle.has_value(),         groupBy.has_value(),      sortBy.has_value(),
        iconSize.has_value(),          gridSpacing.has_value(),  textSize.has_value(),
        labelOnBottom.has_value(),     showItemInfo.has_value(), showIconPreview.has_value(),
        hideFileExtensions.has_value()};
    for (std::size_t i = 0; i < given.size(); ++i) {
        if (kLayoutKeys[i] == key) return given[i];
    }
    return false;
}

FinderLayoutPreferences LayoutSettings::over(FinderLayoutPreferences base) const {
    if (viewStyle) base.viewStyle = *viewStyle;
    if (groupBy) base.groupBy = *groupBy;
    if (sortBy) base.sortBy = *sortBy;
    if (iconSize) base.iconSize = *iconSize;
    if (gridSpacing) base.gridSpacing = *gridSpacing;
    if (textSize) base.textSize = *textSize;
    if (labelOnBottom) base.labelOnBottom = *labelOnBottom;
    if (showItemInfo) base.showItemInfo = *showItemInfo;
    if (showIconPreview) base.showIconPreview = *showIconPreview;
    if (hideFileExtensions) base.hideFileExtensions = *hideFileExtensions;
    return base;
}

std::optional<std::string> layoutFieldValue(std::string_view key, std::string_view word) {
    for (const Word& each : wordsOf(key)) {
        if (each.word == word) return std::string(each.value);
    }
    return std::nullopt;
}

std::optional<std::string> layoutWord(std::string_view key, std::string_view fieldValue) {
    for (const Word& each : wordsOf(key)) {
        if (each.value == fieldValue) return std::string(each.word);
    }
    return std::nullopt;
}

LayoutFile LayoutFile::parse(std::string_view text, const std::string& path) {
    Problems problems(path);
    toml::table document;
    try {
        document = toml::parse(text, std::string_view(path));
    } catch (const toml::parse_error& error) {
        problems.add(error.source().begin.line, "",
                     "not TOML: " + std::string(error.description()));
        problems.throwIfAny();
    }
    LayoutFile file;
    file.path = path;
    file.top = settingsOf(document, false, problems);
    if (const toml::node* rules = document.get("folder")) {
        file.rules = rulesOf(*rules, rules->source().begin.line, problems);
    }
    problems.throwIfAny();
    return file;
}

std::optional<LayoutFile> LayoutFile::read(const std::string& path) {
    // Only a path with nothing there is no file; anything else is read, and refused if it must.
    if (std::string problem; !platform::entryType(path, &problem) && problem.empty()) {
        return std::nullopt;
    }
    const Bytes bytes = platform::readFile(path, kReadLimit);
    LayoutFile file = parse(asText(bytes), path);
    file.sha256 = platform::sha256Hex(bytes);
    return file;
}

std::string LayoutFile::defaultPath(const std::string& home) {
    const auto xdg =
        platform::isAccountHome(home) ? platform::userConfigurationHome() : std::nullopt;
    return appending(xdg.value_or(appending(home, ".config")), "lumifold/layout.toml");
}

}  // namespace lumifold
