#include "core/inspection/SystemInspector.h"

#include <utility>

#include "core/preferences/FinderPreferencesManager.h"

namespace lumifold {

SystemInspectorHost SystemInspectorHost::system() {
    return {.systemVersion = platform::SystemVersion::system()};
}

SystemInspector::SystemInspector(std::string homeDirectory, SystemInspectorHost host)
    : m_homeDirectory(std::move(homeDirectory)), m_host(std::move(host)) {}

SystemEnvironmentInfo SystemInspector::inspect(std::optional<std::string> preferencesPath,
                                               bool readsPreferences) const {
    SystemEnvironmentInfo info;
    const platform::OperatingSystemVersion version = m_host.systemVersion.version();
    info.osVersion = std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
                     std::to_string(version.patch);
    const std::optional<std::string> build = m_host.systemVersion.build();
    info.buildVersion = build.value_or(kUnknown);
    const std::string machine = m_host.systemVersion.machine();
    info.architecture = machine.empty() ? kUnknown : machine;
    info.description = m_host.systemVersion.name() + (build ? " (build " + *build + ")" : "") +
                       ", " + info.architecture;
    info.supportedAPIsSummary = supportedAPIsSummary();
    info.undocumentedFieldsSummary = undocumentedFieldsSummary();
    if (!readsPreferences) {
        info.finderDefaultsProblem = kPreferencesNotRead;
        info.defaultGridSpacing = kDefaultGridSpacing;
        return info;
    }
    const FinderPreferencesManager manager(std::move(preferencesPath), m_homeDirectory);
    const PreferencesFile file = manager.readPreferencesFile();
    // The values standing in for a file that cannot be read are the target's, not the Finder's.
    const FinderLayoutPreferences current = manager.currentPreferences(file);
    info.finderDefaultsProblem = file.problem;
    if (!file.problem) info.currentFinderDefaults = current;
    info.defaultGridSpacing = current.gridSpacing;
    return info;
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
