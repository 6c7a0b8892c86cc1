#include "core/common/Paths.h"

namespace lumifold {
namespace {

std::string_view trimTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

}  // namespace

std::string lastPathComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    if (path == "/") return "/";
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
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
