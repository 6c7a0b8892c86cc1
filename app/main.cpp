#include <QApplication>
#include <QIcon>

#include "app/LumifoldViewModel.h"
#include "app/MainContentView.h"

// The desktop app takes no arguments; it works on the home HOME names.
int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumifold"));
    QApplication::setDesktopFileName(QStringLiteral("lumifold"));
    // The installed icon, through the theme; desktops that read lumifold.desktop find it too.
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("lumifold")));
    // Declared before the window, so destroyed after it: the model's destructor waits for a
    // running stage once the event loop has ended and no screen is left to hear from it.
    lumifold::app::LumifoldViewModel model;
    lumifold::app::MainContentView window(model);
    window.show();
    return QApplication::exec();
}
