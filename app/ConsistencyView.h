#pragma once

#include <QWidget>

class QFormLayout;
class QLabel;
class QPushButton;
class QSlider;

namespace lumifold::app {

class Group;
class IconText;
class LumifoldViewModel;
class RowModel;

// The Keep Consistent section: the in-app watcher with its debounce slider, the login
// service as it is (and how its install or uninstall ended), and the folders the watcher
// watches.
class ConsistencyView final : public QWidget {
    Q_OBJECT

  public:
    explicit ConsistencyView(LumifoldViewModel& model, QWidget* parent = nullptr);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    // The in-app watcher: its status, the debounce slider and the switch.
    Group* buildWatcher();
    // The login service: installed or not, its details and the last outcome.
    Group* buildAgent();
    // The folders the watcher monitors.
    Group* buildFolders();
    // Follows the model and shows its state now.
    void connectModel();
    void showWatcher();
    void showDebounce();
    void showAgent();
    void showAgentOutcome();

    LumifoldViewModel& m_model;
    QLabel* m_watcherStatus;
    QLabel* m_debounce;
    QSlider* m_slider;
    QPushButton* m_toggle;
    QLabel* m_agentInstalled;
    QPushButton* m_agentButton;
    QFormLayout* m_agentDetails;
    QLabel* m_agentRunning;
    QLabel* m_agentPaused;
    QLabel* m_agentProgram;
    QLabel* m_agentJob;
    QLabel* m_agentUnit;
    IconText* m_agentOutcome;
    RowModel* m_folderRows;
};

}  // namespace lumifold::app
