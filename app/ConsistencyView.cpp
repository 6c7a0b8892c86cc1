#include "app/ConsistencyView.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QSlider>
#include <QTreeView>
#include <QVBoxLayout>
#include <cmath>

#include "app/Group.h"
#include "app/IconText.h"
#include "app/Icons.h"
#include "app/LumifoldViewModel.h"
#include "app/RowModel.h"
#include "app/ScreenParts.h"
#include "core/platform/PosixError.h"
#include "core/watcher/DebounceLimits.h"

namespace lumifold::app {

ConsistencyView::ConsistencyView(LumifoldViewModel& model, QWidget* parent)
    : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("consistencyView"));

    auto* watcher = buildWatcher();
    auto* agent = buildAgent();
    auto* folders = buildFolders();

    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->addWidget(parts::heading(QStringLiteral("Keep Consistent Mode"),
                                     QStringLiteral("Optional background enforcement. "
                                                    "Non-polling, debounced, and limited to "
                                                    "selected folders.")));
    column->addWidget(
        parts::failureLine(m_model, Stage::keepConsistent, QStringLiteral("watcherFailure")));
    column->addWidget(watcher);
    column->addWidget(agent);
    column->addWidget(folders, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(parts::scrollable(content));

    connectModel();
}

Group* ConsistencyView::buildWatcher() {
    auto* watcher = new Group(QStringLiteral("Background Watcher Control"), "timer",
                              QStringLiteral("watcherGroup"));
    auto* statusLine = new QHBoxLayout;
    statusLine->addWidget(parts::secondary(new QLabel(QStringLiteral("In-App Watcher Status"))));
    m_watcherStatus = parts::bold(new QLabel);
    m_watcherStatus->setObjectName(QStringLiteral("watcherStatus"));
    statusLine->addWidget(m_watcherStatus, 1, Qt::AlignRight);
    watcher->content()->addLayout(statusLine);
    watcher->content()->addWidget(parts::secondary(parts::text(QStringLiteral(
        "Waits until Finder window activity is quiescent before reconciling overrides. Avoids "
        "fighting user interaction."))));
    m_debounce = new QLabel;
    m_debounce->setObjectName(QStringLiteral("debounceText"));
    QFont medium = m_debounce->font();
    medium.setWeight(QFont::Medium);
    m_debounce->setFont(medium);
    watcher->content()->addWidget(m_debounce);
    m_slider = new QSlider(Qt::Horizontal);
    m_slider->setObjectName(QStringLiteral("debounceSlider"));
    m_slider->setAccessibleName(QStringLiteral("Debounce Interval"));
    m_slider->setRange(static_cast<int>(debounce_limits::kShortestOnScreen),
                       static_cast<int>(debounce_limits::kLongestOnScreen));
    m_slider->setSingleStep(1);
    m_slider->setPageStep(5);
    watcher->content()->addWidget(m_slider);
    m_toggle = new QPushButton;
    m_toggle->setObjectName(QStringLiteral("watcherToggle"));
    watcher->content()->addWidget(m_toggle, 0, Qt::AlignLeft);
    return watcher;
}

Group* ConsistencyView::buildAgent() {
    auto* agent = new Group(QStringLiteral("LaunchAgent Persistence (Optional)"),
                            "gear.badge.checkmark", QStringLiteral("agentGroup"));
    agent->content()->addWidget(parts::text(QStringLiteral(
        "Install a lightweight user LaunchAgent (and, where systemd runs the user's services, a "
        "systemd user unit) to maintain preferred settings even across system reboots.")));
    auto* installedLine = new QHBoxLayout;
    installedLine->addWidget(new QLabel(QStringLiteral("Agent Installed:")));
    m_agentInstalled = parts::bold(new QLabel);
    m_agentInstalled->setObjectName(QStringLiteral("agentInstalled"));
    installedLine->addWidget(m_agentInstalled, 1);
    m_agentButton = new QPushButton;
    m_agentButton->setObjectName(QStringLiteral("agentButton"));
    installedLine->addWidget(m_agentButton);
    agent->content()->addLayout(installedLine);
    m_agentDetails = new QFormLayout;
    const auto detail = [this](const char* label, const char* objectName) {
        QLabel* value = parts::text({}, QString::fromLatin1(objectName));
        m_agentDetails->addRow(QString::fromUtf8(label), value);
        return value;
    };
    m_agentRunning = detail("Running:", "agentRunning");
    m_agentPaused = detail("Paused:", "agentPaused");
    m_agentProgram = detail("Program:", "agentProgram");
    m_agentJob = detail("Job Description:", "agentJob");
    m_agentUnit = detail("systemd User Unit:", "agentUnit");
    agent->content()->addLayout(m_agentDetails);
    m_agentOutcome = new IconText(QStringLiteral("agentMessage"));
    agent->content()->addWidget(m_agentOutcome);
    return agent;
}

Group* ConsistencyView::buildFolders() {
    auto* folders = new Group(QStringLiteral("Monitored Folders"), "folder.badge.gearshape",
                              QStringLiteral("monitoredGroup"));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(font().pointSizeF() * 0.85);
    m_folderRows = new RowModel(
        {QStringLiteral("Folder")}, [this] { return m_model.scannedFolders().size(); },
        [this, mono, check = tintedSymbolIcon("checkmark.circle", parts::green())](
            std::size_t row, int, int role) -> QVariant {
            if (role == Qt::DisplayRole) {
                return QString::fromStdString(m_model.scannedFolders()[row].path);
            }
            if (role == Qt::DecorationRole) return check;
            if (role == Qt::FontRole) return mono;
            return {};
        },
        this);
    auto* folderList = parts::rowView(m_folderRows, QStringLiteral("monitoredFolderList"));
    folderList->setHeaderHidden(true);
    folderList->setMinimumHeight(110);
    folders->content()->addWidget(folderList);
    return folders;
}

void ConsistencyView::connectModel() {
    connect(m_slider, &QSlider::valueChanged, &m_model,
            [this](int seconds) { m_model.setDebounceInterval(seconds); });
    connect(m_toggle, &QPushButton::clicked, &m_model, &LumifoldViewModel::toggleWatcher);
    connect(m_agentButton, &QPushButton::clicked, this, [this] {
        if (m_model.isLoginServiceInstalled()) {
            m_model.uninstallLoginService();
        } else {
            m_model.installLoginService();
        }
    });
    connect(&m_model, &LumifoldViewModel::debounceIntervalChanged, this,
            &ConsistencyView::showDebounce);
    connect(&m_model, &LumifoldViewModel::isWatcherActiveChanged, this,
            &ConsistencyView::showWatcher);
    connect(&m_model, &LumifoldViewModel::watcherStatusTextChanged, this,
            &ConsistencyView::showWatcher);
    connect(&m_model, &LumifoldViewModel::loginServiceStatusChanged, this,
            &ConsistencyView::showAgent);
    connect(&m_model, &LumifoldViewModel::loginServiceOutcomeChanged, this,
            &ConsistencyView::showAgentOutcome);
    connect(&m_model, &LumifoldViewModel::scannedFoldersChanged, m_folderRows, &RowModel::reload);
    showDebounce();
    showWatcher();
    showAgent();
    showAgentOutcome();
}

void ConsistencyView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The service's state changes on its own; not re-read for a window back from being minimised.
    if (!event->spontaneous()) m_model.readLoginServiceStatus();
}

void ConsistencyView::showWatcher() {
    m_watcherStatus->setText(m_model.watcherStatusText());
    m_toggle->setText(m_model.isWatcherActive() ? QStringLiteral("Stop Watcher")
                                                : QStringLiteral("Start Watcher"));
    m_toggle->setAccessibleName(m_toggle->text());
}

void ConsistencyView::showDebounce() {
    const double seconds = m_model.debounceInterval();
    m_debounce->setText(
        QStringLiteral("Debounce Interval: %1 seconds").arg(QString::number(seconds, 'f', 0)));
    const QSignalBlocker quiet(m_slider);  // the model's own value is not a user's move
    m_slider->setValue(static_cast<int>(std::lround(seconds)));
}

// As `lumifold agent status` says it: what is installed, what systemd says of it, whether a
// restore paused Keep Consistent, and where the files and the program are.
void ConsistencyView::showAgent() {
    const auto& status = m_model.loginServiceStatus();
    const bool installed = m_model.isLoginServiceInstalled();
    m_agentInstalled->setText(installed ? QStringLiteral("Yes") : QStringLiteral("No"));
    if (installed) {
        parts::tinted(m_agentInstalled, parts::green());
    } else {
        parts::secondary(m_agentInstalled);
    }
    m_agentButton->setText(installed ? QStringLiteral("Uninstall Agent")
                                     : QStringLiteral("Install LaunchAgent"));
    m_agentButton->setAccessibleName(m_agentButton->text());

    const auto shown = [](const std::string& path) {
        return QString::fromStdString(platform::printable(path));
    };
    m_agentRunning->setText(!installed                       ? QStringLiteral("No")
                            : !status || !status->unitActive ? QStringLiteral("Unknown")
                            : *status->unitActive            ? QStringLiteral("Yes")
                                                             : QStringLiteral("No"));
    m_agentPaused->setText(
        !status || !status->pausedBy ? QStringLiteral("No")
        : status->pausedBy->empty()
            ? QStringLiteral("Yes")
            : QStringLiteral("Yes, since snapshot %1 was restored").arg(shown(*status->pausedBy)));
    // Installed, the program its job starts; else the one an install would write.
    const std::optional<std::string> program =
        installed ? (status ? status->programPath : std::nullopt) : m_model.commandLineProgram();
    m_agentProgram->setText(program ? shown(*program) : QStringLiteral("Unknown"));
    m_agentJob->setText(status ? shown(status->jobDescriptionPath) : QString());
    const bool unit = status && status->unitPath;
    m_agentUnit->setText(unit ? shown(*status->unitPath) : QString());
    m_agentDetails->setRowVisible(m_agentUnit, unit);
}

void ConsistencyView::showAgentOutcome() {
    const auto& outcome = m_model.loginServiceOutcome();
    m_agentOutcome->setVisible(outcome.has_value());
    if (outcome) parts::showOutcome(m_agentOutcome, *outcome);
}

}  // namespace lumifold::app
