// The served end's speed is read through termios2, which carries any rate the driver took, not
// only the B-constants; <asm/termbits.h> declares it and clashes with <termios.h>, which this file
// therefore does not include.
#include "support/Ser2netDevice.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

// True when a TCP socket of this network namespace listens on 127.0.0.1:port.
bool ListensOnLoopback(int port) {
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")  // 0A: TCP_LISTEN
            return true;
    }
    return false;
}

// Debian installs ser2net in /usr/sbin, which is not on an ordinary user's PATH.
std::string Ser2netProgram() {
    return ::access("/usr/sbin/ser2net", X_OK) == 0 ? "/usr/sbin/ser2net" : "ser2net";
}

// Ends `process` with SIGTERM; true when it ended within 3 s. Otherwise it is killed.
bool Terminate(testutil::ChildProcess& process) {
    if (!process.Running())
        return true;
    process.Kill(SIGTERM);
    if (process.Wait(3000) != -1)
        return true;
    process.Kill(SIGKILL);
    process.Wait(3000);
    return false;
}

}  // namespace

Ser2netDevice::Ser2netDevice(const std::string& comLink, Options options)
    : m_options(options), m_servedLink(m_dir.File("served")) {
    // The pair: both ends raw, so that every byte passes as it is.
    if (!m_socat.Start({"socat", "-b65536", "pty,rawer,echo=0,link=" + comLink,
                        "pty,rawer,echo=0,link=" + m_servedLink}))
        return;
    struct stat st {};
    if (!testutil::WaitFor(
            [&] {
                return ::lstat(comLink.c_str(), &st) == 0 &&
                       ::lstat(m_servedLink.c_str(), &st) == 0;
            },
            5000))
        return;
    m_pairReady = true;
    PickPorts();
    if (!m_options.startServer)
        return;
    // A port found free can be taken by someone else before ser2net binds it: then again, on
    // other ports.
    for (int attempt = 0; attempt < 3 && !m_ready; ++attempt) {
        if (attempt > 0)
            PickPorts();
        m_ready = StartServer();
    }
}

bool Ser2netDevice::Start() {
    m_ready = m_pairReady && !m_ser2net.Running() && StartServer();
    return m_ready;
}

void Ser2netDevice::PickPorts() {
    // Two distinct free ports; the kernel may hand out the same one twice in a row.
    m_rawPort = testutil::FreePort();
    do
        m_telnetPort = testutil::FreePort();
    while (m_telnetPort == m_rawPort);
}

bool Ser2netDevice::StartServer() {
    // `local`: no modem control on the served end (a pty has none). ser2net opens the device at
    // 115200 8N1 for each client; over RFC 2217 the client may change that for its link.
    std::string device = "  connector: serialdev," + m_servedLink + ",115200n81,local\n";
    if (m_options.maxConnections > 0)
        device +=
            "  options:\n    max-connections: " + std::to_string(m_options.maxConnections) + "\n";
    testutil::WriteFile(m_dir.File("ser2net.yaml"),
                        "%YAML 1.1\n"
                        "---\n"
                        "connection: &raw\n"
                        "  accepter: tcp,127.0.0.1," +
                            std::to_string(m_rawPort) + "\n" + device +
                            "connection: &rfc2217\n"
                            "  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                            std::to_string(m_telnetPort) + "\n" + device);
    // -d: stay in the foreground and log to standard output rather than to syslog; -u: no UUCP
    // lock file; no -P, so no pid file. exec: the child's pid is ser2net's own.
    const std::string command = "exec '" + Ser2netProgram() + "' -d -u -c '" +
                                m_dir.File("ser2net.yaml") + "' >'" + m_dir.File("ser2net.log") +
                                "' 2>&1 </dev/null";
    if (!m_ser2net.Start({"/bin/sh", "-c", command}))
        return false;
    // A port it cannot bind does not end ser2net: it logs it and serves the other one.
    const auto portTaken = [&] {
        return Log().find("Unable to startup network port") != std::string::npos;
    };
    const bool listening = testutil::WaitFor(
        [&] {
            return !m_ser2net.Running() || portTaken() ||
                   (ListensOnLoopback(m_rawPort) && ListensOnLoopback(m_telnetPort));
        },
        5000);
    if (listening && m_ser2net.Running() && !portTaken())
        return true;
    // In that state ser2net does not end on SIGTERM.
    m_ser2net.Kill(SIGKILL);
    m_ser2net.Wait(3000);
    return false;
}

Ser2netDevice::~Ser2netDevice() {
    Stop();
}

bool Ser2netDevice::Stop() {
    m_ready = false;
    const bool server = Terminate(m_ser2net);
    const bool pair = Terminate(m_socat);
    return server && pair;
}

long Ser2netDevice::ServedSpeed() const {
    const int fd = ::open(m_servedLink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios2 tio{};
    const int rc = ::ioctl(fd, TCGETS2, &tio);
    ::close(fd);
    // The kernel keeps c_ospeed in step with the speed bits, B-constant or BOTHER alike.
    return rc == 0 ? static_cast<long>(tio.c_ospeed) : -1;
}

std::string Ser2netDevice::Log() const {
    return testutil::ReadFile(m_dir.File("ser2net.log"));
}
