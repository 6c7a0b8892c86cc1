#include "core/inspection/MetadataStores.h"

#include <algorithm>
#include <set>

#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"

namespace lumifold {
namespace {

using platform::MetadataStore;

// Where Debian and others put testparm.
constexpr const char* kTestparmPaths[] = {"/usr/bin/testparm", "/usr/sbin/testparm",
                                          "/usr/local/bin/testparm", "/usr/local/sbin/testparm"};

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return "";
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// A parameter name as Samba compares them: lower case, without spaces.
std::string parameterName(std::string_view text) {
    std::string name;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '_') continue;
        name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return name;
}

bool listsFruit(std::string_view objects) {
    std::string word;
    for (std::size_t i = 0; i <= objects.size(); ++i) {
        const char c = i < objects.size() ? objects[i] : ' ';
        if (c == ' ' || c == ',' || c == '\t') {
            if (parameterName(word) == "fruit") return true;
            word.clear();
        } else {
            word += c;
        }
    }
    return false;
}

std::string quoted(std::string_view path) { return "\"" + platform::printable(path) + "\""; }

bool holds(std::string_view folder, std::string_view path) {
    return path == folder ||
           (path.starts_with(folder) && (folder == "/" || path[folder.size()] == '/'));
}

// The configuration's text: testparm's view of it where Samba is installed, else the file.
std::optional<std::string> sambaConfiguration(const MetadataChoice& choice, std::string& problem) {
    if (!platform::fileExists(choice.sambaConfigPath)) return std::nullopt;
    const platform::ProcessRunner run =
        choice.runProcess ? choice.runProcess : platform::runProcess;
    for (const char* testparm : kTestparmPaths) {
        if (!choice.runProcess && !platform::fileExists(testparm)) continue;
        const auto result = run(testparm, {"-s", choice.sambaConfigPath});
        if (!result.started) continue;
        if (result.exitStatus == 0) return result.standardOutput;
        const auto end = result.standardError.find('\n');
        problem = "testparm could not read the Samba configuration " +
                  quoted(choice.sambaConfigPath) + " (status " + std::to_string(result.exitStatus) +
                  ": " + platform::printable(trimmed(result.standardError.substr(0, end))) + ")";
        return std::nullopt;
    }
    try {
        return std::string(asText(platform::readFile(choice.sambaConfigPath)));
    } catch (const Error& error) {
        problem = error.message();
        return std::nullopt;
    }
}

}  // namespace

std::vector<SambaShare> parseSambaShares(std::string_view text) {
    std::vector<SambaShare> shares;
    std::string globalObjects, globalMetadata = "netatalk";
    struct Section {
        std::string name;
        std::optional<std::string> path, objects, metadata;
    };
    std::vector<Section> sections;
    bool inGlobal = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            const std::string name = trimmed(std::string_view(line).substr(1, line.size() - 2));
            inGlobal = parameterName(name) == "global";
            if (!inGlobal) sections.push_back({name, {}, {}, {}});
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = parameterName(line.substr(0, equals));
        const std::string value = trimmed(std::string_view(line).substr(equals + 1));
        if (inGlobal) {
            if (key == "vfsobjects" || key == "vfsobject") globalObjects = value;
            if (key == "fruit:metadata") globalMetadata = value;
        } else if (!sections.empty()) {
            if (key == "path" || key == "directory") sections.back().path = value;
            if (key == "vfsobjects" || key == "vfsobject") sections.back().objects = value;
            if (key == "fruit:metadata") sections.back().metadata = value;
        }
    }
    for (Section& section : sections) {
        const std::string name = parameterName(section.name);
        if (name == "homes" || name == "printers" || !section.path) continue;
        shares.push_back({section.name, *section.path,
                          listsFruit(section.objects.value_or(globalObjects)),
                          section.metadata.value_or(globalMetadata)});
    }
    return shares;
}

MetadataStores MetadataStores::choose(const MetadataChoice& choice,
                                      const std::vector<std::string>& chosenFolders) {
    MetadataStores stores;
    platform::PathResolver resolver;
    // The folders the user chose: those whose parent is not itself in the list.
    const std::set<std::string> listed(chosenFolders.begin(), chosenFolders.end());
    std::vector<FolderStore> folders;
    for (const std::string& folder : chosenFolders) {
        if (listed.contains(deletingLastPathComponent(folder))) continue;
        folders.push_back({folder, resolver.resolve(folder), MetadataStore::xattr, ""});
    }
    if (choice.store) {
        for (FolderStore& folder : folders) {
            folder.store = choice.store;
            folder.reason =
                std::string("chosen with --metadata ") + platform::metadataStoreName(*choice.store);
        }
        stores.m_folders = std::move(folders);
        return stores;
    }
    std::string problem;
    const auto configuration = folders.empty() ? std::nullopt : sambaConfiguration(choice, problem);
    if (!problem.empty()) stores.m_warnings.push_back(problem);
    struct Share {
        SambaShare share;
        std::string resolvedPath;
    };
    std::vector<Share> shares;
    for (SambaShare& share :
         configuration ? parseSambaShares(*configuration) : std::vector<SambaShare>{}) {
        if (!share.fruit) continue;
        if (!platform::isDirectory(share.path)) {
            stores.m_warnings.push_back("The Samba share [" + share.name + "] names " +
                                        quoted(share.path) +
                                        ", which is not a folder; it is passed over");
            continue;
        }
        std::string resolved = platform::resolveSymbolicLinks(share.path);
        shares.push_back({std::move(share), std::move(resolved)});
    }
    for (FolderStore& folder : folders) {
        if (!problem.empty()) {
            folder.store.reset();
            folder.reason = problem + ", so the extensions in " + quoted(folder.folder) +
                            " are left as they are";
            continue;
        }
        const Share* inside = nullptr;
        for (const Share& share : shares) {
            if (holds(share.resolvedPath, folder.resolvedFolder) &&
                (inside == nullptr || share.resolvedPath.size() > inside->resolvedPath.size())) {
                inside = &share;
            }
        }
        if (inside != nullptr) {
            const std::string& metadata = inside->share.metadata;
            const std::string where = "inside the Samba share [" + inside->share.name + "] (" +
                                      quoted(inside->share.path) + ")";
            if (metadata == "stream" || metadata == "netatalk") {
                folder.store =
                    metadata == "stream" ? MetadataStore::samba : MetadataStore::netatalk;
                folder.reason = where + " with fruit:metadata = " + metadata;
            } else {
                folder.store.reset();
                folder.reason = quoted(folder.folder) + " is " + where +
                                ", whose fruit:metadata = " + platform::printable(metadata) +
                                " is a store Lumifold does not know, so its extensions are left "
                                "as they are";
            }
        } else if (platform::holdsFileStartingWith(folder.resolvedFolder,
                                                   platform::AppleDoubleFormat::kSidecarPrefix)) {
            folder.store = MetadataStore::appledouble;
            folder.reason = "it holds ._ AppleDouble files";
        } else {
            folder.reason = "in no Samba share with fruit, and it holds no ._ AppleDouble files";
        }
    }
    stores.m_folders = std::move(folders);
    return stores;
}

const FolderStore* MetadataStores::of(std::string_view folder) const {
    const FolderStore* found = nullptr;
    for (const FolderStore& each : m_folders) {
        if (holds(each.resolvedFolder, folder) &&
            (found == nullptr || each.resolvedFolder.size() > found->resolvedFolder.size())) {
            found = &each;
        }
    }
    return found;
}

}  // namespace lumifold
