#pragma once

#include <optional>
#include <string>

#include "core/platform/PropertyList.h"

namespace lumifold::platform {

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
    // domain, then (for an application other than kAnyApplication) the global domain.
    // nullopt when no domain holds the key or a file cannot be read.
    std::optional<PlistValue> copyAppValue(const std::string& key,
                                           const std::string& applicationId) const;
    // Sets (or, with nullopt, removes) `key` in one domain. Throws Error when the domain's
    // file cannot be written.
    void setValue(const std::string& key, const std::optional<PlistValue>& value,
                  const std::string& applicationId, User user, Host host);
    // Makes earlier writes of this process durable; false when that failed.
    bool synchronize(const std::string& applicationId, User user, Host host);
    bool appSynchronize(const std::string& applicationId);

    const std::string& homeDirectory() const { return m_home; }

private:
    std::string m_home;
};

}  // namespace lumifold::platform
