#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/inspection/SystemEnvironmentInfo.h"
#include "core/platform/FileSystem.h"
#include "core/platform/SystemVersion.h"

namespace lumifold {

// What the inspector needs from the world. Tests replace the system's version; system() asks it.
struct SystemInspectorHost {
    platform::SystemVersion systemVersion;

    static SystemInspectorHost system();
};

// Describes the machine for the Inspect stage: system version and build, the machine's own
// processor architecture (never the one the program was compiled for), the
// Finder's current global defaults and two fixed reference lists. Reads only; holds nothing
// that changes between calls.
class SystemInspector final {
  public:
    static constexpr const char* kUnknown = "Unknown";

    // `homeDirectory` locates the Finder's preferences when inspect() is given no path.
    explicit SystemInspector(std::string homeDirectory = platform::homeDirectory(),
                             SystemInspectorHost host = SystemInspectorHost::system());
    SystemInspector(const SystemInspector&) = delete;
    SystemInspector& operator=(const SystemInspector&) = delete;

    // Never throws. Blocks while the system's version is asked (a Mac runs sw_vers). The build
    // is "Unknown" when the system names none, as is an architecture it cannot say. Without
    // `readsPreferences` the Finder's defaults are not read; finderDefaultsProblem says so.
    SystemEnvironmentInfo inspect(std::optional<std::string> preferencesPath = std::nullopt,
                                  bool readsPreferences = true) const;
    static constexpr const char* kPreferencesNotRead =
        "not read: working on the folders alone, since they are each Mac user's own";

    static const std::vector<std::string>& supportedAPIsSummary();
    static const std::vector<std::string>& undocumentedFieldsSummary();

  private:
    std::string m_homeDirectory;
    SystemInspectorHost m_host;
};

}  // namespace lumifold
