#include "app/PreviewView.h"

#include <QHBoxLayout>
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

using Changes = std::vector<SettingChange>;

// Rows of one list of changes: key, old value, and the new value after an arrow. The target
// and the kind of change are the tooltip, since a folder's key alone does not name the folder.
RowModel* changeRows(std::function<const Changes*()> changes, QObject* parent) {
    return new RowModel(
        {QStringLiteral("Key"), QStringLiteral("Current"), QStringLiteral("New")},
        [changes] { return changes() ? changes()->size() : std::size_t{0}; },
        [changes](std::size_t row, int column, int role) -> QVariant {
            const SettingChange& change = (*changes())[row];
            if (role == Qt::DisplayRole) {
                const std::string& text = column == 0   ? change.key
                                          : column == 1 ? change.oldValue
                                                        : change.newValue;
                return QString::fromStdString(text);
            }
            if (role == Qt::DecorationRole && column == 2) return symbolIcon("arrow.right");
            if (role == Qt::ToolTipRole) {
                return QString::fromStdString(change.changeType + ": " + change.target);
            }
            return {};
        },
        parent);
}

// A friendlier name for the record codes people meet most; others are shown as their code.
QString recordDescription(const std::string& code) {
    static const std::map<std::string, const char*> kNames{
        {"Iloc", "Iloc (icon positions)"},      {"cmmt", "cmmt (file comments)"},
        {"dilc", "dilc (desktop icon layout)"}, {"bwsp", "bwsp (window bounds)"},
        {"lsvp", "lsvp (list view settings)"},  {"lsvP", "lsvP (list view settings)"},
        {"lsvC", "lsvC (list view columns)"},   {"pict", "pict (background picture)"},
        {"BKGD", "BKGD (background)"},          {"fwi0", "fwi0 (window info)"},
    };
    const auto found = kNames.find(code);
    return QString::fromUtf8(found != kNames.end() ? found->second : code.c_str());
}

}  // namespace

PreviewView::PreviewView(LumifoldViewModel& model, QWidget* parent)
    : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("previewView"));
    auto* refresh = parts::button(QStringLiteral("Refresh Preview"), "arrow.triangle.2.circlepath",
                                  QStringLiteral("refreshPreviewButton"));
    connect(refresh, &QPushButton::clicked, &m_model, &LumifoldViewModel::generatePreview);

    buildWarnings();
    buildChanges();
    m_preservedGroup = buildPreserved();
    buildOutOfDate();
    m_nothing = parts::secondary(parts::text({}, QStringLiteral("previewNothing")));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(parts::heading(
        QStringLiteral("Dry-Run Preview"),
        QStringLiteral("Exact list of changes before anything is written to disk."), refresh));
    layout->addWidget(
        parts::failureLine(m_model, Stage::preview, QStringLiteral("previewFailure")));
    layout->addWidget(m_outOfDate);
    layout->addWidget(m_nothing);
    layout->addWidget(m_warningList);
    layout->addWidget(m_plist, 1);
    layout->addWidget(m_folders, 2);
    layout->addWidget(m_preservedGroup);
    layout->addStretch();  // takes the room only while both lists are empty

    connect(&m_model, &LumifoldViewModel::currentPreviewChanged, this, &PreviewView::showPreview);
    connect(&m_model, &LumifoldViewModel::isPreviewOutOfDateChanged, this,
            &PreviewView::showPreview);
    showPreview();
}

void PreviewView::buildWarnings() {
    m_warnings = new RowModel(
        {QStringLiteral("Warning")},
        [this] { return shownPreview() ? shownPreview()->warnings.size() : std::size_t{0}; },
        [this](std::size_t row, int, int role) -> QVariant {
            if (role == Qt::DecorationRole) return symbolIcon("exclamationmark.triangle.fill");
            if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
                return QString::fromStdString(shownPreview()->warnings[row]);
            }
            return {};
        },
        this);
    m_warningList = parts::rowView(m_warnings, QStringLiteral("previewWarningList"));
    m_warningList->setHeaderHidden(true);
    m_warningList->setMaximumHeight(80);
    m_warningList->setMinimumHeight(40);
}

void PreviewView::buildChanges() {
    m_plist = new Group({}, "gearshape", QStringLiteral("plistChangesGroup"));
    m_plistRows = changeRows(
        [this] { return shownPreview() ? &shownPreview()->plistChanges : nullptr; }, this);
    m_plistList = parts::rowView(m_plistRows, QStringLiteral("plistChangeList"));
    m_plistEmpty = parts::secondary(parts::text(
        QStringLiteral("No changes required. Global preferences already match preferred layout."),
        QStringLiteral("plistChangesEmpty")));
    m_plist->content()->addWidget(m_plistList);
    m_plist->content()->addWidget(m_plistEmpty);

    m_folders = new Group({}, "pencil.circle", QStringLiteral("folderChangesGroup"));
    m_folderRows = changeRows(
        [this] { return shownPreview() ? &shownPreview()->folderChanges : nullptr; }, this);
    m_folderList = parts::rowView(m_folderRows, QStringLiteral("folderChangeList"));
    m_foldersEmpty = parts::secondary(parts::text(
        QStringLiteral("No folder overrides to reconcile."), QStringLiteral("folderChangesEmpty")));
    m_folders->content()->addWidget(m_folderList);
    m_folders->content()->addWidget(m_foldersEmpty);
    for (QTreeView* list : {m_plistList, m_folderList}) {
        list->setColumnWidth(0, 260);
        list->setTextElideMode(Qt::ElideLeft);  // a key's last part names the setting
    }
}

Group* PreviewView::buildPreserved() {
    auto* preserved = new Group(QStringLiteral("Metadata Preserved Guarantee"),
                                "shield.checkerboard", QStringLiteral("preservedGroup"));
    preserved->content()->addWidget(
        parts::text(QStringLiteral("The following metadata records will be strictly preserved in "
                                   "place (never deleted):")));
    m_preserved = parts::secondary(parts::text({}, QStringLiteral("preservedEntries")));
    preserved->content()->addWidget(m_preserved);
    return preserved;
}

void PreviewView::buildOutOfDate() {
    // After a write, the list no longer says what Apply would do.
    m_outOfDate = new QWidget;
    m_outOfDate->setObjectName(QStringLiteral("previewOutOfDate"));
    auto* outOfDateLine = new QHBoxLayout(m_outOfDate);
    outOfDateLine->setContentsMargins(0, 0, 0, 0);
    auto* outOfDateText = new IconText(QStringLiteral("previewOutOfDateLine"));
    outOfDateText->set("exclamationmark.triangle.fill",
                       QStringLiteral("This list is out of date: files were written since it "
                                      "was generated."),
                       parts::orange());
    outOfDateLine->addWidget(outOfDateText, 1);
    auto* again = parts::button(QStringLiteral("Generate Again"), "arrow.triangle.2.circlepath",
                                QStringLiteral("regeneratePreviewButton"));
    connect(again, &QPushButton::clicked, &m_model, &LumifoldViewModel::generatePreview);
    outOfDateLine->addWidget(again);
}

const ChangePreview* PreviewView::shownPreview() const {
    return m_model.currentPreview() ? &*m_model.currentPreview() : nullptr;
}

void PreviewView::showPreview() {
    const auto& preview = m_model.currentPreview();
    const std::size_t plistCount = preview ? preview->plistChanges.size() : 0;
    const std::size_t folderCount = preview ? preview->folderChanges.size() : 0;
    m_plist->setTitle(QStringLiteral("Global Preferences (%1)").arg(plistCount));
    m_folders->setTitle(QStringLiteral("Folder Overrides In .DS_Store (%1)").arg(folderCount));
    for (RowModel* rows : {m_warnings, m_plistRows, m_folderRows}) rows->reload();
    m_warningList->setVisible(preview && !preview->warnings.empty());
    const bool nothing = plistCount + folderCount == 0;
    m_nothing->setText(preview ? QStringLiteral("Nothing to change: the preferences and every "
                                                "folder already match the preferred layout.")
                               : QStringLiteral("No preview has been generated yet."));
    m_nothing->setVisible(nothing);
    m_plist->setVisible(!nothing);
    m_folders->setVisible(!nothing);
    m_plistList->setVisible(plistCount > 0);
    m_plistEmpty->setVisible(plistCount == 0);
    m_folderList->setVisible(folderCount > 0);
    m_foldersEmpty->setVisible(folderCount == 0);
    // Stale changes stay readable, greyed, never as what Apply would do now.
    const bool outOfDate = m_model.isPreviewOutOfDate();
    m_outOfDate->setVisible(outOfDate);
    for (QWidget* list : {m_warningList, m_plistList, m_folderList}) list->setEnabled(!outOfDate);
    // An empty group keeps its one line; the lists share what is left.
    auto* box = static_cast<QBoxLayout*>(layout());
    box->setStretchFactor(m_plist, plistCount > 0 ? 1 : 0);
    box->setStretchFactor(m_folders, folderCount > 0 ? 2 : 0);

    QStringList lines;
    if (preview) {
        for (const auto& [code, count] : preview->preservedEntriesSummary) {
            lines << QStringLiteral("%1: %2 items").arg(recordDescription(code)).arg(count);
        }
    }
    m_preserved->setText(lines.join(QLatin1Char('\n')));
    m_preservedGroup->setVisible(!lines.isEmpty());
}

}  // namespace lumifold::app
