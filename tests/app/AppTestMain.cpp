#include <gtest/gtest.h>

#include <QApplication>

// The app's tests need an application object, and never a screen: widgets render offscreen.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
