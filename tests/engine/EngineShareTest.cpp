// A store Lumifold makes on a share, as root, stays the share's users' to change: checked
// through a real Samba server, a guest client writing over it.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "core/platform/Process.h"
#include "tests/engine/EngineTestSupport.h"

namespace lumifold::testing {
namespace {

// A private smbd on 127.0.0.1 (a free port), configured and keeping its state in `dir`,
// serving `share` to guests as nobody. In a session of its own, since it signals its whole
// process group as it stops; stopped by its process id.
class PrivateSmbd final {
  public:
    static constexpr const char* kProgram = "/usr/sbin/smbd";
    static constexpr const char* kClient = "/usr/bin/smbclient";

    PrivateSmbd(const std::string& dir, const std::string& share) : m_config(dir + "/smb.conf") {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{.sin_family = AF_INET,
                            .sin_port = 0,
                            .sin_addr = {htonl(INADDR_LOOPBACK)},
                            .sin_zero = {}};
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = std::to_string(ntohs(address.sin_port));
        ::close(fd);
        std::ofstream config(m_config);
        config << "[global]\ninterfaces = 127.0.0.1\nbind interfaces only = yes\nsmb ports = "
               << m_port << "\ndisable netbios = yes\nmap to guest = Bad User\n"
               << "guest account = nobody\nload printers = no\ndisable spoolss = yes\n";
        for (const char* folder : {"state", "lock", "cache", "pid", "log"}) {
            std::filesystem::create_directory(dir + "/" + folder);
            config << folder << " directory = " << dir << "/" << folder << '\n';
        }
        config << "private dir = " << dir << "/state\nncalrpc dir = " << dir << "/state\n"
               << "[share]\npath = " << share << "\nguest ok = yes\nread only = no\n";
        config.close();
        if ((m_pid = ::fork()) == 0) {
            ::setsid();
            ::execl(kProgram, kProgram, "--foreground", "--no-process-group",
                    ("--configfile=" + m_config).c_str(), nullptr);
            ::_exit(127);
        }
    }
    ~PrivateSmbd() {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    PrivateSmbd(const PrivateSmbd&) = delete;
    PrivateSmbd& operator=(const PrivateSmbd&) = delete;

    // smbclient's `commands` as a guest, once the server listens (ten seconds at most).
    platform::ProcessResult client(const std::string& commands) const {
        platform::ProcessResult result;
        for (int attempt = 0; attempt < 100; ++attempt) {
            result = platform::runProcess(
                kClient, {"-N", "-p", m_port, "-s", m_config, "//127.0.0.1/share", "-c", commands});
            if (listening(result)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return result;
    }
    static bool listening(const platform::ProcessResult& result) {
        return (result.standardOutput + result.standardError).find("CONNECTION_REFUSED") ==
               std::string::npos;
    }

  private:
    std::string m_config, m_port;
    pid_t m_pid = -1;
};

TEST_F(EngineTest, AGuestWritesOverAStoreLumifoldMadeInAShareOfNobodys) {
    if (::geteuid() != 0 || ::access(PrivateSmbd::kProgram, X_OK) != 0 ||
        ::access(PrivateSmbd::kClient, X_OK) != 0) {
        GTEST_SKIP() << "a private smbd needs root, smbd and smbclient";
    }
    platform::setPermissionBits(home.path(), 0755);  // nobody passes through to the share
    const std::string share = home.makeFolder("share");
    ASSERT_EQ(::chown(share.c_str(), 65534, 65534), 0);
    engine = makeEngine(home.path(), [](EngineOptions& options) { options.foldersOnly = true; });
    engine->apply(std::vector<std::string>{share}, false);
    ASSERT_TRUE(platform::fileExists(share + "/.DS_Store"));

    const PrivateSmbd smbd(home.makeFolder("samba"), share);
    const platform::ProcessResult put =
        smbd.client("put " + home.writeFile("mine", "a Mac's store") + " .DS_Store");
    if (!PrivateSmbd::listening(put)) GTEST_SKIP() << "smbd did not start: " << put.standardOutput;
    EXPECT_EQ(put.exitStatus, 0) << put.standardOutput << put.standardError;
    EXPECT_EQ(asText(platform::readFile(share + "/.DS_Store")), "a Mac's store");
}

}  // namespace
}  // namespace lumifold::testing
