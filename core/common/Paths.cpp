#include "core/common/Paths.h"

#include <optional>
#include <utility>

namespace lumifold {
namespace {

std::string_view trimTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

// Whether the set at `pattern[at]` (just past "[") holds `c`; `end` is set past its "]".
// nullopt when the set never closes.
std::optional<bool> setHolds(std::string_view pattern, std::size_t at, char c, std::size_t& end) {
    const bool negated = at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^');
    if (negated) ++at;
    bool found = false;
    // A "]" first in the set is one of its members.
    for (std::size_t i = at; i < pattern.size(); ++i) {
        if (pattern[i] == ']' && i > at) {
            end = i + 1;
            return found != negated;
        }
        char low = pattern[i];
        if (low == '\\' && i + 1 < pattern.size()) low = pattern[++i];
        char high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            high = pattern[i + 2];
            i += 2;
            if (high == '\\' && i + 1 < pattern.size()) high = pattern[++i];
        }
        const auto byte = static_cast<unsigned char>(c);
        if (static_cast<unsigned char>(low) <= byte && byte <= static_cast<unsigned char>(high)) {
            found = true;
        }
    }
    return std::nullopt;
}

}  // namespace

bool matchesGlob(std::string_view pattern, std::string_view text) {
    // Greedy with one backtrack point: the last "*" met, and where its run ends in `text`.
    std::size_t p = 0, t = 0;
    std::optional<std::pair<std::size_t, std::size_t>> star;
    while (t < text.size()) {
        if (p < pattern.size()) {
            const char c = pattern[p];
            if (c == '*') {
                star = {++p, t};
                continue;
            }
            std::size_t next = p + 1;
            bool matched = false;
            if (c == '?') {
                matched = true;
            } else if (c == '[') {
                if (const auto held = setHolds(pattern, p + 1, text[t], next)) {
                    matched = *held;
                } else {
                    matched = text[t] == '[';
                    next = p + 1;
                }
            } else if (c == '\\' && p + 1 < pattern.size()) {
                matched = text[t] == pattern[p + 1];
                next = p + 2;
            } else {
                matched = text[t] == c;
            }
            if (matched) {
                p = next;
                ++t;
                continue;
            }
        }
        if (!star) return false;
        p = star->first;
        t = ++star->second;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string_view lastPathComponentIn(std::string_view path) {
    path = trimTrailingSlashes(path);
    if (path == "/") return path;
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string lastPathComponent(std::string_view path) {
    return std::string(lastPathComponentIn(path));
}

std::string deletingLastPathComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return "";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string appending(std::string_view path, std::string_view component) {
    while (!component.empty() && component.front() == '/') component.remove_prefix(1);
    std::string result(path);
    if (result.empty() || result.back() != '/') result += '/';
    result += component;
    return result;
}

}  // namespace lumifold
