#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QSlider;

namespace lumifold::app {

class LumifoldViewModel;
class RowModel;

// The Keep Consistent section: the in-app watcher with its debounce slider, the login
// service, and the folders the watcher watches.
class ConsistencyView final : public QWidget {
    Q_OBJECT

  public:
    explicit ConsistencyView(LumifoldViewModel& model, QWidget* parent = nullptr);

  private:
    void showWatcher();
    void showDebounce();
    void showAgent();

    LumifoldViewModel& m_model;
    QLabel* m_watcherStatus;
    QLabel* m_debounce;
    QSlider* m_slider;
    QPushButton* m_toggle;
    QLabel* m_agentInstalled;
    QPushButton* m_agentButton;
    RowModel* m_folderRows;
};

}  // namespace lumifold::app
