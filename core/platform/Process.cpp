#include "core/platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace lumifold::platform {
namespace {

// Owns the spawn file actions for the length of one start.
class FileActions final {
  public:
    FileActions() { m_ok = ::posix_spawn_file_actions_init(&m_actions) == 0; }
    ~FileActions() {
        if (m_ok) ::posix_spawn_file_actions_destroy(&m_actions);
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    bool ok() const { return m_ok; }
    posix_spawn_file_actions_t* get() { return &m_actions; }

  private:
    posix_spawn_file_actions_t m_actions{};
    bool m_ok = false;
};

void closeQuietly(int fd) {
    if (fd >= 0) ::close(fd);
}

// Reads both outputs until each ends; the child may write far more than a pipe holds to
// either, so both are read as they fill, and reading must finish before waiting for the child.
void readAll(int outputFd, int errorFd, std::string& output, std::string& error) {
    pollfd ends[2] = {{outputFd, POLLIN, 0}, {errorFd, POLLIN, 0}};
    std::string* into[2] = {&output, &error};
    char buffer[64 * 1024];
    while (ends[0].fd >= 0 || ends[1].fd >= 0) {
        if (::poll(ends, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (ends[i].fd < 0 || ends[i].revents == 0) continue;
            const ssize_t count = ::read(ends[i].fd, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR) continue;
            // End of file, or a broken pipe: that output has ended; the exit status tells the
            // rest.
            if (count <= 0) {
                ends[i].fd = -1;
                continue;
            }
            into[i]->append(buffer, static_cast<std::size_t>(count));
        }
    }
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

ProcessResult runProcess(const std::string& executablePath,
                         const std::vector<std::string>& arguments) {
    ProcessResult result;
    if (executablePath.empty() || executablePath.front() != '/') return result;

    int outputEnds[2] = {-1, -1};
    int errorEnds[2] = {-1, -1};
    if (::pipe2(outputEnds, O_CLOEXEC) != 0) return result;
    if (::pipe2(errorEnds, O_CLOEXEC) != 0) {
        closeQuietly(outputEnds[0]);
        closeQuietly(outputEnds[1]);
        return result;
    }
    const auto closeAll = [&] {
        for (const int fd : {outputEnds[0], outputEnds[1], errorEnds[0], errorEnds[1]}) {
            closeQuietly(fd);
        }
    };

    FileActions actions;
    // dup2 clears close-on-exec on the copies, so only descriptors 1 and 2 reach the child.
    if (!actions.ok() ||
        ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0) !=
            0 ||
        ::posix_spawn_file_actions_adddup2(actions.get(), outputEnds[1], STDOUT_FILENO) != 0 ||
        ::posix_spawn_file_actions_adddup2(actions.get(), errorEnds[1], STDERR_FILENO) != 0) {
        closeAll();
        return result;
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executablePath.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawnError =
        ::posix_spawn(&pid, executablePath.c_str(), actions.get(), nullptr, argv.data(), environ);
    // The parent's copies of the writing ends must go, or reading never sees end of file.
    closeQuietly(outputEnds[1]);
    closeQuietly(errorEnds[1]);
    if (spawnError != 0) {
        closeQuietly(outputEnds[0]);
        closeQuietly(errorEnds[0]);
        return result;
    }

    readAll(outputEnds[0], errorEnds[0], result.standardOutput, result.standardError);
    closeQuietly(outputEnds[0]);
    closeQuietly(errorEnds[0]);
    result.exitStatus = waitForExit(pid);
    result.started = true;
    return result;
}

long currentProcessId() { return static_cast<long>(::getpid()); }

}  // namespace lumifold::platform
