// Placeholder so the app builds while the controller is written; replaced whole.
#include "app/LumifoldViewModel.h"

namespace lumifold::app {

AppEnvironment AppEnvironment::system() {
    AppEnvironment environment;
    environment.launchAgent = LaunchAgentHost::system(environment.engine.homeDirectory, false);
    environment.commandLineProgram = "/usr/local/bin/lumifold";
    return environment;
}

LumifoldViewModel::LumifoldViewModel(AppEnvironment environment, QObject* parent)
    : QObject(parent), m_environment(std::move(environment)) {}
LumifoldViewModel::~LumifoldViewModel() = default;
QString LumifoldViewModel::watcherStatusText() const { return QStringLiteral("Stopped"); }
void LumifoldViewModel::setRelaunchFinderOnApply(bool) {}
void LumifoldViewModel::setDebounceInterval(double) {}
void LumifoldViewModel::inspect() {}
void LumifoldViewModel::refresh() {}
void LumifoldViewModel::generatePreview() {}
void LumifoldViewModel::apply() {}
void LumifoldViewModel::verify() {}
void LumifoldViewModel::selectBackup(const SnapshotSummary&) {}
void LumifoldViewModel::restore(bool) {}
void LumifoldViewModel::toggleWatcher() {}
void LumifoldViewModel::installLaunchAgent() {}
void LumifoldViewModel::uninstallLaunchAgent() {}

}  // namespace lumifold::app
