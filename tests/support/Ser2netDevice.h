// ser2net as the device server under test. A socat pty pair stands in for the cable: one end is
// the program's serial port (through the link `comLink`), ser2net serves the other end. ser2net
// runs in the foreground with a configuration of the test's own and offers the served end on two
// loopback ports at once: raw TCP and Telnet with the Com Port Control option.
//
// How ser2net behaves here (4.3 on Debian 12):
// - It opens the served pty when a client connects (setting it to the configured 115200 8N1) and
//   restores and closes it when the client leaves. The device serves one client at a time, on
//   either port: another one gets "Port's device already in use\r\n" and is disconnected. That
//   also happens to a client that comes within about 60 ms after the previous one left.
// - On the Telnet port it starts at once with its option requests (IAC WILL SGA, DO SGA,
//   WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO COM-PORT-OPTION: 21 bytes) and passes data
//   without waiting for answers; every 0xFF from the serial side goes out doubled, and a 0xFF from
//   the network starts a Telnet command.
// - A rate set over RFC 2217 goes to the served end, any rate (250000, 12345) through BOTHER;
//   `stty` shows those as "speed 0", so ServedSpeed() reads termios2.
// - With -d it logs to standard output (a file here) instead of syslog, and says "Unable to start
//   mdns" when no mDNS daemon is there, which is harmless.
// - SIGTERM ends it within about 15 ms, with exit status 1, and no files are left behind: no pid
//   file without -P, no UUCP lock with -u. A port it could not bind does not end it (it logs
//   "Unable to startup network port" and serves the rest), and in that state SIGTERM does not
//   end it either.
#pragma once

#include <string>

#include "support/TestUtil.h"

class Ser2netDevice {
public:
    struct Options {
        // ser2net's max-connections for both ports: that many clients share the device at once
        // (0: ser2net's default, one).
        int maxConnections = 0;
        // False: only the pty pair runs and the ports are chosen; Start() starts ser2net later
        // (a device server still booting).
        bool startServer = true;
    };
    // `comLink`: where the program's end of the pty pair appears (a path of the test's own).
    explicit Ser2netDevice(const std::string& comLink) : Ser2netDevice(comLink, Options{}) {}
    Ser2netDevice(const std::string& comLink, Options options);
    ~Ser2netDevice();
    Ser2netDevice(const Ser2netDevice&) = delete;
    Ser2netDevice& operator=(const Ser2netDevice&) = delete;

    // Starts ser2net of a device made with startServer = false, on the ports chosen then; true
    // once both listen.
    bool Start();
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
    // Chooses two free ports.
    void PickPorts();
    // Writes the configuration for the chosen ports and starts ser2net; true once both listen.
    bool StartServer();

    Options m_options;
    bool m_pairReady = false;
    testutil::TempDir m_dir;
    testutil::ChildProcess m_socat;
    testutil::ChildProcess m_ser2net;
    std::string m_servedLink;
    int m_rawPort = 0;
    int m_telnetPort = 0;
    bool m_ready = false;
};
