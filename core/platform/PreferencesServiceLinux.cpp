// Linux implementation: each preference domain is a property-list file under
// <home>/Library/Preferences/, laid out as on macOS:
//
//   .GlobalPreferences.plist                     global domain, any host
//   <applicationId>.plist                        application domain, any host
//   ByHost/.GlobalPreferences.<host-id>.plist    global domain, this host
//   ByHost/<applicationId>.<host-id>.plist       application domain, this host
//
// There is no daemon and no cache: every read goes to the file and every write is a
// read-modify-write of the whole file, replaced in one step from the home's folder held open and
// durable when setValue returns. A caller that planned from an earlier read passes it, and the
// file is replaced only while it still holds that read; otherwise two processes writing the same
// domain at once can lose one of the writes.

#include "core/platform/PreferencesService.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"

namespace lumifold::platform {
namespace {

constexpr const char* kGlobalDomainName = ".GlobalPreferences";
constexpr const char* kMachineIdPath = "/etc/machine-id";

std::string trimmed(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return std::string(text);
}

// A host identifier is one file-name component.
bool isUsableHostId(const std::string& id) {
    return !id.empty() && id.size() <= 255 && id != "." && id != ".." &&
           id.find('/') == std::string::npos && id.find('\0') == std::string::npos;
}

// The machine id, else the host name, else "localhost": stable across runs on one machine.
std::string currentHostId() {
    if (fileExists(kMachineIdPath)) {
        try {
            const std::string id = trimmed(asText(readFile(kMachineIdPath)));
            if (isUsableHostId(id)) return id;
        } catch (const Error&) {
            // An unreadable machine id falls back to the host name.
        }
    }
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) == 0) {
        const std::string id = trimmed(name.data());
        if (isUsableHostId(id)) return id;
    }
    return "localhost";
}

// An application id names a file in the preferences folder, so it must not be able to
// name anything else.
bool isUsableApplicationId(const std::string& applicationId) {
    return !applicationId.empty() && applicationId.front() != '.' &&
           applicationId.find('/') == std::string::npos &&
           applicationId.find('\0') == std::string::npos;
}

// The domain file's top-level dictionary; nullopt when the file is missing, unreadable,
// malformed or not a dictionary.
std::optional<PlistDictionary> readDomain(const std::string& path) {
    try {
        if (!fileExists(path)) return std::nullopt;
        PlistValue value = parsePropertyList(readFile(path));
        if (PlistDictionary* dictionary = value.ifDictionary()) return std::move(*dictionary);
    } catch (const Error&) {
        // Unreadable or malformed: reads as no domain.
    }
    return std::nullopt;
}

[[noreturn]] void throwInvalidApplication(const std::string& applicationId) {
    throw Error(kPreferencesServiceDomain, kPreferencesInvalidApplication,
                "\"" + applicationId + "\" is not a valid preferences application");
}

}  // namespace

PreferencesService::PreferencesService(std::string homeDirectory)
    : m_home(std::move(homeDirectory)), m_hostId(currentHostId()) {}

std::optional<std::string> PreferencesService::domainPath(const std::string& applicationId,
                                                          Host host) const {
    std::string name;
    if (applicationId == kAnyApplication) {
        name = kGlobalDomainName;
    } else if (isUsableApplicationId(applicationId)) {
        name = applicationId;
    } else {
        return std::nullopt;
    }
    const std::string folder = appending(m_home, "Library/Preferences");
    if (host == Host::any) return appending(folder, name + ".plist");
    return appending(appending(folder, "ByHost"), name + "." + m_hostId + ".plist");
}

std::optional<PlistValue> PreferencesService::copyAppValue(const std::string& key,
                                                           const std::string& applicationId) const {
    std::vector<std::pair<std::string, Host>> domains = {{applicationId, Host::current},
                                                         {applicationId, Host::any}};
    if (applicationId != kAnyApplication) {
        domains.emplace_back(kAnyApplication, Host::current);
        domains.emplace_back(kAnyApplication, Host::any);
    }
    for (const auto& [application, host] : domains) {
        const auto path = domainPath(application, host);
        if (!path) continue;
        const auto dictionary = readDomain(*path);
        if (!dictionary) continue;
        if (const auto found = dictionary->find(key); found != dictionary->end()) {
            return found->second;
        }
    }
    return std::nullopt;
}

PreferencesService::DomainFile PreferencesService::readDomainFile(const std::string& applicationId,
                                                                  Host host) const {
    const auto path = domainPath(applicationId, host);
    if (!path) throwInvalidApplication(applicationId);
    DomainFile file{.path = *path,
                    .bytes = std::nullopt,
                    .dictionary = std::nullopt,
                    .isLink = isSymbolicLink(*path)};
    if (!file.isLink && !fileExists(*path)) return file;
    try {
        file.bytes = readFile(*path);
        PlistValue value = parsePropertyList(*file.bytes);
        if (PlistDictionary* dictionary = value.ifDictionary()) {
            file.dictionary = std::move(*dictionary);
            return file;
        }
    } catch (const Error& error) {
        throw Error(kPreferencesServiceDomain, kPreferencesUnreadableDomain,
                    "The preferences file \"" + printable(*path) +
                        "\" cannot be read, so it is left as it is: " + error.message());
    }
    throw Error(kPreferencesServiceDomain, kPreferencesUnreadableDomain,
                "The preferences file \"" + printable(*path) +
                    "\" holds no dictionary, so it is left as it is");
}

std::optional<PlistValue> PreferencesService::copyValue(const std::string& key,
                                                        const std::string& applicationId,
                                                        Host host) const {
    const auto dictionary = readDomainFile(applicationId, host).dictionary;
    if (!dictionary) return std::nullopt;
    const auto found = dictionary->find(key);
    if (found == dictionary->end()) return std::nullopt;
    return found->second;
}

bool PreferencesService::setValue(const std::string& key, const std::optional<PlistValue>& value,
                                  const std::string& applicationId, User user, Host host,
                                  const WriteConditions& conditions) {
    if (user != User::current) {
        throw Error(kPreferencesServiceDomain, kPreferencesAnyUserUnsupported,
                    "Preferences for any user cannot be written");
    }
    auto [path, bytes, dictionary, isLink] = readDomainFile(applicationId, host);
    // What the file held when planned stands for what was read now: a change in between is
    // found by the replace, which compares with it.
    PlannedContent read{bytes.has_value(), bytes ? ByteView(*bytes) : ByteView()};
    const PlannedContent& expected = conditions.unlessChangedFrom.value_or(read);
    if (conditions.unlessChangedFrom && (expected.existed != read.existed ||
                                         !std::equal(expected.bytes.begin(), expected.bytes.end(),
                                                     read.bytes.begin(), read.bytes.end()))) {
        return false;
    }
    if (!value) {
        if (!dictionary || dictionary->erase(key) == 0) return true;  // nothing to remove
        if (dictionary->empty()) {
            // As the system's own service does, a domain with no keys keeps no file.
            const FilePlace place = placeFileUnder(m_home, path, conditions.throughLink);
            removeFileIn(place.folder, place.name);
            return true;
        }
    } else {
        if (!dictionary) dictionary.emplace();
        const auto found = dictionary->find(key);
        if (found != dictionary->end() && found->second == *value) return true;  // already so
        (*dictionary)[key] = *value;
    }
    const Bytes encoded = toBinaryPropertyList(PlistValue::dictionary(std::move(*dictionary)));
    // Sync tools keep preference files as links into their folder: those are written through,
    // to a file below the home only.
    const FilePlace place = placeFileUnder(m_home, path, conditions.throughLink, 0700);
    ReplaceOptions options;
    options.unlessChangedFrom = expected;
    return replaceFileIn(place.folder, place.name, encoded, options);
}

// setValue writes the file and flushes it before it returns, so nothing is ever pending.
bool PreferencesService::synchronize(const std::string&, User, Host) { return true; }

bool PreferencesService::appSynchronize(const std::string&) { return true; }

}  // namespace lumifold::platform
