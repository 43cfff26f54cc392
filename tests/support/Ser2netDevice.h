// ser2net as the device server under test. A socat pty pair stands in for the cable: one end is
// the program's serial port (through the link `comLink`), ser2net serves the other end. ser2net
// runs in the foreground with a configuration of the test's own and offers the served end on two
// loopback ports at once: raw TCP and Telnet with the Com Port Control option.
//
// How ser2net behaves here (4.3 on Debian 12):
// - It opens the served pty when a client connects and closes it when the client leaves; the
//   second client of the device, on either port, gets "Port's device already in use\r\n" and is
//   disconnected. One client at a time, then, whichever port it picks.
// - On the Telnet port it starts at once with its option requests (IAC WILL SGA, DO SGA,
//   WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO COM-PORT-OPTION: 21 bytes) and passes data
//   without waiting for answers; every 0xFF from the serial side goes out doubled, and a 0xFF from
//   the network starts a Telnet command.
// - With -d it logs to standard output (which goes to a file here) instead of syslog, and says
//   "Unable to start mdns" when no mDNS daemon is there; that is harmless.
// - It ends on SIGTERM within a few milliseconds and leaves no files behind: no pid file unless
//   -P is given, no UUCP lock with -u.
#pragma once

#include <string>

#include "support/TestUtil.h"

class Ser2netDevice {
public:
    // `comLink`: where the program's end of the pty pair appears (a path of the test's own).
    explicit Ser2netDevice(const std::string& comLink);
    ~Ser2netDevice();
    Ser2netDevice(const Ser2netDevice&) = delete;
    Ser2netDevice& operator=(const Ser2netDevice&) = delete;

    // Both processes run, both ports listen on 127.0.0.1.
    bool Ready() const { return m_ready; }
    int RawPort() const { return m_rawPort; }
    int TelnetPort() const { return m_telnetPort; }
    // The pty end that ser2net serves.
    const std::string& ServedPath() const { return m_servedLink; }
    // The served end's current speed in bits per second as the driver holds it (ser2net applies a
    // rate set over the network to it while the link is up); -1 when it cannot be read.
    long ServedSpeed() const;
    // SIGTERM to ser2net, then to socat, waiting for each; true when both ended of themselves.
    bool Stop();
    // What ser2net wrote so far, for failure messages.
    std::string Log() const;

private:
    testutil::TempDir m_dir;
    testutil::ChildProcess m_socat;
    testutil::ChildProcess m_ser2net;
    std::string m_servedLink;
    int m_rawPort = 0;
    int m_telnetPort = 0;
    bool m_ready = false;
};
