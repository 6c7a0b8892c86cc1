#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/inspection/SystemEnvironmentInfo.h"
#include "core/platform/FileSystem.h"
#include "core/platform/Process.h"

namespace lumifold {

// What the inspector needs from the world. Tests replace the child process; system() runs it.
struct SystemInspectorHost {
    std::function<platform::ProcessResult(const std::string& path,
                                          const std::vector<std::string>& args)>
        runProcess;

    static SystemInspectorHost system();
};

// Describes the machine for the Inspect stage: system version and build, processor, the
// Finder's current global defaults and two fixed reference lists. Reads only; holds nothing
// that changes between calls.
class SystemInspector final {
  public:
    static constexpr const char* kSwVersPath = "/usr/bin/sw_vers";
    static constexpr const char* kUnknownBuild = "Unknown";

    // `homeDirectory` locates the Finder's preferences when inspect() is given no path.
    explicit SystemInspector(std::string homeDirectory = platform::homeDirectory(),
                             SystemInspectorHost host = SystemInspectorHost::system());
    SystemInspector(const SystemInspector&) = delete;
    SystemInspector& operator=(const SystemInspector&) = delete;

    // Never throws. Blocks while sw_vers runs.
    SystemEnvironmentInfo inspect(std::optional<std::string> preferencesPath = std::nullopt) const;

    // The build identifier in sw_vers output: the UTF-8 text trimmed of white space and line
    // breaks; "Unknown" when the program did not start, printed nothing but white space, or
    // printed something that is not UTF-8.
    static std::string buildVersionFrom(const platform::ProcessResult& result);

    // The processor this program was compiled for, as display text.
    static std::string architecture();

    static const std::vector<std::string>& supportedAPIsSummary();
    static const std::vector<std::string>& undocumentedFieldsSummary();

  private:
    std::string m_homeDirectory;
    SystemInspectorHost m_host;
};

}  // namespace lumifold
