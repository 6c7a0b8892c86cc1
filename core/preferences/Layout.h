#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/preferences/FinderLayoutPreferences.h"
#include "core/preferences/LayoutFile.h"

namespace lumifold {

// One key of a target as `layout show` prints it: the value as TOML, and where it came from.
struct LayoutLine {
    std::string key;
    std::string value;
    std::string origin;
};

// The layout every stage works to: the top-level target (the global keys, and every folder no
// rule matches) and the folder rules, each rule's target its own settings over the top level.
// A plain value; the targets it hands out live as long as it does.
class Layout {
  public:
    // Only `top`, with no file and no rules.
    explicit Layout(FinderLayoutPreferences top);

    // `file` over the built-in preferred layout carrying `currentGridSpacing` (which a file's
    // grid-spacing "keep" also means); the built-in layout alone without a file. "~/" in a
    // rule's path is `home`.
    static Layout resolve(const std::optional<LayoutFile>& file, double currentGridSpacing,
                          const std::string& home);

    const FinderLayoutPreferences& top() const { return m_top; }
    const std::optional<LayoutFile>& file() const { return m_file; }
    bool hasRules() const { return !m_rules.empty(); }

    // The index of the first rule whose path matches `folder` (absolute, no trailing slash) or
    // its resolved form; nullopt when none does.
    std::optional<std::size_t> ruleFor(std::string_view folder,
                                       std::string_view resolved = {}) const;
    // The target of `folder`: its rule's, else the top level.
    const FinderLayoutPreferences& targetFor(std::string_view folder,
                                             std::string_view resolved = {}) const;

    // Every key of the top level (nullopt) or of rule `rule`'s target, in kLayoutKeys order.
    std::vector<LayoutLine> describe(std::optional<std::size_t> rule = std::nullopt) const;

    // Whether the rule path `pattern` (with "~/" already expanded) matches `path`: "*" and "?"
    // within one component, a final "/**" every folder below.
    static bool matches(std::string_view pattern, std::string_view path);

  private:
    struct Rule {
        std::string pattern;  // "~/" expanded, no trailing slash
        FinderLayoutPreferences target;
    };

    FinderLayoutPreferences m_top;
    std::optional<LayoutFile> m_file;
    std::vector<Rule> m_rules;
};

}  // namespace lumifold
