#include "tests/support/SambaServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/platform/Process.h"

extern char** environ;

namespace lumifold::testing {
namespace {

constexpr const char* kSmbd = "/usr/sbin/smbd";

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port nobody listens on now (the kernel's choice for a socket bound to port 0).
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(port);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

SambaServer::SambaServer(const std::string& folder, const std::vector<Share>& shares) {
    if (::geteuid() != 0) {
        m_failure = "smbd serves shares as their owners only when started as root";
        return;
    }
    if (::access(kSmbd, X_OK) != 0) {
        m_failure = "smbd is not installed (scripts/install-deps installs it)";
        return;
    }
    m_port = freePort();
    m_config = folder + "/smb.conf";
    std::ofstream config(m_config);
    config << "[global]\nserver role = standalone server\ninterfaces = 127.0.0.1\n"
           << "bind interfaces only = yes\nsmb ports = " << m_port << "\ndisable netbios = yes\n"
           << "map to guest = Bad User\nguest account = nobody\nload printers = no\n"
           << "printcap name = /dev/null\ndisable spoolss = yes\nlog level = 1\n";
    for (const char* place :
         {"state directory", "lock directory", "cache directory", "private dir", "pid directory"}) {
        const std::string path = folder + "/samba-" + std::string(place).substr(0, 4);
        std::filesystem::create_directories(path);
        config << place << " = " << path << '\n';
    }
    config << "log file = " << folder << "/samba-log\n";
    for (const Share& share : shares) {
        config << "[" << share.name << "]\npath = " << share.path
               << "\nguest ok = yes\nread only = no\n"
               << (share.asRoot ? "force user = root\n" : "")
               << "vfs objects = catia fruit streams_xattr\nfruit:metadata = " << share.metadata
               << '\n';
    }
    config.close();
    // A session of its own: when smbd stops it signals its whole process group.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_t files;
    ::posix_spawn_file_actions_init(&files);
    const std::string log = folder + "/smbd.out";
    ::posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT, 0600);
    ::posix_spawn_file_actions_adddup2(&files, 1, 2);
    std::vector<std::string> arguments{
        kSmbd, "--foreground", "--no-process-group", "--debug-stdout", "-s", m_config};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&m_server, kSmbd, &files, &attributes, argv.data(), environ) != 0) {
        m_server = -1;
    }
    ::posix_spawn_file_actions_destroy(&files);
    ::posix_spawnattr_destroy(&attributes);
    // Ready once it listens; a guard of 30 s against a server that never does.
    for (int tries = 0; m_server > 0 && tries < 300 && !accepts(m_port); ++tries) {
        if (::waitpid(m_server, nullptr, WNOHANG) == m_server) m_server = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (m_server <= 0 || !accepts(m_port)) m_failure = "smbd did not start: see " + log;
}

SambaServer::~SambaServer() {
    if (m_server <= 0) return;
    ::kill(m_server, SIGTERM);
    ::waitpid(m_server, nullptr, 0);
}

std::pair<int, std::string> SambaServer::run(const std::string& share,
                                             const std::string& commands) const {
    const platform::ProcessResult result = platform::runProcess(
        "/usr/bin/smbclient", {"-N", "-p", std::to_string(m_port), "//127.0.0.1/" + share, "-s",
                               m_config, "-c", commands});
    return {result.exitStatus, result.standardOutput + result.standardError};
}

}  // namespace lumifold::testing
