#include "app/RestoreView.h"

#include <QCheckBox>
#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QShowEvent>
#include <QTreeView>
#include <QVBoxLayout>
#include <chrono>

#include "app/ButtonDelegate.h"
#include "app/Group.h"
#include "app/IconText.h"
#include "app/Icons.h"
#include "app/LumifoldViewModel.h"
#include "app/RowModel.h"
#include "app/ScreenParts.h"
#include "core/platform/PosixError.h"

namespace lumifold::app {
namespace {

enum SnapshotColumn { kId, kDate, kSelect };

QString dateText(std::chrono::system_clock::time_point createdAt) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(createdAt.time_since_epoch()).count();
    return QLocale().toString(QDateTime::fromSecsSinceEpoch(seconds), QLocale::ShortFormat);
}

// A file below the home as "~/..." (the per-host files differ only past where a long path is
// cut), any other as it is.
QString shownPath(const std::string& path, const std::string& home) {
    const bool below = !home.empty() && path.size() > home.size() &&
                       path.compare(0, home.size(), home) == 0 &&
                       (home.back() == '/' || path[home.size()] == '/');
    const std::string shown =
        below ? "~/" + path.substr(home.size() + (home.back() == '/' ? 0 : 1)) : path;
    return QString::fromStdString(platform::printable(shown));
}

}  // namespace

RestoreView::RestoreView(LumifoldViewModel& model, QWidget* parent)
    : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("restoreView"));

    buildSnapshots();
    buildEvaluation();

    m_outcome = new IconText(QStringLiteral("restoreOutcome"));
    m_restore = parts::button(QStringLiteral("Restore Snapshot"), "arrow.counterclockwise",
                              QStringLiteral("restoreButton"));
    m_restore->setMinimumHeight(34);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(parts::heading(
        QStringLiteral("Restore & Rollback"),
        QStringLiteral(
            "Revert settings to any previous snapshot. Detects changes made since backup.")));
    layout->addWidget(m_noSnapshots);
    layout->addWidget(m_snapshots, 1);
    layout->addWidget(m_noFiles);
    layout->addWidget(m_evaluation, 1);
    layout->addWidget(m_outcome);
    layout->addWidget(m_restore);
    layout->addStretch();  // takes the room only while both groups are hidden

    connectModel();
}

void RestoreView::buildSnapshots() {
    m_snapshots = new Group({}, "clock.arrow.circlepath", QStringLiteral("snapshotsGroup"));
    m_noSnapshots =
        parts::secondary(parts::text(QStringLiteral("No backups found in ~/.lumifold/backups/."),
                                     QStringLiteral("noSnapshots")));
    m_snapshotRows = new RowModel(
        {QStringLiteral("Snapshot"), QStringLiteral("Date"), QString()},
        [this] { return m_model.availableBackups().size(); },
        [this](std::size_t row, int column, int role) -> QVariant {
            const SnapshotSummary& backup = m_model.availableBackups()[row];
            if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole) return {};
            if (column == kId) return QString::fromStdString(backup.id);
            if (column == kDate) return QStringLiteral("Date: ") + dateText(backup.createdAt);
            const bool selected =
                m_model.selectedBackup() && m_model.selectedBackup()->id == backup.id;
            return selected ? QStringLiteral("Selected") : QStringLiteral("Select");
        },
        this);
    m_snapshotList = parts::rowView(m_snapshotRows, QStringLiteral("snapshotList"));
    m_snapshotList->setColumnWidth(kId, 200);
    m_snapshotList->setColumnWidth(kDate, 200);
    m_snapshotList->header()->setStretchLastSection(false);
    m_snapshotList->header()->setSectionResizeMode(kDate, QHeaderView::Stretch);
    m_snapshotList->header()->setSectionResizeMode(kSelect, QHeaderView::ResizeToContents);
    auto* selectButtons = new ButtonDelegate(m_snapshotList);
    m_snapshotList->setItemDelegateForColumn(kSelect, selectButtons);
    connect(selectButtons, &ButtonDelegate::clicked, this,
            [this](const QModelIndex& index) { selectRow(index.row()); });
    // Enter or a double click on a row is the keyboard's way to press its button.
    connect(m_snapshotList, &QTreeView::activated, this,
            [this](const QModelIndex& index) { selectRow(index.row()); });
    m_snapshots->content()->addWidget(m_snapshotList);
}

void RestoreView::buildEvaluation() {
    m_evaluation = new Group(QStringLiteral("Integrity & Drift Evaluation"), "shield",
                             QStringLiteral("evaluationGroup"));
    m_evaluationRows = new RowModel(
        {QStringLiteral("File"), QStringLiteral("Status")},
        [this] {
            const auto& evaluation = m_model.restoreEvaluation();
            return evaluation ? evaluation->items.size() : std::size_t{0};
        },
        [this](std::size_t row, int column, int role) -> QVariant {
            const RestoreEvaluationItem& item = m_model.restoreEvaluation()->items[row];
            if (role == Qt::DisplayRole) {
                return column == 0 ? shownPath(item.originalPath, m_model.homeDirectory())
                                   : QString::fromStdString(item.statusDescription);
            }
            if (role == Qt::ToolTipRole && column == 0) {
                return QString::fromStdString(platform::printable(item.originalPath));
            }
            if (role == Qt::DecorationRole && column == 1) {
                return symbolIcon(item.isModifiedSinceBackup ? "exclamationmark.triangle.fill"
                                                             : "checkmark.circle.fill");
            }
            return {};
        },
        this);
    auto* evaluationList = parts::rowView(m_evaluationRows, QStringLiteral("evaluationList"));
    evaluationList->setColumnWidth(0, 290);
    m_verdict = new IconText(QStringLiteral("evaluationVerdict"));
    m_forceToggle =
        new QCheckBox(QStringLiteral("Force restore (overwrite post-backup modifications)"));
    m_forceToggle->setObjectName(QStringLiteral("forceToggle"));
    m_forceToggle->setAccessibleName(m_forceToggle->text());
    m_evaluation->content()->addWidget(evaluationList);
    m_evaluation->content()->addWidget(m_verdict);
    m_evaluation->content()->addWidget(m_forceToggle);
    m_noFiles = parts::secondary(
        parts::text(QStringLiteral("This snapshot holds no files: there is nothing to evaluate."),
                    QStringLiteral("evaluationEmpty")));
}

void RestoreView::connectModel() {
    connect(m_forceToggle, &QCheckBox::toggled, this, [this](bool on) {
        m_force = on;
        showForce();
    });
    connect(m_restore, &QPushButton::clicked, this, [this] { m_model.restore(m_force); });
    connect(&m_model, &LumifoldViewModel::availableBackupsChanged, this,
            &RestoreView::showSnapshots);
    connect(&m_model, &LumifoldViewModel::selectedBackupChanged, this, [this] {
        m_forceToggle->setChecked(false);
        showSnapshots();
    });
    connect(&m_model, &LumifoldViewModel::restoreEvaluationChanged, this,
            &RestoreView::showEvaluation);
    connect(&m_model, &LumifoldViewModel::restoreOutcomeChanged, this, &RestoreView::showOutcome);
    showSnapshots();
    showEvaluation();
    showForce();
    showOutcome();
}

void RestoreView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The files may have changed while another section was shown; not so while minimised.
    if (!event->spontaneous()) m_model.evaluateSelectedBackup();
}

void RestoreView::selectRow(int row) {
    const auto& backups = m_model.availableBackups();
    if (row >= 0 && static_cast<std::size_t>(row) < backups.size()) {
        m_model.selectBackup(backups[static_cast<std::size_t>(row)]);
    }
}

void RestoreView::showSnapshots() {
    const std::size_t count = m_model.availableBackups().size();
    m_snapshots->setTitle(QStringLiteral("Available Snapshots (%1)").arg(count));
    m_snapshotRows->reload();
    m_snapshots->setVisible(count > 0);
    m_noSnapshots->setVisible(count == 0);
    m_restore->setVisible(count > 0);  // nothing to restore: no button that does nothing
}

void RestoreView::showEvaluation() {
    const auto& evaluation = m_model.restoreEvaluation();
    const bool empty = evaluation && evaluation->items.empty();
    m_evaluation->setVisible(evaluation && !empty);
    m_noFiles->setVisible(empty);
    m_evaluationRows->reload();
    const bool drifted = evaluation && evaluation->hasModifications();
    m_forceToggle->setVisible(drifted);
    if (drifted) {
        m_verdict->set("exclamationmark.triangle.fill",
                       QStringLiteral("Changes detected since this backup was taken! Some files "
                                      "were modified by another app or user."),
                       parts::orange());
    } else {
        m_verdict->set("checkmark.circle.fill",
                       QStringLiteral("All files match post-backup hashes. Safe to restore."),
                       parts::green());
    }
}

void RestoreView::showOutcome() {
    const auto& outcome = m_model.restoreOutcome();
    m_outcome->setVisible(outcome.has_value());
    if (outcome) parts::showOutcome(m_outcome, *outcome);
}

void RestoreView::showForce() {
    m_restore->setText(m_force ? QStringLiteral("Force Restore Snapshot")
                               : QStringLiteral("Restore Snapshot"));
    m_restore->setAccessibleName(m_restore->text());
}

}  // namespace lumifold::app
