#include "tests/support/TempHome.h"

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"

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

std::string TempHome::writeFile(const std::string& relative, ByteView bytes) const {
    const std::string path = *this / relative;
    platform::createDirectories(deletingLastPathComponent(path));
    platform::writeFileAtomically(path, bytes);
    return path;
}

std::string TempHome::writeFile(const std::string& relative, const std::string& text) const {
    return writeFile(relative, asBytes(text));
}

void removeTree(const std::string& path) {
    ::nftw(
        path.c_str(),
        [](const char* entry, const struct stat*, int, struct FTW*) {
            ::chmod(entry, 0700);  // so read-only folders made by tests can be emptied
            ::remove(entry);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace lumifold::testing
