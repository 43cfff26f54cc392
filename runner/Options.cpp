#include "runner/Options.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "net/NetConsole.h"
#include "runner/Stations.h"

namespace {

// The heading of the options only the latency test takes.
constexpr const char* kLatencyGroup = "Latency test (--test latency):";

// What the parser has seen so far, beyond the options themselves: the checks across options
// need to know what was given, not only the values it left.
struct ParseState {
    RunnerOptions& o;
    bool haveConnect = false, haveListen = false, haveSeed = false, haveSerial = false;
    bool haveToggles = false, haveDirection = false;
    std::string latencyOption;  // the first latency-only option given, for the message
    std::string direction = "both";
    std::string testWord;  // --test's value as given (empty: not given)
    bool haveRepeat = false, haveStartDelay = false;
    bool haveWaitForServer = false;
    bool haveCycles = false, haveWhileAway = false;
    bool haveUdp = false;
    std::string udpOnlyOption =
        {};  // the first of --udp-local and --udp-pace given, for the message
    bool haveAcceptAgain = false;
};

// How an option takes its value.
enum class Takes { Nothing, Value, OptionalValue };

// Applies an option's value; the error, one line, or empty.
using Apply = std::function<std::string(ParseState&, const std::string&)>;

struct OptionSpec {
    OptionInfo info;
    Takes takes;
    Apply apply;
};

std::string Whole(const std::string& name, const std::string& value, long long low, long long high,
                  const char* what, long long* n) {
    if (ParseNumber(value, low, high, n))
        return {};
    return name + " needs " + what + " from " + std::to_string(low) + " to " +
           std::to_string(high) + ", got " + value;
}

// An option that takes a whole number from `low` to `high` into `field` (of the options, or of
// one of their groups).
Apply WholeInto(int RunnerOptions::*field, const char* name, long long low, long long high,
                const char* what) {
    return [=](ParseState& s, const std::string& v) {
        long long n = 0;
        if (std::string e = Whole(name, v, low, high, what, &n); !e.empty())
            return e;
        s.o.*field = static_cast<int>(n);
        return std::string();
    };
}
template <typename Group>
Apply WholeInto(Group RunnerOptions::*group, int Group::*field, const char* name, long long low,
                long long high, const char* what) {
    return [=](ParseState& s, const std::string& v) {
        long long n = 0;
        if (std::string e = Whole(name, v, low, high, what, &n); !e.empty())
            return e;
        (s.o.*group).*field = static_cast<int>(n);
        return std::string();
    };
}

std::string NonEmpty(const std::string& name, const std::string& value, const char* what,
                     std::string& into) {
    if (value.empty())
        return name + " needs " + what;
    into = value;
    return {};
}

std::string LineOption(const char* name, ParseState& s, const std::string& v) {
    return ApplyLineOption(name, v, s.o.settings);
}

const std::vector<OptionSpec>& Specs() {
    static const std::vector<OptionSpec> specs = [] {
        std::vector<OptionSpec> t;
        auto add = [&t](const char* name, const char* value, const char* group, const char* help,
                        Takes takes, Apply f) {
            t.push_back({{name, value, group, help}, takes, std::move(f)});
        };
        const Takes V = Takes::Value, N = Takes::Nothing;
        const char* serial = "Serial side:";
        add("--serial", "DEVICE", serial,
            "device path, or COMn (the program's port mapping, as in the window)", V,
            [](ParseState& s, const std::string& v) {
                s.haveSerial = true;
                return NonEmpty("--serial", v, "a device path or COMn", s.o.serial);
            });
        add("--baud", "RATE", serial,
            "any rate from 1 to 4000000 the driver takes, e.g. 9600 115200\n"
            "250000 921600 (default 57600); a differing applied rate is told",
            V, [](ParseState& s, const std::string& v) { return LineOption("--baud", s, v); });
        add("--data-bits", "N", serial, "5 6 7 8 (default 8)", V,
            [](ParseState& s, const std::string& v) { return LineOption("--data-bits", s, v); });
        add("--parity", "WORD", serial, "even odd none (default none)", V,
            [](ParseState& s, const std::string& v) { return LineOption("--parity", s, v); });
        add("--stop-bits", "N", serial, "1 2 (default 1)", V,
            [](ParseState& s, const std::string& v) { return LineOption("--stop-bits", s, v); });
        add("--flow", "WORD", serial, "none software hardware (default none)", V,
            [](ParseState& s, const std::string& v) { return LineOption("--flow", s, v); });
        const char* net = "Network side (one of):";
        add("--connect", "HOST:PORT", net,
            "connect to the device (a host name, resolved once, or a dotted IPv4\n"
            "address; 2 s connect time-out)",
            V, [](ParseState& s, const std::string& v) {
                s.haveConnect = true;
                return ApplyEndpointOption("--connect", v, s.o);
            });
        add("--listen", "PORT", net, "Server Mode: wait for the device to connect", V,
            [](ParseState& s, const std::string& v) {
                s.haveListen = true;
                return ApplyEndpointOption("--listen", v, s.o);
            });
        add("--udp", "HOST:PORT", net,
            "UDP datagrams to the device's UDP port (a host name, resolved once, or\n"
            "a dotted IPv4 address); the device server must send to this host's\n"
            "--udp-local port (its fixed peer), which is told at the start",
            V, [](ParseState& s, const std::string& v) {
                s.haveUdp = true;
                return ApplyEndpointOption("--udp", v, s.o);
            });
        add("--udp-local", "PORT", net,
            "with --udp: the local UDP port the device server sends to (default:\n"
            "any free port, told at the start)",
            V, [](ParseState& s, const std::string& v) {
                long long n = 0;
                if (!ParseNumber(v, 1, MAX_TCP_PORT, &n))
                    return "--udp-local: port " + v + " is not a UDP port (1 to 65535)";
                s.o.link.udpLocalPort = static_cast<unsigned>(n);
                if (s.udpOnlyOption.empty())
                    s.udpOnlyOption = "--udp-local";
                return std::string();
            });
        add("--udp-pace", "line|off|RATE[K|M]", net,
            "with --udp: how fast file datagrams (at most 1024 bytes each) go to the\n"
            "device: line (default) at the serial line's byte rate from --baud and\n"
            "the frame (a datagram the device cannot write to its UART is lost);\n"
            "RATE bytes a second (e.g. 20000, 400K); off: as fast as the socket\n"
            "takes them",
            V, [](ParseState& s, const std::string& v) {
                if (v == "line") {
                    s.o.link.udpPace = kUdpPaceLine;
                } else if (v == "off") {
                    s.o.link.udpPace = kUdpPaceOff;
                } else {
                    const int64_t rate = ParseSize(v);
                    if (rate < 1 || rate > 1000000000)
                        return "--udp-pace needs line, off or bytes a second from 1 to "
                               "1000000000 (RATE, RATEK or RATEM), got " +
                               v;
                    s.o.link.udpPace = static_cast<double>(rate);
                }
                if (s.udpOnlyOption.empty())
                    s.udpOnlyOption = "--udp-pace";
                return std::string();
            });
        add("--accept-timeout", "S", net, "how long --listen waits for the device (default 30)", V,
            [](ParseState& s, const std::string& v) {
                long long n = 0;
                if (!ParseNumber(v, 1, 86400, &n))
                    return "--accept-timeout needs whole seconds from 1 to 86400, got " + v;
                s.o.link.acceptTimeoutS = static_cast<int>(n);
                return std::string();
            });
        add("--wait-for-server", "SECONDS", net,
            "with --connect: try again every 250 ms until the device server\n"
            "accepts (a device still starting, a power cycle), for up to SECONDS\n"
            "(1 to 86400); how long it took is told",
            V, [](ParseState& s, const std::string& v) {
                long long n = 0;
                if (!ParseNumber(v, 1, 86400, &n))
                    return "--wait-for-server needs whole seconds from 1 to 86400, got " + v;
                s.o.link.waitForServerS = static_cast<int>(n);
                s.haveWaitForServer = true;
                return std::string();
            });
        add("--clients", "N", net,
            "with --connect: N TCP clients (1 to 16) on the device server's port at\n"
            "once; every client must receive the whole file serial to network, and\n"
            "each sends a file of its own, in turn, network to serial (clients 2 to\n"
            "N a pattern of the same length, seed + client - 1); each verified on\n"
            "its own. A client the device server refuses or closes ends the session\n"
            "(exit 4). Raw TCP, --test passthrough only",
            V, [](ParseState& s, const std::string& v) {
                long long n = 0;
                if (!ParseNumber(v, 1, kMaxClients, &n))
                    return "--clients needs a count from 1 to " + std::to_string(kMaxClients) +
                           ", got " + v;
                s.o.link.clients = static_cast<int>(n);
                return std::string();
            });
        add("--accept-again", "", net,
            "with --listen: when the device's link drops during the test (a reboot),\n"
            "wait up to --accept-timeout for it to dial in again and go on on the new\n"
            "link: the run under way starts again from its first byte; the gap (from\n"
            "the drop to the new link) is told",
            N, [](ParseState& s, const std::string&) {
                s.o.link.acceptAgain = true;
                s.haveAcceptAgain = true;
                return std::string();
            });
        add("--rfc2217", "", net,
            "speak Telnet with the Com Port Control option (RFC 2217): set the\n"
            "device server's serial port to --baud, --data-bits, --parity,\n"
            "--stop-bits and --flow before the first run and check each answer;\n"
            "every byte goes as Telnet data",
            N, [](ParseState& s, const std::string&) {
                s.o.rfc2217 = true;
                return std::string();
            });
        const char* data = "Data (one of):";
        add("--file", "PATH", data, "send this file (1 byte to 2 GiB - 1)", V,
            [](ParseState& s, const std::string& v) {
                return NonEmpty("--file", v, "a path", s.o.data.file);
            });
        add("--random", "SIZE[K|M]", data,
            "send SIZE bytes of a reproducible pattern, made in the temporary folder", V,
            [](ParseState& s, const std::string& v) {
                s.o.data.randomSize = ParseSize(v);
                if (s.o.data.randomSize <= 0 || s.o.data.randomSize > MAX_SEND_FILE_SIZE)
                    return "--random needs a size from 1 to 2147483647 bytes (SIZE, SIZEK or "
                           "SIZEM), got " +
                           v;
                return std::string();
            });
        add("--seed", "N", data,
            "the pattern's seed (default 1): the same seed gives the same bytes", V,
            [](ParseState& s, const std::string& v) {
                long long n = 0;
                if (!ParseNumber(v, 0, LLONG_MAX, &n))
                    return "--seed needs a whole number, got " + v;
                s.o.data.seed = static_cast<uint64_t>(n);
                s.haveSeed = true;
                return std::string();
            });
        const char* test = "Test:";
        add("--test", "WORD", test,
            "passthrough (default): the data above through the device, as\n"
            "--direction says;\n"
            "lines (needs --rfc2217): the control lines end to end: DTR and RTS of\n"
            "the serial side changed --toggles times each, every change expected in\n"
            "the device server's modem state; then the device server's DTR and RTS\n"
            "set the same way, every change expected on CTS, DSR or DCD here. Tells\n"
            "which line followed each one (null-modem wiring varies), the changes\n"
            "seen and their delay (median and longest);\n"
            "latency: numbered frames one way at a steady interval, each one's\n"
            "one-way time from the write that carried its last byte to the read\n"
            "that brought it;\n"
            "reconnect (with --connect): the link closed and made again --cycles\n"
            "times; after each connect a block of 256 bytes must pass both ways\n"
            "within 2 s; tells each connect's time",
            V, [](ParseState& s, const std::string& v) {
                s.testWord = v;
                if (v == "passthrough")
                    s.o.test = RunnerOptions::Test::Passthrough;
                else if (v == "lines")
                    s.o.test = RunnerOptions::Test::Lines;
                else if (v == "latency")
                    s.o.test = RunnerOptions::Test::Latency;
                else if (v == "reconnect")
                    s.o.test = RunnerOptions::Test::Reconnect;
                else
                    return "--test " + v + " is not one of: passthrough lines latency reconnect";
                return std::string();
            });
        add("--script", "FILE", test,
            "run the script FILE on both links: sends (with a checksum), expectations\n"
            "within a time-out, waits, repeats on a schedule and responders that answer\n"
            "what arrives; tells each expectation's response time (count, p50, p99,\n"
            "max) and each timed repeat's mean period and p99 jitter",
            V, [](ParseState& s, const std::string& v) {
                s.o.test = RunnerOptions::Test::Script;
                return NonEmpty("--script", v, "a file", s.o.scriptPath);
            });
        add("--toggles", "N", test, "changes per line for --test lines (default 20)", V,
            [set = WholeInto(&RunnerOptions::toggles, "--toggles", 1, 10000, "a count")](
                ParseState& s, const std::string& v) {
                s.haveToggles = true;
                return set(s, v);
            });
        add("--cycles", "K", test, "connects for --test reconnect (default 5)", V,
            [](ParseState& s, const std::string& v) {
                long long n = 0;
                if (!ParseNumber(v, 1, 100000, &n))
                    return "--cycles needs a count from 1 to 100000, got " + v;
                s.o.reconnect.cycles = static_cast<int>(n);
                s.haveCycles = true;
                return std::string();
            });
        add("--while-away", "BYTES", test,
            "--test reconnect: the serial side sends BYTES (1 to 65536) while no\n"
            "client is connected; tells whether the device server kept them for\n"
            "the next client or dropped them (a figure, not a failure)",
            V, [](ParseState& s, const std::string& v) {
                long long n = 0;
                if (!ParseNumber(v, 1, 65536, &n))
                    return "--while-away needs bytes from 1 to 65536, got " + v;
                s.o.reconnect.whileAway = static_cast<int>(n);
                s.haveWhileAway = true;
                return std::string();
            });
        const char* latency = kLatencyGroup;
        add("--frames", "N", latency, "frames per run (default 1000)", V,
            WholeInto(&RunnerOptions::latency, &RunnerOptions::Latency::frames, "--frames", 1,
                      10000000, "a count"));
        // A frame goes out in one write, which a socket's send buffer always takes whole at
        // this size; larger frames would be cut by a peer that reads slowly.
        add("--frame-size", "BYTES", latency,
            "bytes per frame, 8 to 4096 (default 16); each carries its sequence\n"
            "number and check bytes",
            V,
            WholeInto(&RunnerOptions::latency, &RunnerOptions::Latency::frameSize, "--frame-size",
                      8, 4096, "bytes"));
        add("--interval", "MS", latency, "one frame every MS milliseconds (default 10)", V,
            WholeInto(&RunnerOptions::latency, &RunnerOptions::Latency::intervalMs, "--interval", 0,
                      60000, "milliseconds"));
        add("--max-latency", "MS", latency, "a p99 one-way latency above MS fails the run", V,
            [](ParseState& s, const std::string& v) {
                char* end = nullptr;
                errno = 0;
                const double ms = std::strtod(v.c_str(), &end);
                if (v.empty() || *end != '\0' || errno != 0 || !(ms >= 0) || ms > 3600000 ||
                    v.find_first_not_of("0123456789.") != std::string::npos)
                    return "--max-latency needs milliseconds (e.g. 5 or 2.5), got " + v;
                s.o.latency.maxLatencyMs = ms;
                return std::string();
            });
        const char* runs = "Runs:";
        add("--direction", "D", runs,
            "serial-to-net, net-to-serial or both (default both, in that order)", V,
            [](ParseState& s, const std::string& v) {
                s.direction = v;
                s.haveDirection = true;
                return std::string();
            });
        add("--repeat", "N", runs, "run it all N times (default 1)", V,
            [](ParseState& s, const std::string& v) {
                long long n = 0;
                if (!ParseNumber(v, 1, 1000000, &n))
                    return "--repeat needs a count from 1 to 1000000, got " + v;
                s.o.repeat = static_cast<int>(n);
                s.haveRepeat = true;
                return std::string();
            });
        add("--start-delay", "MS", runs,
            "pause before each header, as the window makes (default 1000)", V,
            [set = WholeInto(&RunnerOptions::startDelayMs, "--start-delay", 0, 60000,
                             "milliseconds")](ParseState& s, const std::string& v) {
                s.haveStartDelay = true;
                return set(s, v);
            });
        add("--output-dir", "DIR", runs,
            "store the received files here (default: a temporary folder, removed\n"
            "when every run verified unless --keep)",
            V, [](ParseState& s, const std::string& v) {
                return NonEmpty("--output-dir", v, "a folder", s.o.outputs.outputDir);
            });
        add("--keep", "", runs, "keep the temporary folder", N,
            [](ParseState& s, const std::string&) {
                s.o.outputs.keep = true;
                return std::string();
            });
        const char* rack =
            "A rack (many devices at once, each on its own serial device and network port):";
        add("--station", "NAME,DEVICE,HOST:PORT|NAME,DEVICE,listen:PORT", rack,
            "a station that connects to its device, or one in Server Mode;\n"
            "repeatable. Every other option applies to every station; each output\n"
            "line starts with [NAME]; the exit code is that of the first failing\n"
            "station",
            V, [](ParseState& s, const std::string& v) {
                Station station;
                std::string error;
                if (!ParseStation(v, station, &error))
                    return error;
                s.o.stations.push_back(std::move(station));
                return std::string();
            });
        add("--stations", "FILE", rack,
            "one station a line in the same form ('#' starts a comment; at most\n"
            "1 MiB, lines of at most 4096 bytes)",
            V, [](ParseState& s, const std::string& v) {
                std::string error;
                ReadStationsFile(v, s.o.stations, &error);
                return error;
            });
        add("--sweep", "KEY=V1,V2,...", rack,
            "run everything for every combination of these values (needs\n"
            "--rfc2217); KEY is baud, data-bits, parity, stop-bits or flow;\n"
            "repeatable",
            V, [](ParseState& s, const std::string& v) {
                SweepAxis axis;
                std::string error;
                if (!ParseSweep(v, axis, &error))
                    return error;
                for (const SweepAxis& a : s.o.sweeps)
                    if (a.key == axis.key)
                        return "--sweep " + axis.key + " is given twice";
                s.o.sweeps.push_back(std::move(axis));
                return std::string();
            });
        const char* reports = "Reporting:";
        add("--json", "[=FILE]", reports,
            "a JSON report on stdout instead of the one-line summaries (with a\n"
            "\"stations\" array for a rack), or into FILE with --json=FILE",
            Takes::OptionalValue, [](ParseState& s, const std::string& v) {
                s.o.outputs.json = true;
                s.o.outputs.jsonPath = v;
                return std::string();
            });
        add("--junit", "FILE", reports,
            "a JUnit XML report for CI systems (one test suite per station)", V,
            [](ParseState& s, const std::string& v) {
                return NonEmpty("--junit", v, "a file", s.o.outputs.junitPath);
            });
        add("--jsonl", "FILE", reports,
            "one JSON line per finished run, written as each run finishes", V,
            [](ParseState& s, const std::string& v) {
                return NonEmpty("--jsonl", v, "a file", s.o.outputs.jsonlPath);
            });
        add("--report", "FILE", reports, "a self-contained HTML report with charts", V,
            [](ParseState& s, const std::string& v) {
                return NonEmpty("--report", v, "a file", s.o.outputs.reportPath);
            });
        add("--log", "FILE", reports,
            "a traffic log: every chunk of both links, time-stamped; a FILE ending\n"
            "in .pcapng is a capture for Wireshark (a rack's stations each log to\n"
            "FILE with -NAME before its extension)",
            V, [](ParseState& s, const std::string& v) {
                return NonEmpty("--log", v, "a file", s.o.outputs.logPath);
            });
        add("--help", "", reports, "this text (also -h)", N, [](ParseState& s, const std::string&) {
            s.o.help = true;
            return std::string();
        });
        return t;
    }();
    return specs;
}

// The checks across options, once every option is read; the error or empty.
std::string CheckTogether(ParseState& s) {
    RunnerOptions& o = s.o;
    if (!o.stations.empty()) {
        // Each station names its own serial device and network side.
        if (s.haveSerial || s.haveConnect || s.haveListen || s.haveUdp)
            return "--station gives each station its serial device and network side: "
                   "leave out --serial, --connect, --listen and --udp";
        std::string error;
        if (!CheckStations(o.stations, &error))
            return error;
    } else {
        if (!s.haveSerial)
            return "--serial DEVICE is missing";
        if (s.haveConnect && s.haveListen)
            return "--connect and --listen exclude each other: choose one";
        if (s.haveUdp && (s.haveConnect || s.haveListen))
            return std::string(s.haveConnect ? "--connect" : "--listen") +
                   " and --udp exclude each other: choose one";
        if (!s.haveConnect && !s.haveListen && !s.haveUdp)
            return "--connect HOST:PORT, --listen PORT or --udp HOST:PORT is missing";
    }
    if (!s.haveUdp && !s.udpOnlyOption.empty())
        return s.udpOnlyOption + " goes with --udp";
    if (s.haveUdp) {
        // A UDP link is raw datagrams with no connection: nothing to wait for, nothing to close
        // and make again, no Telnet to carry the serial settings or modem lines.
        if (o.rfc2217)
            return "--udp carries raw datagrams: leave out --rfc2217 (RFC 2217 needs TCP)";
        if (s.haveWaitForServer)
            return "--wait-for-server goes with --connect (a UDP link has no connection to wait "
                   "for)";
        if (o.test == RunnerOptions::Test::Lines)
            return "--test lines cannot run over --udp: the device server's modem lines are seen "
                   "through --rfc2217 on a TCP link";
        if (o.test == RunnerOptions::Test::Reconnect)
            return "--test reconnect cannot run over --udp: a UDP link has no connection to "
                   "close and make again";
        // One frame is one datagram; the device server's buffer takes 1024 bytes at most.
        if (o.test == RunnerOptions::Test::Latency && o.latency.frameSize > UDP_SEND_CHUNK)
            return "--frame-size over --udp is at most " + std::to_string(UDP_SEND_CHUNK) +
                   " bytes (one datagram a frame), got " + std::to_string(o.latency.frameSize);
    }
    // A station in Server Mode waits for its device with --accept-timeout instead.
    if (s.haveWaitForServer && (s.haveListen || !o.stations.empty()))
        return "--wait-for-server goes with --connect (Server Mode waits with --accept-timeout)";
    if (o.link.clients > 1) {
        // The extra clients are plain sockets on the same port: a raw TCP link that the runner
        // dials, for the file test.
        if (!o.stations.empty())
            return "--clients takes one device: leave out --station and --stations";
        if (s.haveListen)
            return "--clients goes with --connect: in Server Mode the device dials in once";
        if (s.haveUdp)
            return "--clients goes with --connect: TCP clients on one port (a UDP device server "
                   "sends to one fixed peer)";
        if (o.test != RunnerOptions::Test::Passthrough)
            return "--clients goes with --test passthrough (the default): the other tests "
                   "and --script use one link";
        if (o.rfc2217)
            return "--clients takes a raw TCP link: leave out --rfc2217";
    }
    if (s.haveAcceptAgain) {
        if (!o.stations.empty())
            return "--accept-again takes one device: leave out --station and --stations";
        if (!s.haveListen)
            return "--accept-again goes with --listen: it waits for a device that dials in";
        if (o.test != RunnerOptions::Test::Passthrough)
            return "--accept-again goes with --test passthrough (the default)";
    }
    // A sweep changes the serial settings between runs: the device server's side must follow,
    // which only RFC 2217 can ask of it.
    if (!o.sweeps.empty() && !o.rfc2217)
        return "--sweep needs --rfc2217: the device server's serial side is set to each "
               "combination through it";
    if (o.test != RunnerOptions::Test::Reconnect && (s.haveCycles || s.haveWhileAway))
        return std::string(s.haveCycles ? "--cycles" : "--while-away") +
               " goes with --test reconnect";
    if (o.test == RunnerOptions::Test::Reconnect) {
        if (!o.stations.empty() || !o.sweeps.empty() || s.haveListen)
            return "--test reconnect takes one device it connects to: leave out --listen, "
                   "--station, --stations and --sweep";
        if (o.rfc2217)
            return "--test reconnect takes a raw TCP link: leave out --rfc2217";
        if (!o.data.file.empty() || o.data.randomSize > 0 || s.haveDirection || s.haveRepeat ||
            s.haveStartDelay)
            return "--test reconnect sends its own blocks: leave out --file, --random, "
                   "--direction, --repeat and --start-delay";
        if (!s.latencyOption.empty())
            return s.latencyOption + " goes with --test latency";
        if (s.haveToggles)
            return "--toggles goes with --test lines";
        return {};
    }
    if (!o.scriptPath.empty()) {
        // The script says what is sent, when, and how often.
        if (!s.testWord.empty())
            return "--script runs a test of its own: leave out --test " + s.testWord;
        if (!o.data.file.empty() || o.data.randomSize > 0 || s.haveSeed || s.haveDirection)
            return "--script sends what the script says: leave out --file, --random, --seed and "
                   "--direction";
        if (s.haveRepeat || s.haveStartDelay)
            return "--script runs once, its repeat blocks as often as they say: leave out "
                   "--repeat and --start-delay";
        if (!s.latencyOption.empty())
            return s.latencyOption + " goes with --test latency";
        if (s.haveToggles)
            return "--toggles goes with --test lines";
        return {};
    }
    if (o.test == RunnerOptions::Test::Lines) {
        if (!o.stations.empty() || !o.sweeps.empty())
            return "--test lines takes one device and its settings: leave out --station, "
                   "--stations and --sweep";
        if (!o.rfc2217)
            return "--test lines needs --rfc2217: the device server's lines are seen through it";
        if (!o.data.file.empty() || o.data.randomSize > 0 || s.haveSeed || s.haveDirection)
            return "--test lines sends no data: leave out --file, --random, --seed and "
                   "--direction";
        if (!s.latencyOption.empty())
            return s.latencyOption + " goes with --test latency";
        return {};
    }
    if (s.haveToggles)
        return "--toggles goes with --test lines";
    if (o.test == RunnerOptions::Test::Latency) {
        // The frames are the data: a file to send has no place in it.
        if (!o.data.file.empty() || o.data.randomSize > 0 || s.haveSeed)
            return std::string(!o.data.file.empty() ? "--file"
                               : s.haveSeed         ? "--seed"
                                                    : "--random") +
                   " goes with --test passthrough";
        // The frames are read as they arrive on the wire: Telnet framing would change them.
        if (o.rfc2217)
            return "--test latency takes a raw TCP link: leave out --rfc2217";
    } else {
        if (!s.latencyOption.empty())
            return s.latencyOption + " goes with --test latency";
        if (!o.data.file.empty() && o.data.randomSize > 0)
            return "--file and --random exclude each other: choose one";
        if (o.data.file.empty() && o.data.randomSize <= 0)
            return "--file PATH or --random SIZE is missing";
        if (s.haveSeed && o.data.randomSize <= 0)
            return "--seed goes with --random";
    }
    if (s.direction == "serial-to-net")
        o.directions = {PassDirection::SerialToNet};
    else if (s.direction == "net-to-serial")
        o.directions = {PassDirection::NetToSerial};
    else if (s.direction == "both")
        o.directions = {PassDirection::SerialToNet, PassDirection::NetToSerial};
    else
        return "--direction " + s.direction + " is not one of: serial-to-net net-to-serial both";
    return {};
}

}  // namespace

std::vector<OptionInfo> OptionTable() {
    std::vector<OptionInfo> table;
    for (const OptionSpec& spec : Specs())
        table.push_back(spec.info);
    return table;
}

ParsedArguments ParseArguments(const std::vector<std::string>& args) {
    ParsedArguments result;
    ParseState state{result.options, false, false, false, false, false, false, {},
                     "both",         {},    false, false, false};
    // LineSettings' defaults are the window's: 57600 baud, 8N1, no flow control.
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        bool inlineValue = false;
        if (name.rfind("--", 0) == 0) {
            if (const size_t eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                inlineValue = true;
            }
        }
        if (name == "-h")
            name = "--help";
        const auto& specs = Specs();
        const auto spec = std::find_if(specs.begin(), specs.end(), [&name](const OptionSpec& o) {
            return o.info.name == name;
        });
        if (spec == specs.end()) {
            result.error = "unknown option " + args[i];
            return result;
        }
        if (spec->takes == Takes::Value && !inlineValue) {
            if (i + 1 >= args.size()) {
                result.error = name + " needs a value";
                return result;
            }
            value = args[++i];
        } else if (spec->takes == Takes::Nothing && inlineValue) {
            result.error = name + " takes no value";
            return result;
        } else if (spec->takes == Takes::OptionalValue && inlineValue && value.empty()) {
            result.error = name + "= needs a file";
            return result;
        }
        if (std::string error = spec->apply(state, value); !error.empty()) {
            result.error = error;
            return result;
        }
        // The first option that only the latency test takes, for the message if another runs.
        if (state.latencyOption.empty() && spec->info.group == kLatencyGroup)
            state.latencyOption = name;
    }
    if (!result.options.help)
        result.error = CheckTogether(state);
    result.ok = result.error.empty();
    return result;
}

namespace {

// What a path names now: nothing yet, a regular file (its device and inode), or something else
// (its kind, for the message).
struct PathKind {
    bool exists = false;
    bool regular = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string kind;  // "a FIFO", "a directory", "a device"...
};

PathKind Look(const std::string& path) {
    PathKind k;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return k;
    k.exists = true;
    k.regular = S_ISREG(st.st_mode);
    k.dev = st.st_dev;
    k.ino = st.st_ino;
    k.kind = S_ISFIFO(st.st_mode)   ? "a FIFO"
             : S_ISDIR(st.st_mode)  ? "a directory"
             : S_ISCHR(st.st_mode)  ? "a character device"
             : S_ISBLK(st.st_mode)  ? "a block device"
             : S_ISSOCK(st.st_mode) ? "a socket"
                                    : "not a regular file";
    return k;
}

std::string Absolute(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path abs = std::filesystem::absolute(path, ec);
    return ec ? path : abs.lexically_normal().string();
}

}  // namespace

std::string CheckOutputPaths(const RunnerOptions& o, int settingCount) {
    struct Output {
        std::string option;  // "--junit"
        std::string path;
    };
    std::vector<Output> outputs;
    if (!o.outputs.junitPath.empty())
        outputs.push_back({"--junit", o.outputs.junitPath});
    if (!o.outputs.jsonPath.empty())
        outputs.push_back({"--json", o.outputs.jsonPath});
    if (!o.outputs.jsonlPath.empty())
        outputs.push_back({"--jsonl", o.outputs.jsonlPath});
    if (!o.outputs.reportPath.empty())
        outputs.push_back({"--report", o.outputs.reportPath});
    if (!o.outputs.logPath.empty()) {
        // The logs the stations write: one a station and setting, named after --log.
        std::vector<std::string> names;
        for (const Station& s : o.stations)
            names.push_back(s.name);
        if (names.empty())
            names.push_back("");
        for (const std::string& name : names)
            for (int k = 0; k < std::max(1, settingCount); ++k)
                outputs.push_back(
                    {"--log", StationFile(o.outputs.logPath, name, settingCount > 1 ? k + 1 : 0)});
    }
    // The files read: an output written over one of them would destroy it.
    struct Input {
        std::string option;  // "--file"
        std::string what;    // "the file to send"
        std::string path;
        PathKind kind;
    };
    std::vector<Input> inputs;
    if (!o.data.file.empty())
        inputs.push_back({"--file", "the file to send", o.data.file, Look(o.data.file)});
    if (!o.scriptPath.empty())
        inputs.push_back({"--script", "the script", o.scriptPath, Look(o.scriptPath)});
    std::vector<std::pair<PathKind, std::string>> seen;  // each output checked so far
    for (const Output& out : outputs) {
        const PathKind k = Look(out.path);
        if (k.exists && !k.regular)
            return out.option + " " + out.path + " is " + k.kind +
                   ", not a regular file: give a file to write (a new one, or one to replace)";
        for (const Input& in : inputs) {
            if (k.exists && in.kind.exists && k.dev == in.kind.dev && k.ino == in.kind.ino)
                return out.option + " " + out.path + " is " + in.what + " (" + in.option + " " +
                       in.path + "): choose another file to write";
            if (!k.exists && Absolute(out.path) == Absolute(in.path))
                return out.option + " " + out.path + " is " + in.what + ": choose another file";
        }
        for (size_t i = 0; i < seen.size(); ++i) {
            const PathKind& other = seen[i].first;
            const bool same =
                k.exists ? other.exists && k.dev == other.dev && k.ino == other.ino
                         : !other.exists && Absolute(out.path) == Absolute(outputs[i].path);
            if (same)
                return outputs[i].option + " and " + out.option + " both name " + out.path +
                       ": give each output a file of its own";
        }
        seen.emplace_back(k, out.path);
    }
    return {};
}

std::string LoadRunnerScript(RunnerOptions& o) {
    if (o.test != RunnerOptions::Test::Script)
        return {};
    ScriptParse parsed = LoadScript(o.scriptPath);
    if (!parsed.ok)
        return parsed.error.empty() ? o.scriptPath + ": the script cannot be read" : parsed.error;
    // Over UDP each network send is one datagram, which a device server takes whole only up to
    // the size file datagrams have.
    if (o.link.udp) {
        std::string error;
        const auto check = [&](const ScriptSend& send, int line) {
            const size_t n = send.Wire().size();
            if (error.empty() && send.link == ScriptLink::Network && n > UDP_SEND_CHUNK)
                error = parsed.script.file + ":" + std::to_string(line) + ": " +
                        CountOf(static_cast<int64_t>(n), "byte", "bytes") +
                        " to send on the network link are more than one UDP datagram of " +
                        std::to_string(UDP_SEND_CHUNK) + " bytes (--udp): split the send";
        };
        const std::function<void(const std::vector<ScriptStep>&)> steps =
            [&](const std::vector<ScriptStep>& list) {
                for (const ScriptStep& step : list) {
                    if (step.op == ScriptStep::Op::Send)
                        check(step.send, step.line);
                    steps(step.body);
                }
            };
        steps(parsed.script.steps);
        for (const ScriptResponder& r : parsed.script.responders)
            check(r.reply, r.line);
        if (!error.empty())
            return error;
    }
    o.script = std::make_shared<const Script>(std::move(parsed.script));
    return {};
}

std::string UsageText() {
    std::string text =
        R"(Usage: vaskel-passthrough --serial DEVICE (--connect HOST:PORT | --listen PORT)
                          (--file PATH | --random SIZE[K|M] [--seed N]) [options]
       vaskel-passthrough --serial DEVICE --udp HOST:PORT [--udp-local PORT]
                          [--udp-pace line|off|RATE] (--file PATH | --random SIZE) [options]
       vaskel-passthrough --serial DEVICE (--connect HOST:PORT | --listen PORT)
                          --rfc2217 --test lines [--toggles N] [options]
       vaskel-passthrough --serial DEVICE (--connect HOST:PORT | --listen PORT)
                          --test latency [--frames N] [--frame-size BYTES] [--interval MS]
                          [--max-latency MS] [options]
       vaskel-passthrough --serial DEVICE (--connect HOST:PORT | --listen PORT)
                          --script FILE [options]
       vaskel-passthrough (--station NAME,DEVICE,HOST:PORT | --station NAME,DEVICE,listen:PORT
                           | --stations FILE)... (--file PATH | --random SIZE) [options]

Sends a file through a serial-to-TCP device server and checks that it comes back unchanged:
the file goes out behind its header on one side, the device passes it through, and the other
side stores it and compares it with what was sent, byte by byte, as it arrives.
)";
    // The options, from the table the parser reads: a heading, then "  --name VALUE   help",
    // the help's further lines indented to its first.
    constexpr size_t kHelpColumn = 25;
    std::string group;
    for (const OptionInfo& o : OptionTable()) {
        if (o.group != group) {
            group = o.group;
            text += "\n" + group + "\n";
        }
        std::string head = "  " + o.name;
        if (!o.value.empty())
            head += (o.value[0] == '[' ? "" : " ") + o.value;
        size_t from = 0;
        bool first = true;
        while (from <= o.help.size()) {
            const size_t nl = o.help.find('\n', from);
            const std::string line =
                o.help.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
            if (first && head.size() + 1 <= kHelpColumn) {
                text += head + std::string(kHelpColumn - head.size(), ' ') + line + "\n";
            } else {
                if (first)
                    text += head + "\n";
                text += std::string(kHelpColumn, ' ') + line + "\n";
            }
            first = false;
            if (nl == std::string::npos)
                break;
            from = nl + 1;
        }
    }
    text += R"(
A progress line goes to stderr (a bar on a terminal). A device that passes nothing for 2 s
ends a run with a time-out. SIGINT or SIGTERM ends the runs under way within half a second and
still writes every report, the interrupted runs marked as such.

Exit codes:
  0   every run verified
  1   a mismatch or a short capture (time-out after part of the file, a link lost);
      with --test lines: a line change that was not seen; with --test latency: frames lost
      or corrupted, stray bytes, a frame read before it was written, or a p99 above
      --max-latency; with --script: an expectation not met in time (its line, what was
      expected and the last 64 bytes received on that link follow)
  2   a time-out: the device passed nothing
  3   the serial port could not be opened (with --script: or a send on it failed)
  4   the network side failed (connect refused, no device connected in time, the device
      server stopped reading; with --script: a send on it failed or it went down; with
      --clients: the device server refused or closed a client; with --accept-again: the
      device did not dial in again in time)
  5   the received file, the test data, a report or the traffic log could not be stored,
      the sent file could not be read, or a station's thread could not be started
  6   with --rfc2217: the device server refused a setting, answered it with another
      value or not within 2 s, or is not an RFC 2217 server (each failure on a line of
      its own); with --test lines: the serial device has no modem lines
  64  bad arguments, an output file that clashes with another file or is not a regular
      file, or a script that cannot be read or parsed (FILE:LINE: what is wrong)
  130 SIGINT or SIGTERM ended the test (every report is still written)
)";
    return text;
}
