#pragma once

#include <QWidget>

class QLabel;
class QTreeView;

namespace lumifold {
struct ChangePreview;
}

namespace lumifold::app {

class Group;
class LumifoldViewModel;
class RowModel;

// The Preview Changes section: the dry run's warnings, the global preference changes, the
// folder override changes (and extension changes), and the records kept in place; after a
// write, a line saying the list is out of date with a button to generate it again. A preview
// with nothing to change says so in one line, without empty groups.
class PreviewView final : public QWidget {
    Q_OBJECT

  public:
    explicit PreviewView(LumifoldViewModel& model, QWidget* parent = nullptr);

  private:
    // The preview's warnings, a few lines high.
    void buildWarnings();
    // The two lists of changes: global preferences and folder overrides.
    void buildChanges();
    // The records Apply keeps in place.
    Group* buildPreserved();
    // After a write, the list no longer says what Apply would do.
    void buildOutOfDate();
    // The preview the model holds, if any.
    const ChangePreview* shownPreview() const;
    void showPreview();

    LumifoldViewModel& m_model;
    QWidget* m_outOfDate;
    QTreeView* m_warningList;
    RowModel* m_warnings;
    Group* m_plist;
    RowModel* m_plistRows;
    QTreeView* m_plistList;
    QLabel* m_plistEmpty;
    Group* m_folders;
    RowModel* m_folderRows;
    QTreeView* m_folderList;
    QLabel* m_foldersEmpty;
    Group* m_preservedGroup;
    QLabel* m_preserved;
    QLabel* m_nothing;
};

}  // namespace lumifold::app
