#include <QApplication>

#include "app/LumifoldViewModel.h"

// The desktop app takes no arguments; it works on the home HOME names.
int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumifold"));
    lumifold::app::LumifoldViewModel model;
    return 0;
}
