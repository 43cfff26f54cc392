// Engine test entry point: a QCoreApplication (the engine needs an event loop, no widgets), then
// gtest.
#include <QCoreApplication>

#include <gtest/gtest.h>
#include <csignal>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);  // a test peer that vanishes must fail a test, not end it
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
