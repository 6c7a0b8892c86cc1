#pragma once

#include <optional>
#include <string>

#include "core/platform/FileSystem.h"
#include "core/plist/PropertyList.h"

namespace lumifold::platform {

inline constexpr const char* kPreferencesServiceDomain = "PreferencesService";
enum PreferencesServiceError : int {
    kPreferencesInvalidApplication = 1,  // an application id that cannot name a domain file
    kPreferencesAnyUserUnsupported = 2,  // domains of all users are not this user's to write
    kPreferencesUnreadableDomain = 3,    // a domain file that exists but holds no dictionary
};

// The user's preference domains, read and written the way the system's preferences service
// does it. On Linux each domain is a property-list file under <home>/Library/Preferences/:
// ".GlobalPreferences.plist" and "<app>.plist" for any host, and
// "ByHost/<name>.<host-id>.plist" for the current host.
class PreferencesService final {
  public:
    // The global domain, shared by every application.
    static constexpr const char* kAnyApplication = "kCFPreferencesAnyApplication";
    enum class User { current, any };
    enum class Host { current, any };

    explicit PreferencesService(std::string homeDirectory);

    // The value of `key` for `applicationId`: the current-host domain, then the any-host
    // domain, then (for an application other than kAnyApplication) the global domain's
    // current-host and any-host domains. A domain whose file is missing, unreadable or not a
    // dictionary is skipped; nullopt when no domain holds the key. Never throws.
    std::optional<PlistValue> copyAppValue(const std::string& key,
                                           const std::string& applicationId) const;
    // The value of `key` in exactly one domain of the current user (no fallback to other
    // domains); nullopt when the domain has no file or no such key. Throws Error naming the
    // file when it exists but cannot be read, is not a property list or holds no dictionary,
    // and for an application id that cannot name a file.
    std::optional<PlistValue> copyValue(const std::string& key, const std::string& applicationId,
                                        Host host) const;
    // What a write may assume of the domain's file.
    struct WriteConditions {
        // Replace the file only while it holds exactly this (planning's read); otherwise leave
        // it as another program left it.
        std::optional<PlannedContent> unlessChangedFrom;
        // A domain file that is a symbolic link is written through to the file it names, and
        // then only when that lies below the home; without this, such a file is refused.
        bool throughLink = true;
    };
    // Sets (or, with nullopt, removes) `key` in one domain of the current user; a domain left
    // empty by a removal has no file, and a domain that already holds the value is not
    // rewritten. Returns false, having written nothing, when `conditions.unlessChangedFrom` no
    // longer holds. The file is written from the home's folder held open, never through a link
    // on the way. Throws Error when the domain's file cannot be written (a link the conditions
    // do not allow: "POSIX" kLinkOnTheWay or kOutsideRoots), for User::any, and for an
    // application id that cannot name a file. A domain file that exists but cannot be read as a
    // dictionary is never replaced: that throws too, naming it.
    bool setValue(const std::string& key, const std::optional<PlistValue>& value,
                  const std::string& applicationId, User user, Host host,
                  const WriteConditions& conditions);
    void setValue(const std::string& key, const std::optional<PlistValue>& value,
                  const std::string& applicationId, User user, Host host) {
        (void)setValue(key, value, applicationId, user, host, WriteConditions{});
    }
    // Makes earlier writes of this process durable; false when that failed. On Linux setValue
    // is already durable when it returns, so both always succeed.
    bool synchronize(const std::string& applicationId, User user, Host host);
    bool appSynchronize(const std::string& applicationId);

    const std::string& homeDirectory() const { return m_home; }
    // The file that holds one domain of the current user; nullopt for an application id that
    // cannot name a file there (empty, starting with ".", or holding "/").
    std::optional<std::string> domainPath(const std::string& applicationId, Host host) const;
    // The current host's name in ByHost files: /etc/machine-id, else the host name.
    const std::string& hostIdentifier() const { return m_hostId; }

    // One domain's file as read: its path, and its bytes and dictionary when it exists.
    struct DomainFile {
        std::string path;
        std::optional<Bytes> bytes;
        std::optional<PlistDictionary> dictionary;
        bool isLink = false;  // the path is a symbolic link (read through to its file)
    };
    // The file of one domain of the current user. Throws as copyValue does.
    DomainFile readDomainFile(const std::string& applicationId, Host host) const;

  private:
    std::string m_home;
    std::string m_hostId;
};

}  // namespace lumifold::platform
