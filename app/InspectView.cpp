#include "app/InspectView.h"

#include <QGridLayout>
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

enum Column { kFolder, kBadges };

QString badges(const FolderViewSetting& folder) {
    QStringList badges;
    if (folder.isSymlink) badges << QStringLiteral("Symlink");
    if (folder.isCloudPlaceholder) badges << QStringLiteral("iCloud");
    return badges.join(QLatin1Char(' '));
}

QVariant badgeTint(const FolderViewSetting& folder) {
    if (!folder.isSymlink && !folder.isCloudPlaceholder) return {};
    QColor tint = folder.isSymlink ? QColor(Qt::blue) : QColor(0x80, 0x00, 0xc0);
    tint.setAlphaF(0.15F);
    return tint;
}

// The path, and below it the reasons it conflicts, one per line, or that it does not.
QString pathAndReasons(const FolderViewSetting& folder) {
    QStringList lines{QString::fromStdString(folder.path)};
    for (const auto& reason : folder.conflictReasons) lines << QString::fromStdString(reason);
    if (folder.conflictReasons.empty()) lines << QStringLiteral("Consistent with preferred layout");
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

InspectView::InspectView(LumifoldViewModel& model, QWidget* parent)
    : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("inspectView"));
    auto* rescan =
        parts::button(QStringLiteral("Re-Scan"), "arrow.clockwise", QStringLiteral("rescanButton"));
    connect(rescan, &QPushButton::clicked, &m_model, &LumifoldViewModel::inspect);

    auto* environment = buildEnvironment();
    buildFolders();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(parts::heading(QStringLiteral("System & Finder Inspection"),
                                     QStringLiteral("Actual macOS version, current defaults, and "
                                                    "folder override status."),
                                     rescan));
    layout->addWidget(
        parts::failureLine(m_model, Stage::inspect, QStringLiteral("inspectFailure")));
    layout->addWidget(environment);
    layout->addWidget(m_folders, 1);

    connect(&m_model, &LumifoldViewModel::systemInfoChanged, this, &InspectView::showSystemInfo);
    connect(&m_model, &LumifoldViewModel::scannedFoldersChanged, this, &InspectView::showFolders);
    showSystemInfo();
    showFolders();
}

Group* InspectView::buildEnvironment() {
    auto* environment = new Group(QStringLiteral("Environment & Preferred Layout"),
                                  "macbook.and.iphone", QStringLiteral("environmentGroup"));
    auto* osLine = new QHBoxLayout;
    osLine->addWidget(parts::bold(new QLabel(QStringLiteral("macOS:"))));
    m_environment = parts::secondary(parts::text({}, QStringLiteral("environmentText")));
    osLine->addWidget(m_environment, 1);
    environment->content()->addLayout(osLine);
    environment->content()->addWidget(
        parts::bold(new QLabel(QStringLiteral("Target Preferences:"))));

    m_gridSpacing = new QLabel;
    m_gridSpacing->setObjectName(QStringLiteral("gridSpacingLine"));
    const QList<QLabel*> lines{
        new QLabel(QStringLiteral("• View: Icon View (icnv)")),
        new QLabel(QStringLiteral("• Group By: None")),
        new QLabel(QStringLiteral("• Sort By: Kind")),
        new QLabel(QStringLiteral("• Icon Size: 44 × 44")),
        m_gridSpacing,
        new QLabel(QStringLiteral("• Text Size: 12")),
        new QLabel(QStringLiteral("• Labels: Below Icons")),
        new QLabel(QStringLiteral("• Item Info: Off")),
        new QLabel(QStringLiteral("• Previews: On")),
        new QLabel(QStringLiteral("• Background: Default")),
        new QLabel(QStringLiteral("• File Extensions: Hidden")),
    };
    // Two columns, read down then across, keep the folder list in view on a small window.
    auto* grid = new QGridLayout;
    const int perColumn = static_cast<int>((lines.size() + 1) / 2);
    for (int i = 0; i < lines.size(); ++i) grid->addWidget(lines[i], i % perColumn, i / perColumn);
    environment->content()->addLayout(grid);
    return environment;
}

void InspectView::buildFolders() {
    m_folders = new Group({}, "folder", QStringLiteral("foldersGroup"));
    m_folderRows = new RowModel(
        {QStringLiteral("Folder"), QString()}, [this] { return m_model.scannedFolders().size(); },
        [this](std::size_t row, int column, int role) -> QVariant {
            const FolderViewSetting& folder = m_model.scannedFolders()[row];
            if (column == kFolder && (role == Qt::DisplayRole || role == Qt::ToolTipRole)) {
                return pathAndReasons(folder);
            }
            if (column == kFolder && role == Qt::DecorationRole) {
                return symbolIcon(folder.conflicting ? "exclamationmark.triangle.fill"
                                                     : "checkmark.circle.fill");
            }
            if (column == kBadges && role == Qt::DisplayRole) return badges(folder);
            if (column == kBadges && role == Qt::BackgroundRole) return badgeTint(folder);
            return {};
        },
        this);
    auto* folderList = parts::rowView(m_folderRows, QStringLiteral("scannedFolderList"), true);
    folderList->setTextElideMode(Qt::ElideRight);
    folderList->header()->setStretchLastSection(false);
    folderList->header()->setSectionResizeMode(kFolder, QHeaderView::Stretch);
    folderList->header()->setSectionResizeMode(kBadges, QHeaderView::ResizeToContents);
    m_folders->content()->addWidget(folderList);
}

void InspectView::showSystemInfo() {
    const auto& info = m_model.systemInfo();
    if (!info) {
        m_environment->clear();
        m_gridSpacing->setText(QStringLiteral("• Grid Spacing: (saved default)"));
        return;
    }
    m_environment->setText(QString::fromStdString(info->description));
    m_gridSpacing->setText(QStringLiteral("• Grid Spacing: %1 (saved default)")
                               .arg(QString::number(info->defaultGridSpacing, 'f', 0)));
}

void InspectView::showFolders() {
    m_folders->setTitle(
        QStringLiteral("Scanned Default Folders (%1)").arg(m_model.scannedFolders().size()));
    m_folderRows->reload();
}

}  // namespace lumifold::app
