// socat as the device under test: a pty on the serial side (the program's "COM1", through the
// link in its program directory) and TCP on the network side.
#pragma once

#include <sys/stat.h>

#include <string>

#include "support/TestUtil.h"

class SocatDevice {
public:
    enum class Mode {
        Listen,   // the device listens on `port`; the program connects as a client
        Connect,  // the device connects to `port`; the program is in Server Mode
    };
    SocatDevice(const std::string& comLink, Mode mode, int port) {
        std::string tcp =
            mode == Mode::Listen
                ? "tcp-listen:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr"
                : "tcp:127.0.0.1:" + std::to_string(port) + ",retry=200,interval=0.05";
        m_started = m_process.Start({"socat", "-b65536", "pty,rawer,echo=0,link=" + comLink, tcp});
        struct stat st {};
        m_ready = m_started &&
                  testutil::WaitFor([&] { return ::lstat(comLink.c_str(), &st) == 0; }, 5000);
        if (mode == Mode::Listen && m_ready)
            testutil::Pump(100);  // let socat reach its listen()
    }
    ~SocatDevice() {
        m_process.Kill(15);
        m_process.Wait(3000);
    }
    bool Ready() const { return m_ready; }
    int Pid() const { return m_process.pid; }

private:
    testutil::ChildProcess m_process;
    bool m_started = false;
    bool m_ready = false;
};
