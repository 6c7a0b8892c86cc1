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
// progress). Closed while a stage runs, it stays open, saying so, until the stage ends: an
// Apply is never cut in half, and the user sees why the program still runs. The model must
// outlive the window.
class MainContentView final : public QMainWindow {
    Q_OBJECT

  public:
    explicit MainContentView(LumifoldViewModel& model, QWidget* parent = nullptr);

    void selectSection(Section section);
    Section currentSection() const;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    // The list of sections under the program's name.
    QWidget* buildSidebar();
    QWidget* buildStatusBar();
    void showWorking();
    void showProgress();
    void showStatus();

    LumifoldViewModel& m_model;
    QListWidget* m_sidebar;
    QStackedWidget* m_screens;
    QLabel* m_dot;
    QLabel* m_status;
    QProgressBar* m_busy;
    QLabel* m_progressText;
    QWidget* m_body;
    bool m_closing = false;  // asked to close while a stage ran
};

}  // namespace lumifold::app
