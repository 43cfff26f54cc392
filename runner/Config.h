// What a run of vaskel-passthrough is asked to do, as values: the exit codes, the stations, the
// sweep and the options; and the checks of single option values that the command line and the
// stations file share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/LineSettings.h"
#include "transfer/PassThrough.h"
#include "transfer/Script.h"

// The program's exit codes.
enum RunnerExit : int {
    EXIT_VERIFIED = 0,        // every run verified
    EXIT_MISMATCH = 1,        // a mismatch or a short capture
    EXIT_TIMEOUT = 2,         // a time-out: the device passed nothing
    EXIT_SERIAL_FAILED = 3,   // the serial port could not be opened
    EXIT_NETWORK_FAILED = 4,  // connect refused or failed, no peer in time, peer gone
    EXIT_NOT_STORED = 5,      // the capture (or the test data) could not be stored
    // The control path could not be checked: the device server refused a serial setting,
    // answered it with another value or not at all, or does not speak RFC 2217; or the serial
    // device has no modem lines for the line test.
    EXIT_CONTROL_PATH = 6,
    EXIT_INTERRUPTED = 130,   // SIGINT or SIGTERM ended the test
    EXIT_BAD_ARGUMENTS = 64,  // bad arguments
};

constexpr int DEFAULT_ACCEPT_TIMEOUT_S = 30;
// --udp-pace's two words: the serial line's byte rate (the default), and no pacing.
constexpr double kUdpPaceLine = -1;
constexpr double kUdpPaceOff = 0;
// The most TCP clients --clients opens on the device server's port at once.
constexpr int kMaxClients = 16;
// How often the line test changes each output line by default.
constexpr int DEFAULT_TOGGLES = 20;

// One device under test in a rack: its name (prefixed to its output lines and naming it in the
// reports), its serial device and its network side (a client link to host:port, or a server
// listening on port).
struct Station {
    std::string name;
    std::string serial;
    bool listen = false;
    std::string host;      // dotted IPv4, when not listening
    std::string hostName;  // the host as given (a name or the same dotted address)
    unsigned port = 0;
    bool operator==(const Station&) const = default;
};

// One swept serial setting: its key (baud, data-bits, parity, stop-bits, flow) and the values
// the sweep goes through.
struct SweepAxis {
    std::string key;
    std::vector<std::string> values;
};

struct RunnerOptions {
    // Serial side: the device as given (a path or COMn) and its line settings (57600 8N1 and
    // no flow control unless the options say otherwise).
    std::string serial;
    LineSettings settings;
    // Network side: connect to the device server or wait for it to connect.
    enum class Net { Connect, Listen };
    struct Link {
        Net mode = Net::Connect;
        std::string host;      // dotted IPv4 (Connect): the address the host name resolved to
        std::string hostName;  // the host as given on the command line
        unsigned port = 0;
        int acceptTimeoutS = DEFAULT_ACCEPT_TIMEOUT_S;
        // Connect: keep trying for up to this many seconds until the device server accepts
        // (0: one attempt).
        int waitForServerS = 0;
        // --udp: a client link of UDP datagrams to host:port instead of a TCP connection. It is
        // up at once (nothing to accept); the device server sends to `udpLocalPort` (its fixed
        // peer; 0: any free port, told once bound).
        bool udp = false;
        unsigned udpLocalPort = 0;
        // How fast file datagrams go to the device server, in bytes a second: kUdpPaceLine
        // (the serial line's byte rate), kUdpPaceOff (as fast as the socket takes them), or
        // that rate.
        double udpPace = kUdpPaceLine;
        // Connect: this many TCP clients on the device server's port at once (1: the one link).
        // The first is the engine's link; the others are the runner's own plain sockets.
        int clients = 1;
        // Listen: a device whose link drops during the test (a reboot) is waited for again, for
        // up to acceptTimeoutS, and the test goes on on the new link.
        bool acceptAgain = false;
    } link;
    // Telnet with the Com Port Control option on the network side: the device server's serial
    // port is set to `settings` before the first run, and every byte is Telnet data.
    bool rfc2217 = false;
    // What is tested: files passing through (the default), the modem control lines end to end
    // (needs rfc2217; each output line changed `toggles` times), timed frames, or a script of
    // sends and expectations on both links.
    enum class Test { Passthrough, Lines, Latency, Script, Reconnect } test = Test::Passthrough;
    // --test reconnect: how many times the link is closed and made again, and the bytes the
    // serial side sends while no client is connected (0: none).
    struct Reconnect {
        int cycles = 5;
        int whileAway = 0;
    } reconnect;
    int toggles = DEFAULT_TOGGLES;
    // --script: the file as given, and the script read from it (loaded once, before anything is
    // opened, by LoadRunnerScript; shared read-only by every station's session).
    std::string scriptPath;
    std::shared_ptr<const Script> script;
    // Data: a file, or `randomSize` bytes of the pattern of `seed`.
    struct Data {
        std::string file;
        int64_t randomSize = -1;
        uint64_t seed = 1;
    } data;
    std::vector<PassDirection> directions;  // in the order they run within one repetition
    int repeat = 1;
    int startDelayMs = SEND_START_DELAY_MS;
    // Latency runs: `frames` frames of `frameSize` bytes, one every `intervalMs`; a p99 above
    // `maxLatencyMs` (when >= 0) fails the run.
    struct Latency {
        int frames = 1000;
        int frameSize = 16;
        int intervalMs = 10;
        double maxLatencyMs = -1;
    } latency;
    // Where results go: the captures' folder, the traffic log, the reports.
    struct Outputs {
        std::string outputDir;  // empty: a temporary folder
        bool keep = false;
        std::string logPath;     // the traffic log of both links (empty: none)
        std::string reportPath;  // the HTML report (empty: none)
        bool json = false;
        std::string jsonPath;  // --json=FILE: the JSON report goes there instead of standard output
        std::string junitPath;
        std::string jsonlPath;  // one JSON line per finished run
    } outputs;
    bool help = false;
    // A rack: the stations tested at once (none: the one device of --serial and --connect or
    // --listen) and the settings swept.
    std::vector<Station> stations;
    std::vector<SweepAxis> sweeps;
};

// "traffic.log" for station "st1" and setting 2 of a sweep: "traffic-st1-2.log" (no setting
// number without a sweep, no name for a lone device).
std::string StationFile(const std::string& path, const std::string& name, int setting);

// One serial setting option ("--baud", "--data-bits", "--stop-bits", "--parity", "--flow") applied
// to `line`; the error, one line, when the value is not one the option takes (else empty).
std::string ApplyLineOption(const std::string& name, const std::string& value, LineSettings& line);
// "--connect HOST:PORT", "--udp HOST:PORT" or "--listen PORT" applied to `o`; the error, or
// empty.
std::string ApplyEndpointOption(const std::string& name, const std::string& value,
                                RunnerOptions& o);

// Resolves every host name the options give (--connect, the stations') to the dotted IPv4
// address the links will use, once; the error (one line) or empty.
std::string ResolveHosts(RunnerOptions& options);
// Resolves `host` (a dotted IPv4 address or a host name) once to a dotted IPv4 address; empty
// with the reason in *error when it has none.
std::string ResolveIPv4(const std::string& host, std::string* error);

// The line's theoretical byte rate: baud / (1 start bit + data bits + parity bit + stop bits).
double LineBytesPerSecond(const LineSettings& settings);

// "1M" = 1048576, "4K" = 4096, "1000" = 1000; -1 when the text is not a size.
int64_t ParseSize(const std::string& text);

// A whole decimal number in [low, high] in *value; false otherwise (signs, blanks and suffixes
// included).
bool ParseNumber(const std::string& text, long long low, long long high, long long* value);

// "1 frame", "2 frames": a count with its noun, singular or plural.
std::string CountOf(int64_t n, const char* one, const char* many);
