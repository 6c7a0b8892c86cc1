#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lumifold::testing {

// A private Samba server for one test: smbd in the foreground, in a session of its own, with its
// own configuration and its state, lock, cache, private and pid folders under `folder`, on a free
// port of 127.0.0.1 only, guest access. Each share serves a folder with
// "vfs objects = catia fruit streams_xattr" and the fruit:metadata given. Stopped by its
// process id. `failure()` says why it did not start (not root, no smbd).
class SambaServer final {
  public:
    struct Share {
        std::string name;
        std::string path;
        std::string metadata;  // fruit:metadata
        // Guests act as root, so a test's files need no owner; false: as the guest account
        // (nobody), as an ordinary user of the share would.
        bool asRoot = true;
    };
    SambaServer(const std::string& folder, const std::vector<Share>& shares);
    ~SambaServer();
    SambaServer(const SambaServer&) = delete;
    SambaServer& operator=(const SambaServer&) = delete;

    const std::optional<std::string>& failure() const { return m_failure; }
    const std::string& configPath() const { return m_config; }
    // smbclient running `commands` on `share` as a guest; its exit status and output.
    std::pair<int, std::string> run(const std::string& share, const std::string& commands) const;

  private:
    std::optional<std::string> m_failure;
    std::string m_config;
    int m_port = 0;
    pid_t m_server = -1;
};

}  // namespace lumifold::testing
