#include "app/ApplyView.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

#include "app/Group.h"
#include "app/IconText.h"
#include "app/LumifoldViewModel.h"
#include "app/ScreenParts.h"
#include "core/finder/FinderCoordinator.h"

namespace lumifold::app {

ApplyView::ApplyView(LumifoldViewModel& model, QWidget* parent) : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("applyView"));

    auto* finder = buildFinder();

    auto* backup = new Group(QStringLiteral("Backup & Integrity Safeguard"), "lock.shield",
                             QStringLiteral("backupGroup"));
    for (const char* line :
         {"• Every preference file and .DS_Store file is backed up before any byte is modified.",
          "• SHA-256 checksums are calculated and logged into ~/.lumifold/backups/.",
          "• Changes can be reverted safely at any time via the Restore tab."}) {
        backup->content()->addWidget(parts::text(QString::fromUtf8(line)));
    }

    buildLastRun();

    m_error = parts::failureLine(m_model, Stage::apply, QStringLiteral("applyError"));
    m_apply = parts::button(QStringLiteral("Apply Preferred Layout"), "play.fill",
                            QStringLiteral("applyButton"));
    m_apply->setDefault(true);
    m_apply->setMinimumHeight(34);
    QFont font = m_apply->font();
    font.setBold(true);
    m_apply->setFont(font);

    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->addWidget(parts::heading(
        QStringLiteral("Apply Preferred Layout"),
        QStringLiteral(
            "Creates a safe backup, writes preferences, and reconciles folder overrides.")));
    column->addWidget(finder);
    column->addWidget(backup);
    column->addWidget(m_lastRun);
    column->addWidget(m_error);
    column->addWidget(m_apply);
    column->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(parts::scrollable(content));

    connectModel();
}

Group* ApplyView::buildFinder() {
    auto* finder = new Group(QStringLiteral("Finder Coordination & Safety"),
                             "arrow.clockwise.circle", QStringLiteral("finderGroup"));
    finder->content()->addWidget(
        parts::secondary(parts::text(QString::fromUtf8(FinderCoordinator::cacheExplanation))));
    m_relaunch = new QCheckBox(QStringLiteral("Relaunch Finder automatically to flush cache"));
    m_relaunch->setObjectName(QStringLiteral("relaunchToggle"));
    m_relaunch->setAccessibleName(m_relaunch->text());
    finder->content()->addWidget(m_relaunch);
    m_transfers = new IconText(QStringLiteral("transferLine"));
    finder->content()->addWidget(m_transfers);
    return finder;
}

void ApplyView::buildLastRun() {
    m_lastRun = new Group(QStringLiteral("Last Applied Run"), "checkmark.circle.fill",
                          QStringLiteral("lastRunGroup"));
    m_backupId = parts::text({}, QStringLiteral("lastRunBackupId"));
    m_filesBackedUp = parts::text({}, QStringLiteral("lastRunFilesBackedUp"));
    m_changesExecuted = parts::text({}, QStringLiteral("lastRunChangesExecuted"));
    for (QLabel* label : {m_backupId, m_filesBackedUp, m_changesExecuted}) {
        m_lastRun->content()->addWidget(label);
    }
}

void ApplyView::connectModel() {
    connect(m_relaunch, &QCheckBox::toggled, &m_model,
            &LumifoldViewModel::setRelaunchFinderOnApply);
    connect(&m_model, &LumifoldViewModel::relaunchFinderOnApplyChanged, this,
            [this] { m_relaunch->setChecked(m_model.relaunchFinderOnApply()); });
    connect(m_apply, &QPushButton::clicked, &m_model, &LumifoldViewModel::apply);
    connect(&m_model, &LumifoldViewModel::hasActiveTransfersChanged, this,
            &ApplyView::showTransfers);
    connect(&m_model, &LumifoldViewModel::lastManifestChanged, this, &ApplyView::showLastRun);
    connect(&m_model, &LumifoldViewModel::isWorkingChanged, this, &ApplyView::showWorking);
    m_relaunch->setChecked(m_model.relaunchFinderOnApply());
    showTransfers();
    showLastRun();
    showWorking();
}

void ApplyView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A window coming back from being minimised is not the user opening this section.
    if (!event->spontaneous()) m_model.refresh();
}

void ApplyView::showTransfers() {
    if (m_model.hasActiveTransfers()) {
        m_transfers->set("exclamationmark.octagon.fill",
                         QStringLiteral("Active file transfer detected! Finder cannot be safely "
                                        "relaunched right now."),
                         parts::orange());
    } else {
        m_transfers->set("checkmark.shield",
                         QStringLiteral("No active file transfers in Finder. Safe to relaunch."),
                         parts::green());
    }
}

void ApplyView::showLastRun() {
    const auto& manifest = m_model.lastManifest();
    m_lastRun->setVisible(manifest.has_value());
    if (!manifest) return;
    m_backupId->setText(QStringLiteral("Backup ID: ") + QString::fromStdString(manifest->id));
    // The preferences file is one of the files backed up.
    m_filesBackedUp->setText(QStringLiteral("Files Backed Up: %1").arg(manifest->storeCount + 1));
    m_changesExecuted->setText(QStringLiteral("Changes Executed: %1").arg(manifest->changeCount));
}

// Any stage holds the button: a press would be dropped. It names only what concerns it.
void ApplyView::showWorking() {
    const auto& stage = m_model.runningStage();
    m_apply->setEnabled(!stage);
    m_apply->setText(stage == Stage::apply     ? QStringLiteral("Applying...")
                     : stage == Stage::refresh ? QStringLiteral("Refreshing...")
                                               : QStringLiteral("Apply Preferred Layout"));
    m_apply->setAccessibleName(m_apply->text());
}

}  // namespace lumifold::app
