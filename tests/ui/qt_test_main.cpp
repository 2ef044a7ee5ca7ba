#include <gtest/gtest.h>

#include <QApplication>

// Windows of the tests go to Qt's offscreen platform unless the caller
// chose another, so that no display is needed.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
