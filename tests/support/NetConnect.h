// Connects a network console and waits for the outcome, for tests and benchmarks that need a
// link before they start. Header-only: only programs that link the network console include it.
#pragma once

#include <QEventLoop>
#include <QTimer>

#include <string>

#include "net/NetConsole.h"

namespace testutil {

// Starts net.Connect and runs a local event loop until connected() or connectFailed(): the
// failure, or Ok once the link is up.
inline platform::Result ConnectAndWait(NetConsole& net, const std::string& address, unsigned port) {
    platform::Result outcome = net.Connect(address, port);
    if (!outcome || !net.IsConnecting())
        return outcome;
    QEventLoop loop;
    QObject::connect(&net, &NetConsole::connected, &loop, &QEventLoop::quit);
    QObject::connect(&net, &NetConsole::connectFailed, &loop, [&](const platform::Result& failure) {
        outcome = failure;
        loop.quit();
    });
    // The console ends every attempt within its time-out; this only keeps a broken one from
    // hanging the test.
    QTimer::singleShot(CONNECT_TIMEOUT_MS * 3, &loop, &QEventLoop::quit);
    loop.exec();
    if (outcome && !net.IsConnected())
        return platform::Result::Fail("no connect outcome");
    return outcome;
}

}  // namespace testutil
