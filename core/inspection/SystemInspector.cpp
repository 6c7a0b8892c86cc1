#include "core/inspection/SystemInspector.h"

#include <utility>

#include "core/preferences/FinderPreferencesManager.h"

namespace lumifold {

SystemInspectorHost SystemInspectorHost::system() {
    return {.systemVersion = platform::SystemVersion::system()};
}

SystemInspector::SystemInspector(std::string homeDirectory, SystemInspectorHost host)
    : m_homeDirectory(std::move(homeDirectory)), m_host(std::move(host)) {}

SystemEnvironmentInfo SystemInspector::inspect(std::optional<std::string> preferencesPath) const {
    SystemEnvironmentInfo info;
    const platform::OperatingSystemVersion version = m_host.systemVersion.version();
    info.osVersion = std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
                     std::to_string(version.patch);
    info.buildVersion = m_host.systemVersion.build().value_or(kUnknownBuild);
    info.architecture = architecture();
    const FinderPreferencesManager manager(std::move(preferencesPath), m_homeDirectory);
    const PreferencesFile file = manager.readPreferencesFile();
    // The values standing in for a file that cannot be read are the target's, not the Finder's.
    const FinderLayoutPreferences current = manager.currentPreferences(file);
    info.finderDefaultsProblem = file.problem;
    if (!file.problem) info.currentFinderDefaults = current;
    info.defaultGridSpacing = current.gridSpacing;
    info.supportedAPIsSummary = supportedAPIsSummary();
    info.undocumentedFieldsSummary = undocumentedFieldsSummary();
    return info;
}

std::string SystemInspector::architecture() {
    // Fixed when the program is built: the family of the processor the compiler targeted in
    // words, then the architecture's own name in parentheses.
#if defined(__x86_64__) || defined(_M_X64)
    return "Intel (x86_64)";
#elif defined(__aarch64__) || defined(_M_ARM64)
    return "ARM (arm64)";
#elif defined(__i386__) || defined(_M_IX86)
    return "Intel (i386)";
#elif defined(__arm__)
    return "ARM (arm)";
#elif defined(__riscv) && __riscv_xlen == 64
    return "RISC-V (riscv64)";
#elif defined(__powerpc64__)
    return "PowerPC (ppc64)";
#else
    return "Unknown";
#endif
}

const std::vector<std::string>& SystemInspector::supportedAPIsSummary() {
    static const std::vector<std::string> kSummary = {
        "CFPreferences / UserDefaults (domain: com.apple.finder)",
        "FXPreferredViewStyle: global view style (icnv = icon, clmv = column, Nlsv = list, Flwv "
        "= gallery)",
        "FXArrangeGroupViewBy: grouping style (None, Kind, Name, Date Modified)",
        "StandardViewSettings.IconViewSettings: default icon size, text size, label placement, "
        "item info, preview",
        "FK_StandardViewSettings: default file picker (NSOpenPanel/NSSavePanel) view options",
        "DesktopViewSettings: desktop workspace icon view parameters",
        "AppleShowAllExtensions: global filename extension visibility in NSGlobalDomain & "
        "com.apple.finder",
        "URLResourceKey.hasHiddenExtensionKey: per-file extension visibility flag in file system "
        "metadata",
    };
    return kSummary;
}

const std::vector<std::string>& SystemInspector::undocumentedFieldsSummary() {
    static const std::vector<std::string> kSummary = {
        ".DS_Store binary buddy allocator & B-tree format (Apple proprietary Desktop Services "
        "Store)",
        "vstl (FourCC type): folder-level view style override (icnv, Nlsv, clmv, Flwv)",
        "icvp (blob / binary plist): folder-level icon view options override dictionary",
        "lsvp / lsvC / lsvP (blob / binary plist): folder-level list view column/sorting "
        "overrides",
        "bwsp (blob / binary plist): window bounds, sidebar and status bar visibility",
        "cmmt (ustr): Spotlight / Finder file comments (MUST BE PRESERVED)",
        "Iloc (blob): custom icon positions (MUST BE PRESERVED)",
        "dilc (blob): desktop icon layout coordinates (MUST BE PRESERVED)",
    };
    return kSummary;
}

}  // namespace lumifold
