#include "core/preferences/Layout.h"

#include "core/common/Numbers.h"
#include "core/common/Paths.h"

namespace lumifold {
namespace {

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// One component against one pattern component: "*" any run of characters, "?" one character
// (a whole UTF-8 sequence).
bool componentMatches(std::string_view pattern, std::string_view name) {
    const auto next = [](std::string_view text, std::size_t at) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
        return at;
    };
    std::size_t p = 0, n = 0;
    std::optional<std::pair<std::size_t, std::size_t>> star;  // where to retry after a '*'
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = {++p, n};
        } else if (p < pattern.size() && pattern[p] == '?') {
            p = p + 1;
            n = next(name, n);
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (star) {
            star->second = next(name, star->second);
            p = star->first;
            n = star->second;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string numberText(double value) {
    std::string text = formatReal(value);
    if (text.ends_with(".0")) text.resize(text.size() - 2);
    return text;
}

std::string quoted(const std::optional<std::string>& word) {
    return "\"" + word.value_or("?") + "\"";
}

// The value of `key` in `target`, as the file would write it.
std::string valueText(std::string_view key, const FinderLayoutPreferences& target) {
    const auto boolean = [](bool value) { return std::string(value ? "true" : "false"); };
    if (key == "view") return quoted(layoutWord(key, target.viewStyle));
    if (key == "group-by") return quoted(layoutWord(key, target.groupBy));
    if (key == "arrange-by") return quoted(layoutWord(key, target.sortBy));
    if (key == "icon-size") return numberText(target.iconSize);
    if (key == "grid-spacing") return numberText(target.gridSpacing);
    if (key == "text-size") return numberText(target.textSize);
    if (key == "labels") return quoted(layoutWord(key, boolean(target.labelOnBottom)));
    if (key == "item-info") return boolean(target.showItemInfo);
    if (key == "icon-preview") return boolean(target.showIconPreview);
    return boolean(target.hideFileExtensions);
}

}  // namespace

Layout::Layout(FinderLayoutPreferences top) : m_top(std::move(top)) {}

Layout Layout::resolve(const std::optional<LayoutFile>& file, double currentGridSpacing,
                       const std::string& home) {
    Layout layout(FinderLayoutPreferences::preferred(currentGridSpacing));
    if (!file) return layout;
    layout.m_file = file;
    layout.m_top = file->top.over(layout.m_top);
    for (const FolderRule& rule : file->rules) {
        std::string pattern =
            rule.path.starts_with("~/") ? appending(home, rule.path.substr(2)) : rule.path;
        while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
        layout.m_rules.push_back({std::move(pattern), rule.settings.over(layout.m_top)});
    }
    return layout;
}

std::optional<std::size_t> Layout::ruleFor(std::string_view folder,
                                           std::string_view resolved) const {
    for (std::size_t i = 0; i < m_rules.size(); ++i) {
        if (matches(m_rules[i].pattern, folder) ||
            (!resolved.empty() && matches(m_rules[i].pattern, resolved))) {
            return i;
        }
    }
    return std::nullopt;
}

const FinderLayoutPreferences& Layout::targetFor(std::string_view folder,
                                                 std::string_view resolved) const {
    const auto rule = ruleFor(folder, resolved);
    return rule ? m_rules[*rule].target : m_top;
}

std::vector<LayoutLine> Layout::describe(std::optional<std::size_t> rule) const {
    const FinderLayoutPreferences& target = rule ? m_rules.at(*rule).target : m_top;
    std::vector<LayoutLine> lines;
    for (const std::string_view key : kLayoutKeys) {
        std::string origin = "built in";
        if (rule && m_file->rules[*rule].settings.sets(key)) {
            origin = "rule " + std::to_string(*rule + 1) + " (" + m_file->rules[*rule].path + ")";
        } else if (m_file && m_file->top.sets(key)) {
            origin = "the layout file";
        } else if (key == "grid-spacing") {
            origin = "built in: the Finder's current spacing (\"keep\")";
        }
        lines.push_back({std::string(key), valueText(key, target), std::move(origin)});
    }
    return lines;
}

bool Layout::matches(std::string_view pattern, std::string_view path) {
    const auto wanted = components(pattern);
    const auto parts = components(path);
    const bool below = !wanted.empty() && wanted.back() == "**";
    const std::size_t fixed = below ? wanted.size() - 1 : wanted.size();
    if (below ? parts.size() <= fixed : parts.size() != fixed) return false;
    for (std::size_t i = 0; i < fixed; ++i) {
        if (!componentMatches(wanted[i], parts[i])) return false;
    }
    return true;
}

}  // namespace lumifold
