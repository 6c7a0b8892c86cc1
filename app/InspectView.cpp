#include "app/InspectView.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <map>

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

// What a layout key is called on screen, and its value as words ("\"date-added\"" is
// "Date Added", 44 as an icon size "44 × 44").
QString keyTitle(const std::string& key) {
    static const std::map<std::string, QString> titles{
        {"view", QStringLiteral("View")},
        {"group-by", QStringLiteral("Group By")},
        {"arrange-by", QStringLiteral("Sort By")},
        {"icon-size", QStringLiteral("Icon Size")},
        {"grid-spacing", QStringLiteral("Grid Spacing")},
        {"text-size", QStringLiteral("Text Size")},
        {"labels", QStringLiteral("Labels")},
        {"item-info", QStringLiteral("Item Info")},
        {"icon-preview", QStringLiteral("Previews")},
        {"hide-extensions", QStringLiteral("File Extensions")}};
    const auto found = titles.find(key);
    return found == titles.end() ? QString::fromStdString(key) : found->second;
}

QString valueWords(const LayoutLine& line) {
    QString value = QString::fromStdString(line.value);
    if (value.startsWith(QLatin1Char('"'))) value = value.mid(1, value.size() - 2);
    const bool on = value == QStringLiteral("true");
    if (line.key == "view") {
        static const std::map<QString, QString> views{
            {QStringLiteral("icon"), QStringLiteral("Icon View (icnv)")},
            {QStringLiteral("list"), QStringLiteral("List View (Nlsv)")},
            {QStringLiteral("column"), QStringLiteral("Column View (clmv)")},
            {QStringLiteral("gallery"), QStringLiteral("Gallery View (Flwv)")}};
        const auto found = views.find(value);
        return found == views.end() ? value : found->second;
    }
    if (line.key == "icon-size") return value + QStringLiteral(" × ") + value;
    if (line.key == "labels") {
        return value == QStringLiteral("bottom") ? QStringLiteral("Below Icons")
                                                 : QStringLiteral("Right of Icons");
    }
    if (line.key == "hide-extensions")
        return on ? QStringLiteral("Hidden") : QStringLiteral("Shown");
    if (value == QStringLiteral("true") || value == QStringLiteral("false")) {
        return on ? QStringLiteral("On") : QStringLiteral("Off");
    }
    QStringList words = value.split(QLatin1Char('-'));
    for (QString& word : words) word[0] = word[0].toUpper();
    return words.join(QLatin1Char(' '));
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
    connect(&m_model, &LumifoldViewModel::layoutChanged, this, &InspectView::showLayout);
    connect(&m_model, &LumifoldViewModel::scannedFoldersChanged, this, &InspectView::showFolders);
    showSystemInfo();
    showLayout();
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

    m_layoutSource = parts::secondary(parts::text({}, QStringLiteral("layoutSource")));
    environment->content()->addWidget(m_layoutSource);
    m_layoutProblem = parts::tinted(parts::text({}, QStringLiteral("layoutProblem")), parts::red());
    m_layoutProblem->setWordWrap(true);
    m_layoutProblem->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_layoutProblem->hide();
    environment->content()->addWidget(m_layoutProblem);
    for (const std::string_view key : kLayoutKeys) {
        auto* line = new QLabel;
        line->setObjectName(QString::fromStdString("layoutLine-" + std::string(key)));
        m_layoutLines << line;
    }
    m_gridSpacing = m_layoutLines[4];
    m_gridSpacing->setObjectName(QStringLiteral("gridSpacingLine"));
    QList<QLabel*> lines = m_layoutLines;
    lines.insert(lines.size() - 1, new QLabel(QStringLiteral("• Background: Default")));
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
        return;
    }
    m_environment->setText(QString::fromStdString(info->description));
}

void InspectView::showLayout() {
    const auto& layout = m_model.layout();
    m_layoutProblem->setVisible(layout && layout->problem);
    if (!layout) {
        m_layoutSource->clear();
        for (int i = 0; i < m_layoutLines.size(); ++i) {
            m_layoutLines[i]->setText(
                QStringLiteral("• %1:").arg(keyTitle(std::string(kLayoutKeys[i]))));
        }
        return;
    }
    m_layoutSource->setText(QString::fromStdString(layout->source) +
                            (layout->rules > 0
                                 ? QStringLiteral(", with %1 folder rule%2 (lumifold layout show)")
                                       .arg(layout->rules)
                                       .arg(layout->rules == 1 ? "" : "s")
                                 : QString()));
    if (layout->problem) {
        m_layoutProblem->setText(QString::fromStdString(*layout->problem) +
                                 QStringLiteral("\nApply and Keep Consistent write nothing until "
                                                "it is mended."));
    }
    for (int i = 0; i < m_layoutLines.size() && i < static_cast<int>(layout->lines.size()); ++i) {
        const LayoutLine& line = layout->lines[static_cast<std::size_t>(i)];
        const QString origin = QString::fromStdString(line.origin);
        QString text = QStringLiteral("• %1: %2").arg(keyTitle(line.key), valueWords(line));
        // The Finder's own spacing, kept, is what the screen has always called the saved default.
        if (origin.startsWith(QStringLiteral("built in:"))) {
            text += QStringLiteral(" (saved default)");
        } else if (origin != QStringLiteral("built in")) {
            text += QStringLiteral(" (") + origin + QLatin1Char(')');
        }
        m_layoutLines[i]->setText(text);
        m_layoutLines[i]->setToolTip(origin);
    }
}

void InspectView::showFolders() {
    m_folders->setTitle(
        QStringLiteral("Scanned Default Folders (%1)").arg(m_model.scannedFolders().size()));
    m_folderRows->reload();
}

}  // namespace lumifold::app
