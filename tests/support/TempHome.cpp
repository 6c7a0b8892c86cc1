#include "tests/support/TempHome.h"

#include <fcntl.h>
#include <ftw.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "core/common/Paths.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/platform/Sha256.h"

namespace lumifold::testing {

TempHome::TempHome() {
    std::string pattern = platform::temporaryDirectory() + "/lumifold-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    // Resolve /tmp links so paths compare equal to what the code under test resolves.
    m_path = platform::resolveSymbolicLinks(pattern);
}

TempHome::~TempHome() { removeTree(m_path); }

std::string TempHome::operator/(const std::string& relative) const {
    return appending(m_path, relative);
}

std::string TempHome::makeFolder(const std::string& relative) const {
    const std::string path = *this / relative;
    platform::createDirectories(path);
    return path;
}

std::vector<std::string> TempHome::makeDefaultFolders() const {
    std::vector<std::string> made;
    for (const char* name : {"Desktop", "Documents", "Downloads", "Pictures", "Movies", "Music"})
        made.push_back(makeFolder(name));
    return made;
}

std::string TempHome::writeFile(const std::string& relative, ByteView bytes) const {
    const std::string path = *this / relative;
    platform::createDirectories(deletingLastPathComponent(path));
    platform::writeFileAtomically(path, bytes);
    return path;
}

std::string TempHome::writeFile(const std::string& relative, const std::string& text) const {
    return writeFile(relative, asBytes(text));
}

std::string TempHome::link(const std::string& target, const std::string& relative) const {
    const std::string path = *this / relative;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);  // never through a link
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("cannot link \"" + path + "\": " + std::strerror(errno));
    }
    return path;
}

namespace {

// Sets or clears the folder's immutable flag; why not, when it cannot.
std::optional<std::string> setImmutable(const std::string& path, bool immutable) {
    if (::geteuid() != 0) return "making a folder immutable needs root";
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    const int error = errno;
    if (fd >= 0) ::close(fd);
    if (done) return std::nullopt;
    return "cannot make \"" + path + "\" immutable: " + std::strerror(error);
}

}  // namespace

UnwritableFolder::UnwritableFolder(std::string path)
    : m_path(std::move(path)), m_failure(setImmutable(m_path, true)) {}

FewDescriptors::FewDescriptors(unsigned more) {
    if (::getrlimit(RLIMIT_NOFILE, &m_before) != 0) throw std::runtime_error("getrlimit");
    const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                    std::filesystem::directory_iterator());
    const rlimit narrowed{static_cast<rlim_t>(open) + more, m_before.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &narrowed) != 0) throw std::runtime_error("setrlimit");
}

FewDescriptors::~FewDescriptors() { ::setrlimit(RLIMIT_NOFILE, &m_before); }

UnwritableFolder::~UnwritableFolder() {
    if (!m_failure) (void)setImmutable(m_path, false);
}

void removeTree(const std::string& path) {
    ::nftw(
        path.c_str(),
        [](const char* entry, const struct stat*, int type, struct FTW*) {
            // So read-only folders made by tests can be emptied; never through a link, whose
            // target (a device, a system folder) chmod would change.
            if (type != FTW_SL && type != FTW_SLN) ::chmod(entry, 0700);
            ::remove(entry);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

TreeState treeState(const std::string& root, const std::function<bool(const std::string&)>& skip) {
    namespace fs = std::filesystem;
    TreeState state;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string path = it->path().string();
        struct stat info {};
        if (skip && skip(path)) {
            it.disable_recursion_pending();
        } else if (::lstat(path.c_str(), &info) == 0) {
            std::string& entry = state[path] = std::to_string(info.st_mode & 07777);
            if (S_ISREG(info.st_mode)) entry += " " + platform::sha256Hex(platform::readFile(path));
            if (S_ISLNK(info.st_mode)) entry += " -> " + fs::read_symlink(path).string();
            if (!S_ISLNK(info.st_mode) && platform::hasHiddenExtension(path).value_or(false)) {
                entry += " hidden";
            }
        }
    }
    return state;
}

}  // namespace lumifold::testing
