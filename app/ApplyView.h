#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

namespace lumifold::app {

class Group;
class IconText;
class LumifoldViewModel;

// The Apply section: the Finder relaunch choice, the transfer check, the backup promise, the
// last run's snapshot, and the button. Each time it is shown it asks the controller to
// refresh, so the transfer line and the folder state are current.
class ApplyView final : public QWidget {
    Q_OBJECT

  public:
    explicit ApplyView(LumifoldViewModel& model, QWidget* parent = nullptr);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    // Why the Finder is relaunched, the switch for it and whether it can be now.
    Group* buildFinder();
    // What the last Apply did.
    void buildLastRun();
    // Follows the model and shows its state now.
    void connectModel();
    void showTransfers();
    void showLastRun();
    void showWorking();

    LumifoldViewModel& m_model;
    QCheckBox* m_relaunch;
    IconText* m_transfers;
    Group* m_lastRun;
    QLabel* m_backupId;
    QLabel* m_filesBackedUp;
    QLabel* m_changesExecuted;
    IconText* m_error;
    QPushButton* m_apply;
};

}  // namespace lumifold::app
