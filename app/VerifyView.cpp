#include "app/VerifyView.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/Group.h"
#include "app/IconText.h"
#include "app/Icons.h"
#include "app/LumifoldViewModel.h"
#include "app/RowModel.h"
#include "app/ScreenParts.h"

namespace lumifold::app {
namespace {

// One of the three summary figures: a caption over its value.
QWidget* figure(const QString& caption, QWidget* value) {
    auto* box = new QFrame;
    box->setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(parts::caption(parts::secondary(new QLabel(caption))));
    layout->addWidget(value);
    return box;
}

}  // namespace

VerifyView::VerifyView(LumifoldViewModel& model, QWidget* parent)
    : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("verifyView"));
    auto* run = parts::button(QStringLiteral("Run Verification"), "checkmark.seal",
                              QStringLiteral("runVerificationButton"));
    connect(run, &QPushButton::clicked, &m_model, &LumifoldViewModel::verify);

    buildEmpty();
    auto* figures = buildFigures();

    m_discrepancies = new Group(QStringLiteral("Global Preference Discrepancies"), "xmark.circle",
                                QStringLiteral("discrepanciesGroup"));
    m_discrepancyLines = parts::text({}, QStringLiteral("discrepancyLines"));
    m_discrepancies->content()->addWidget(m_discrepancyLines);

    buildAudits();

    m_report = new QWidget;
    auto* reportLayout = new QVBoxLayout(m_report);
    reportLayout->setContentsMargins(0, 0, 0, 0);
    reportLayout->addLayout(figures);
    reportLayout->addWidget(m_discrepancies);
    reportLayout->addWidget(m_audits, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(parts::heading(QStringLiteral("Verify Folder Compliance"),
                                     QStringLiteral("Audit Finder preferences and folder "
                                                    "overrides against preferred settings."),
                                     run));
    layout->addWidget(parts::failureLine(m_model, Stage::verify, QStringLiteral("verifyFailure")));
    layout->addWidget(m_empty, 1);
    layout->addWidget(m_report, 1);

    connect(&m_model, &LumifoldViewModel::lastVerificationChanged, this, &VerifyView::showReport);
    showReport();
}

void VerifyView::buildEmpty() {
    m_empty = new QWidget;
    auto* emptyLayout = new QVBoxLayout(m_empty);
    emptyLayout->addStretch(1);
    auto* emptyText =
        parts::secondary(new QLabel(QStringLiteral("No verification report has been run yet.")));
    emptyText->setObjectName(QStringLiteral("verifyEmpty"));
    emptyLayout->addWidget(emptyText, 0, Qt::AlignHCenter);
    auto* runNow = parts::button(QStringLiteral("Run Verification Now"), "checkmark.seal",
                                 QStringLiteral("runVerificationNowButton"));
    connect(runNow, &QPushButton::clicked, &m_model, &LumifoldViewModel::verify);
    emptyLayout->addWidget(runNow, 0, Qt::AlignHCenter);
    emptyLayout->addStretch(2);
}

QHBoxLayout* VerifyView::buildFigures() {
    m_overall = new IconText(QStringLiteral("overallStatus"));
    m_preferences = new IconText(QStringLiteral("globalPreferencesStatus"));
    m_inaccessible = parts::bold(new QLabel);
    m_inaccessible->setObjectName(QStringLiteral("inaccessibleCount"));
    auto* figures = new QHBoxLayout;
    figures->addWidget(figure(QStringLiteral("Overall Status"), m_overall));
    figures->addWidget(figure(QStringLiteral("Global Preferences"), m_preferences));
    figures->addWidget(figure(QStringLiteral("Inaccessible Folders"), m_inaccessible));
    return figures;
}

void VerifyView::buildAudits() {
    m_audits = new Group({}, "folder", QStringLiteral("folderAuditsGroup"));
    m_auditRows = new RowModel(
        {QStringLiteral("Folder"), QStringLiteral("Status")},
        [this] {
            const auto& report = m_model.lastVerification();
            return report ? report->folderResults.size() : std::size_t{0};
        },
        [this](std::size_t row, int column, int role) -> QVariant {
            const FolderVerificationItem& item = m_model.lastVerification()->folderResults[row];
            if (column == 0 && (role == Qt::DisplayRole || role == Qt::ToolTipRole)) {
                return QString::fromStdString(item.path + "\n" + item.notes);  // notes below
            }
            if (column == 1 && role == Qt::DisplayRole) {
                return item.isCompliant() ? QStringLiteral("Compliant")
                                          : QStringLiteral("Drift / Conflict");
            }
            if (column == 1 && role == Qt::DecorationRole) {
                return symbolIcon(item.isCompliant() ? "checkmark.circle.fill"
                                                     : "xmark.circle.fill");
            }
            return {};
        },
        this);
    auto* audits = parts::rowView(m_auditRows, QStringLiteral("folderAuditList"), true);
    audits->setTextElideMode(Qt::ElideRight);
    audits->header()->setStretchLastSection(false);
    audits->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    audits->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    m_audits->content()->addWidget(audits);
}

void VerifyView::showReport() {
    const auto& report = m_model.lastVerification();
    m_empty->setVisible(!report);
    m_report->setVisible(report.has_value());
    m_auditRows->reload();
    if (!report) return;
    if (report->isFullyCompliant()) {
        m_overall->set("checkmark.circle.fill", QStringLiteral("100% Compliant"), parts::green());
    } else {
        m_overall->set("exclamationmark.triangle.fill", QStringLiteral("Attention Required"),
                       parts::orange());
    }
    if (report->finderDefaultsValid) {
        m_preferences->set("checkmark.circle.fill", QStringLiteral("Valid"), parts::green());
    } else {
        m_preferences->set("xmark.circle.fill", QStringLiteral("Mismatch"), parts::red());
    }
    m_inaccessible->setText(QString::number(report->inaccessibleCount));
    QStringList lines;
    for (const auto& line : report->discrepancies) lines << QString::fromStdString(line);
    m_discrepancyLines->setText(lines.join(QLatin1Char('\n')));
    m_discrepancies->setVisible(!lines.isEmpty());
    m_audits->setTitle(QStringLiteral("Folder Audits (%1)").arg(report->folderResults.size()));
}

}  // namespace lumifold::app
