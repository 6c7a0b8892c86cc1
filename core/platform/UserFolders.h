#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lumifold::platform {

// The desktop's own names for a home's everyday folders, when the system keeps such a list:
// the desktop, documents, downloads, pictures, videos and music folders, in that order, as
// absolute paths. A folder the list turns off (set to the home itself) is left out. nullopt
// when the home has no such list, so the caller keeps its own defaults. Never throws.
//
// On Linux the list is the home's ~/.config/user-dirs.dirs, whose names may be translated
// ("Bilder") or differ from a Mac home's ("Videos" for "Movies"). A key the file lacks takes
// the usual English name.
std::optional<std::vector<std::string>> desktopUserFolders(const std::string& homeDirectory);

}  // namespace lumifold::platform
