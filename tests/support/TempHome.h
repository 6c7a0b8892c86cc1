#pragma once

#include <sys/resource.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/common/Bytes.h"

namespace lumifold::testing {

// A fresh folder under the temporary directory that stands in for a user's home; removed with
// everything in it when the object goes away. A temporary location escapes only the system
// rules of the exclusion test, so the home's own rules (its Library, its trash) and those for
// bundles and development folders hold in it as in a real home.
class TempHome final {
  public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& path() const { return m_path; }
    // `relative` joined to the home path.
    std::string operator/(const std::string& relative) const;
    // Creates the folder (and parents) and returns its absolute path.
    std::string makeFolder(const std::string& relative) const;
    // Creates the folders the stages choose when given none; their paths.
    std::vector<std::string> makeDefaultFolders() const;
    // Writes a file (creating parent folders) and returns its absolute path.
    std::string writeFile(const std::string& relative, ByteView bytes) const;
    std::string writeFile(const std::string& relative, const std::string& text) const;
    // Puts a symbolic link to `target` at `relative`, in place of whatever is there, and returns
    // its absolute path; throws when it cannot.
    std::string link(const std::string& target, const std::string& relative) const;

  private:
    std::string m_path;
};

// Makes the folder `path` refuse new entries, even to root, while it lives: immutable (as root
// only). `failure()` says why not where that cannot be done.
class UnwritableFolder final {
  public:
    explicit UnwritableFolder(std::string path);
    ~UnwritableFolder();
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;

    const std::optional<std::string>& failure() const { return m_failure; }

  private:
    std::string m_path;
    std::optional<std::string> m_failure;
};

// Lets the process open no more than `more` files beyond those it has open, while it lives: work
// over thousands of folders must not hold them all open.
class FewDescriptors final {
  public:
    explicit FewDescriptors(unsigned more);
    ~FewDescriptors();
    FewDescriptors(const FewDescriptors&) = delete;
    FewDescriptors& operator=(const FewDescriptors&) = delete;

  private:
    rlimit m_before{};
};

// Removes a tree without following symbolic links; errors are ignored.
void removeTree(const std::string& path);

// What a stage may change under `root`, by path, for comparing before and after: each entry's
// permission bits, with the checksum of a file, the target of a link, and " hidden" when its
// hidden-extension flag is set. An entry `skip` holds is left out with everything below it.
using TreeState = std::map<std::string, std::string>;
TreeState treeState(const std::string& root,
                    const std::function<bool(const std::string&)>& skip = {});

}  // namespace lumifold::testing
