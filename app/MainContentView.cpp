#include "app/MainContentView.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <limits>

#include "app/ApplyView.h"
#include "app/ConsistencyView.h"
#include "app/Icons.h"
#include "app/InspectView.h"
#include "app/LumifoldViewModel.h"
#include "app/PreviewView.h"
#include "app/RestoreView.h"
#include "app/ScreenParts.h"
#include "app/VerifyView.h"

namespace lumifold::app {
namespace {

struct SectionEntry {
    const char* title;
    const char* symbol;
};

// In the order of Section.
constexpr SectionEntry kSections[] = {
    {"Inspect", "magnifyingglass"},
    {"Preview Changes", "doc.text.magnifyingglass"},
    {"Apply", "play.circle.fill"},
    {"Verify", "checkmark.seal"},
    {"Restore", "arrow.counterclockwise.circle"},
    {"Keep Consistent", "repeat.circle"},
};

// QProgressBar counts in int; a step of billions of files is scaled down to fit.
int scaled(quint64 value, quint64 total) {
    constexpr quint64 kMax = std::numeric_limits<int>::max();
    return static_cast<int>(total <= kMax ? value : value / (total / kMax + 1));
}

}  // namespace

MainContentView::MainContentView(LumifoldViewModel& model, QWidget* parent)
    : QMainWindow(parent), m_model(model) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Lumifold"));
    setMinimumSize(780, 520);

    auto* sidebar = buildSidebar();

    m_screens = new QStackedWidget;
    m_screens->setObjectName(QStringLiteral("screens"));
    m_screens->addWidget(new InspectView(m_model));
    m_screens->addWidget(new PreviewView(m_model));
    m_screens->addWidget(new ApplyView(m_model));
    m_screens->addWidget(new VerifyView(m_model));
    m_screens->addWidget(new RestoreView(m_model));
    m_screens->addWidget(new ConsistencyView(m_model));

    auto* split = new QSplitter;
    m_body = split;
    split->addWidget(sidebar);
    split->addWidget(m_screens);
    split->setStretchFactor(1, 1);
    split->setSizes({170, 610});
    split->setChildrenCollapsible(false);

    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);

    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(split, 1);
    layout->addWidget(divider);
    layout->addWidget(buildStatusBar());
    setCentralWidget(central);

    connect(m_sidebar, &QListWidget::currentRowChanged, m_screens,
            &QStackedWidget::setCurrentIndex);
    connect(&m_model, &LumifoldViewModel::isWorkingChanged, this, &MainContentView::showWorking);
    connect(&m_model, &LumifoldViewModel::statusMessageChanged, this, &MainContentView::showStatus);
    connect(&m_model, &LumifoldViewModel::progressChanged, this, &MainContentView::showProgress);
    m_sidebar->setCurrentRow(0);
    showStatus();
    showWorking();
}

void MainContentView::closeEvent(QCloseEvent* event) {
    if (m_model.isWorking()) {
        event->ignore();
        m_closing = true;
        m_body->setEnabled(false);  // nothing more is started
        showStatus();
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainContentView::showStatus() {
    const auto& stage = m_model.runningStage();
    m_status->setText(m_closing && stage ? QStringLiteral("Finishing %1...").arg(stageName(*stage))
                                         : m_model.statusMessage());
}

QWidget* MainContentView::buildSidebar() {
    m_sidebar = new QListWidget;
    m_sidebar->setObjectName(QStringLiteral("sidebar"));
    m_sidebar->setAccessibleName(QStringLiteral("Sections"));
    m_sidebar->setIconSize({18, 18});
    m_sidebar->setFrameShape(QFrame::NoFrame);
    for (const auto& section : kSections) {
        m_sidebar->addItem(
            new QListWidgetItem(symbolIcon(section.symbol), QString::fromUtf8(section.title)));
    }
    auto* sidebarTitle = parts::bold(new QLabel(QStringLiteral("Lumifold")));
    sidebarTitle->setObjectName(QStringLiteral("sidebarTitle"));
    auto* sidebar = new QWidget;
    auto* sidebarLayout = new QVBoxLayout(sidebar);
    sidebarLayout->setContentsMargins(8, 10, 0, 0);
    sidebarLayout->addWidget(sidebarTitle);
    sidebarLayout->addWidget(m_sidebar, 1);
    return sidebar;
}

QWidget* MainContentView::buildStatusBar() {
    m_dot = new QLabel;
    m_dot->setObjectName(QStringLiteral("statusDot"));
    m_dot->setFixedSize(8, 8);
    m_status = parts::caption(parts::secondary(new QLabel));
    m_status->setObjectName(QStringLiteral("statusMessage"));
    // The busy indicator doubles as the stage's progress: it fills when the engine knows how
    // many steps there are, and runs back and forth when it does not.
    m_busy = new QProgressBar;
    m_busy->setObjectName(QStringLiteral("busyIndicator"));
    m_busy->setAccessibleName(QStringLiteral("Stage progress"));
    m_busy->setTextVisible(false);
    m_busy->setFixedSize(120, 10);
    m_progressText = parts::caption(parts::secondary(new QLabel));
    m_progressText->setObjectName(QStringLiteral("progressText"));

    auto* bar = new QWidget;
    bar->setObjectName(QStringLiteral("statusBar"));
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(10, 4, 10, 4);
    layout->addWidget(m_dot);
    layout->addWidget(m_status);
    layout->addSpacing(6);
    layout->addWidget(m_busy);
    layout->addWidget(m_progressText);
    layout->addStretch(1);
    return bar;
}

void MainContentView::selectSection(Section section) {
    m_sidebar->setCurrentRow(static_cast<int>(section));
}

Section MainContentView::currentSection() const {
    return static_cast<Section>(m_screens->currentIndex());
}

void MainContentView::showWorking() {
    if (m_closing && !m_model.isWorking()) {
        close();
        return;
    }
    const QColor colour = m_model.isWorking() ? parts::orange() : parts::green();
    m_dot->setStyleSheet(
        QStringLiteral("background-color: %1; border-radius: 4px;").arg(colour.name()));
    m_busy->setVisible(m_model.isWorking());
    showProgress();
}

void MainContentView::showProgress() {
    const auto& progress = m_model.progress();
    const bool known = m_model.isWorking() && progress.has_value();
    m_progressText->setVisible(known);
    m_progressText->setText(known ? progress->text : QString());
    if (known && progress->total > 0) {
        m_busy->setRange(0, scaled(progress->total, progress->total));
        m_busy->setValue(scaled(std::min(progress->done, progress->total), progress->total));
    } else {
        m_busy->setRange(0, 0);
    }
}

}  // namespace lumifold::app
