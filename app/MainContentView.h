#pragma once

#include <QMainWindow>

class QLabel;
class QListWidget;
class QProgressBar;
class QStackedWidget;

namespace lumifold::app {

class LumifoldViewModel;

// The sidebar's sections, in their order.
enum class Section { inspect, preview, apply, verify, restore, consistency };

// The main window: a sidebar of the six sections, the chosen section's screen, and a status
// bar with the controller's state (a dot, the status message, and the running stage's
// progress). The model must outlive the window.
class MainContentView final : public QMainWindow {
    Q_OBJECT

  public:
    explicit MainContentView(LumifoldViewModel& model, QWidget* parent = nullptr);

    void selectSection(Section section);
    Section currentSection() const;

  private:
    // The list of sections under the program's name.
    QWidget* buildSidebar();
    QWidget* buildStatusBar();
    void showWorking();
    void showProgress();

    LumifoldViewModel& m_model;
    QListWidget* m_sidebar;
    QStackedWidget* m_screens;
    QLabel* m_dot;
    QLabel* m_status;
    QProgressBar* m_busy;
    QLabel* m_progressText;
};

}  // namespace lumifold::app
