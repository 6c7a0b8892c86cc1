#include "core/platform/Process.h"

#include <fcntl.h>
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

// Reads until end of file; the child may write far more than a pipe holds, so reading must
// finish before waiting for the child.
std::string readAll(int fd) {
    std::string output;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) continue;
            break;  // a broken pipe ends the output; the exit status still tells the story
        }
        if (count == 0) break;
        output.append(buffer, static_cast<std::size_t>(count));
    }
    return output;
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

    int pipeEnds[2] = {-1, -1};
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return result;
    const int readEnd = pipeEnds[0];
    const int writeEnd = pipeEnds[1];

    FileActions actions;
    // dup2 clears close-on-exec on the copy, so only descriptor 1 reaches the child.
    if (!actions.ok() ||
        ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0) !=
            0 ||
        ::posix_spawn_file_actions_adddup2(actions.get(), writeEnd, STDOUT_FILENO) != 0) {
        closeQuietly(readEnd);
        closeQuietly(writeEnd);
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
    closeQuietly(writeEnd);  // the parent's copy must go, or reading never sees end of file
    if (spawnError != 0) {
        closeQuietly(readEnd);
        return result;
    }

    result.standardOutput = readAll(readEnd);
    closeQuietly(readEnd);
    result.exitStatus = waitForExit(pid);
    result.started = true;
    return result;
}

long currentProcessId() { return static_cast<long>(::getpid()); }

}  // namespace lumifold::platform
