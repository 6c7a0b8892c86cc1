#include "core/platform/UserFolders.h"

#include <map>
#include <string_view>

#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"

namespace lumifold::platform {
namespace {

constexpr const char* kListPath = ".config/user-dirs.dirs";
// The list is a few hundred bytes; anything near this is not one.
constexpr std::uint64_t kListLimit = 64 * 1024;

struct Folder {
    std::string_view key;
    std::string_view usualName;
};
constexpr Folder kFolders[] = {
    {"XDG_DESKTOP_DIR", "Desktop"},    {"XDG_DOCUMENTS_DIR", "Documents"},
    {"XDG_DOWNLOAD_DIR", "Downloads"}, {"XDG_PICTURES_DIR", "Pictures"},
    {"XDG_VIDEOS_DIR", "Videos"},      {"XDG_MUSIC_DIR", "Music"}};

// `"$HOME/Pictures"` or `"/abs/path"` with shell escapes, as the desktop writes them; nullopt
// for any other form.
std::optional<std::string> folderValue(std::string_view text, const std::string& home) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::nullopt;
    text = text.substr(1, text.size() - 2);
    std::string path;
    if (text.starts_with("$HOME")) {
        path = home;
        text.remove_prefix(5);
    } else if (!text.starts_with("/")) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        path += text[i];
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

std::optional<std::vector<std::string>> desktopUserFolders(const std::string& homeDirectory) {
    const std::string listPath = appending(homeDirectory, kListPath);
    if (!fileExists(listPath)) return std::nullopt;
    std::string text;
    try {
        text = asText(readFile(listPath, kListLimit));
    } catch (const Error&) {
        return std::nullopt;  // a list we cannot read tells us nothing
    }
    std::map<std::string, std::string, std::less<>> values;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line = std::string_view(text).substr(start, end - start);
        start = end + 1;
        const std::size_t equals = line.find('=');
        if (line.starts_with("#") || equals == std::string_view::npos) continue;
        if (auto value = folderValue(line.substr(equals + 1), homeDirectory)) {
            values[std::string(line.substr(0, equals))] = std::move(*value);
        }
    }
    std::string home = homeDirectory;
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    std::vector<std::string> folders;
    for (const Folder& folder : kFolders) {
        const auto found = values.find(folder.key);
        std::string path =
            found != values.end() ? found->second : appending(home, folder.usualName);
        if (path != home) folders.push_back(std::move(path));
    }
    return folders;
}

}  // namespace lumifold::platform
