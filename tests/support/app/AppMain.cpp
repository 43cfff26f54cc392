// Dialog test entry point: a QApplication (offscreen unless the environment says otherwise), then
// gtest.
#include <QApplication>

#include <gtest/gtest.h>
#include <csignal>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::signal(SIGPIPE, SIG_IGN);  // a test peer that vanishes must fail a test, not end it
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
