#pragma once

#include <QWidget>

class QLabel;

namespace lumifold::app {

class Group;
class LumifoldViewModel;
class RowModel;

// The Inspect section: the machine, the target layout with the user's saved grid spacing, and
// the override state of each scanned default folder.
class InspectView final : public QWidget {
    Q_OBJECT

  public:
    explicit InspectView(LumifoldViewModel& model, QWidget* parent = nullptr);

  private:
    // The machine and the preferred layout, in two columns.
    Group* buildEnvironment();
    // One row per folder, with its badges.
    void buildFolders();
    void showSystemInfo();
    // The effective layout, where it came from, and a file that cannot be used, in red.
    void showLayout();
    void showFolders();

    LumifoldViewModel& m_model;
    QLabel* m_environment;
    QLabel* m_gridSpacing;
    QLabel* m_layoutSource;
    QLabel* m_layoutProblem;
    QList<QLabel*> m_layoutLines;  // one per layout key, in kLayoutKeys order
    Group* m_folders;
    RowModel* m_folderRows;
};

}  // namespace lumifold::app
