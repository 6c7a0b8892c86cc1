#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;
class QTreeView;

namespace lumifold::app {

class Group;
class IconText;
class LumifoldViewModel;
class RowModel;

// The Restore section: the snapshots, the chosen one's drift evaluation (made again each time
// the section is shown), the restore button and how the last restore ended. The force flag is
// this screen's own; it starts off, and choosing another snapshot turns it off again. No
// snapshots, or a snapshot of no files, is said in one line instead of an empty group.
class RestoreView final : public QWidget {
    Q_OBJECT

  public:
    explicit RestoreView(LumifoldViewModel& model, QWidget* parent = nullptr);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    // The snapshot list, one Select button a row.
    void buildSnapshots();
    // The chosen snapshot's evaluation, its verdict and the force flag.
    void buildEvaluation();
    // Follows the model and shows its state now.
    void connectModel();
    void showSnapshots();
    void showOutcome();
    void showEvaluation();
    void showForce();
    void selectRow(int row);

    LumifoldViewModel& m_model;
    bool m_force = false;
    Group* m_snapshots;
    RowModel* m_snapshotRows;
    QTreeView* m_snapshotList;
    QLabel* m_noSnapshots;
    Group* m_evaluation;
    QLabel* m_noFiles;
    RowModel* m_evaluationRows;
    IconText* m_verdict;
    QCheckBox* m_forceToggle;
    IconText* m_outcome;
    QPushButton* m_restore;
};

}  // namespace lumifold::app
