#include "runner/Options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

#include "net/NetConsole.h"
#include "runner/Stations.h"

namespace {

// A whole decimal number in [low, high]; false otherwise (signs, blanks and suffixes included).
bool ParseNumber(const std::string& text, long long low, long long high, long long* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > static_cast<unsigned long long>(high) ||
        static_cast<long long>(v) < low)
        return false;
    *value = static_cast<long long>(v);
    return true;
}

// The values the serial options accept, in the order the messages list them: the rates of the
// window's baud list, its data bits, stop bits, parity and flow control.
constexpr uint32_t kBauds[] = {2400, 4800, 9600, 14400, 19200, 28800, 38400, 57600, 115200, 230400};
// The highest rate --baud takes: above the fastest common UART clocks (4 Mbit/s on FTDI and
// 16C950 parts); larger numbers are typing errors rather than rates.
constexpr long long kMaxBaud = 4000000;
constexpr int kDataBits[] = {5, 6, 7, 8};
constexpr Parity kParities[] = {Parity::Even, Parity::Odd, Parity::None};
constexpr FlowControl kFlows[] = {FlowControl::None, FlowControl::XonXoff, FlowControl::Hardware};

// "a b c": the accepted values, as the messages list them.
template <class T, size_t N, class Text>
std::string ListOf(const T (&values)[N], Text text) {
    std::string list;
    for (size_t i = 0; i < N; ++i)
        list += (i ? " " : "") + text(values[i]);
    return list;
}

// The accepted value that `match` picks; nullptr when none does.
template <class T, size_t N, class Match>
const T* Find(const T (&values)[N], Match match) {
    for (const T& v : values)
        if (match(v))
            return &v;
    return nullptr;
}

}  // namespace

int64_t ParseSize(const std::string& text) {
    if (text.empty())
        return -1;
    int64_t unit = 1;
    std::string digits = text;
    const char last = text.back();
    if (last == 'K' || last == 'k' || last == 'M' || last == 'm') {
        unit = (last == 'K' || last == 'k') ? 1024 : 1024 * 1024;
        digits.pop_back();
    }
    long long n = 0;
    if (!ParseNumber(digits, 0, LLONG_MAX / (1024 * 1024), &n))
        return -1;
    return n * unit;
}

double LineBytesPerSecond(const LineSettings& s) {
    return static_cast<double>(s.baud) / s.FrameBits();
}

std::string ApplyLineOption(const std::string& name, const std::string& value, LineSettings& line) {
    long long n = 0;
    if (name == "--baud") {
        // Any rate the driver takes; the window's list only names the common ones.
        if (!ParseNumber(value, 0, LLONG_MAX, &n))
            return "--baud " + value + " is not one of: " + ListOf(kBauds, [](uint32_t b) {
                       return std::to_string(b);
                   });
        if (n < 1 || n > kMaxBaud)
            return "--baud " + value + " is out of range: 1 to " + std::to_string(kMaxBaud);
        line.baud = static_cast<uint32_t>(n);
    } else if (name == "--data-bits") {
        const long long wanted = ParseNumber(value, 1, 64, &n) ? n : -1;
        const int* bits = Find(kDataBits, [wanted](int b) { return b == wanted; });
        if (!bits)
            return "--data-bits " + value +
                   " is not one of: " + ListOf(kDataBits, [](int b) { return std::to_string(b); });
        line.dataBits = *bits;
    } else if (name == "--stop-bits") {
        const long long wanted = ParseNumber(value, 1, 64, &n) ? n : -1;
        if (wanted != 1 && wanted != 2)
            return "--stop-bits " + value + " is not one of: 1 2";
        line.stopBits = wanted == 2 ? StopBits::Two : StopBits::One;
    } else if (name == "--parity") {
        const Parity* parity =
            Find(kParities, [&value](Parity p) { return value == ParityWord(p); });
        if (!parity)
            return "--parity " + value + " is not one of: " + ListOf(kParities, ParityWord);
        line.parity = *parity;
    } else if (name == "--flow") {
        const FlowControl* flow =
            Find(kFlows, [&value](FlowControl f) { return value == FlowWord(f); });
        if (!flow)
            return "--flow " + value + " is not one of: " + ListOf(kFlows, FlowWord);
        line.flow = *flow;
    } else {
        return "unknown serial setting " + name;
    }
    return {};
}

std::string ApplyEndpointOption(const std::string& name, const std::string& value,
                                RunnerOptions& o) {
    long long n = 0;
    if (name == "--connect") {
        const size_t colon = value.rfind(':');
        if (colon == std::string::npos)
            return "--connect needs HOST:PORT, got " + value;
        o.host = value.substr(0, colon);
        in_addr addr{};
        if (inet_pton(AF_INET, o.host.c_str(), &addr) != 1)
            return "--connect needs a dotted IPv4 address, got " + o.host;
        if (!ParseNumber(value.substr(colon + 1), 1, MAX_TCP_PORT, &n))
            return "--connect: port " + value.substr(colon + 1) + " is not a TCP port (1 to 65535)";
        o.port = static_cast<unsigned>(n);
        o.net = RunnerOptions::Net::Connect;
        return {};
    }
    if (!ParseNumber(value, 1, MAX_TCP_PORT, &n))
        return "--listen: port " + value + " is not a TCP port (1 to 65535)";
    o.port = static_cast<unsigned>(n);
    o.net = RunnerOptions::Net::Listen;
    return {};
}

ParsedArguments ParseArguments(const std::vector<std::string>& args) {
    ParsedArguments result;
    RunnerOptions& o = result.options;
    auto fail = [&result](const std::string& error) {
        result.ok = false;
        result.error = error;
        return result;
    };
    // LineSettings' defaults are the window's: 57600 baud, 8N1, no flow control.
    LineSettings& line = o.settings;
    bool haveConnect = false, haveListen = false, haveSeed = false, haveSerial = false;
    bool haveToggles = false, haveDirection = false;
    std::string latencyOption;  // the first latency-only option given, for the message
    std::string direction = "both";

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
        static const std::map<std::string, bool> takesValue = {
            {"--serial", true},      {"--baud", true},        {"--data-bits", true},
            {"--parity", true},      {"--stop-bits", true},   {"--flow", true},
            {"--connect", true},     {"--listen", true},      {"--accept-timeout", true},
            {"--file", true},        {"--random", true},      {"--seed", true},
            {"--direction", true},   {"--repeat", true},      {"--output-dir", true},
            {"--keep", false},       {"--json", false},       {"--junit", true},
            {"--start-delay", true}, {"--help", false},       {"-h", false},
            {"--rfc2217", false},    {"--test", true},        {"--toggles", true},
            {"--station", true},     {"--stations", true},    {"--sweep", true},
            {"--jsonl", true},       {"--frames", true},      {"--frame-size", true},
            {"--interval", true},    {"--max-latency", true}, {"--log", true},
            {"--report", true},
        };
        const auto known = takesValue.find(name);
        if (known == takesValue.end())
            return fail("unknown option " + args[i]);
        if (known->second && !inlineValue) {
            if (i + 1 >= args.size())
                return fail(name + " needs a value");
            value = args[++i];
        } else if (!known->second && inlineValue) {
            return fail(name + " takes no value");
        }
        long long n = 0;
        if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--serial") {
            if (value.empty())
                return fail("--serial needs a device path or COMn");
            o.serial = value;
            haveSerial = true;
        } else if (name == "--baud" || name == "--data-bits" || name == "--stop-bits" ||
                   name == "--parity" || name == "--flow") {
            if (std::string error = ApplyLineOption(name, value, line); !error.empty())
                return fail(error);
        } else if (name == "--connect" || name == "--listen") {
            if (std::string error = ApplyEndpointOption(name, value, o); !error.empty())
                return fail(error);
            (name == "--connect" ? haveConnect : haveListen) = true;
        } else if (name == "--accept-timeout") {
            if (!ParseNumber(value, 1, 86400, &n))
                return fail("--accept-timeout needs whole seconds from 1 to 86400, got " + value);
            o.acceptTimeoutS = static_cast<int>(n);
        } else if (name == "--file") {
            if (value.empty())
                return fail("--file needs a path");
            o.file = value;
        } else if (name == "--random") {
            o.randomSize = ParseSize(value);
            if (o.randomSize <= 0 || o.randomSize > MAX_SEND_FILE_SIZE)
                return fail(
                    "--random needs a size from 1 to 2147483647 bytes (SIZE, SIZEK or SIZEM), "
                    "got " +
                    value);
        } else if (name == "--seed") {
            if (!ParseNumber(value, 0, LLONG_MAX, &n))
                return fail("--seed needs a whole number, got " + value);
            o.seed = static_cast<uint64_t>(n);
            haveSeed = true;
        } else if (name == "--direction") {
            direction = value;
            haveDirection = true;
        } else if (name == "--rfc2217") {
            o.rfc2217 = true;
        } else if (name == "--test") {
            if (value == "passthrough")
                o.test = RunnerOptions::Test::Passthrough;
            else if (value == "lines")
                o.test = RunnerOptions::Test::Lines;
            else if (value == "latency")
                o.test = RunnerOptions::Test::Latency;
            else
                return fail("--test " + value + " is not one of: passthrough lines latency");
        } else if (name == "--toggles") {
            if (!ParseNumber(value, 1, 10000, &n))
                return fail("--toggles needs a count from 1 to 10000, got " + value);
            o.toggles = static_cast<int>(n);
            haveToggles = true;
        } else if (name == "--repeat") {
            if (!ParseNumber(value, 1, 1000000, &n))
                return fail("--repeat needs a count from 1, got " + value);
            o.repeat = static_cast<int>(n);
        } else if (name == "--output-dir") {
            if (value.empty())
                return fail("--output-dir needs a folder");
            o.outputDir = value;
        } else if (name == "--keep") {
            o.keep = true;
        } else if (name == "--json") {
            o.json = true;
        } else if (name == "--junit") {
            if (value.empty())
                return fail("--junit needs a file");
            o.junitPath = value;
        } else if (name == "--station") {
            Station station;
            std::string error;
            if (!ParseStation(value, station, &error))
                return fail(error);
            o.stations.push_back(std::move(station));
        } else if (name == "--stations") {
            std::string error;
            if (!ReadStationsFile(value, o.stations, &error))
                return fail(error);
        } else if (name == "--sweep") {
            SweepAxis axis;
            std::string error;
            if (!ParseSweep(value, axis, &error))
                return fail(error);
            for (const SweepAxis& a : o.sweeps)
                if (a.key == axis.key)
                    return fail("--sweep " + axis.key + " is given twice");
            o.sweeps.push_back(std::move(axis));
        } else if (name == "--jsonl") {
            if (value.empty())
                return fail("--jsonl needs a file");
            o.jsonlPath = value;
        } else if (name == "--start-delay") {
            if (!ParseNumber(value, 0, 60000, &n))
                return fail("--start-delay needs milliseconds from 0 to 60000, got " + value);
            o.startDelayMs = static_cast<int>(n);
        } else if (name == "--frames") {
            if (!ParseNumber(value, 1, 10000000, &n))
                return fail("--frames needs a count from 1 to 10000000, got " + value);
            o.frames = static_cast<int>(n);
        } else if (name == "--frame-size") {
            // A frame goes out in one write, which a socket's send buffer always takes whole
            // at this size; larger frames would be cut by a peer that reads slowly.
            if (!ParseNumber(value, 8, 4096, &n))
                return fail("--frame-size needs bytes from 8 to 4096, got " + value);
            o.frameSize = static_cast<int>(n);
        } else if (name == "--interval") {
            if (!ParseNumber(value, 0, 60000, &n))
                return fail("--interval needs milliseconds from 0 to 60000, got " + value);
            o.intervalMs = static_cast<int>(n);
        } else if (name == "--max-latency") {
            char* end = nullptr;
            errno = 0;
            const double ms = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || errno != 0 || !(ms >= 0) || ms > 3600000 ||
                value.find_first_not_of("0123456789.") != std::string::npos)
                return fail("--max-latency needs milliseconds (e.g. 5 or 2.5), got " + value);
            o.maxLatencyMs = ms;
        } else if (name == "--log") {
            if (value.empty())
                return fail("--log needs a file");
            o.logPath = value;
        } else if (name == "--report") {
            if (value.empty())
                return fail("--report needs a file");
            o.reportPath = value;
        }
        if (latencyOption.empty() && (name == "--frames" || name == "--frame-size" ||
                                      name == "--interval" || name == "--max-latency"))
            latencyOption = name;
    }
    if (o.help) {
        result.ok = true;
        return result;
    }
    if (!o.stations.empty()) {
        // Each station names its own serial device and network side.
        if (haveSerial || haveConnect || haveListen)
            return fail(
                "--station gives each station its serial device and network side: "
                "leave out --serial, --connect and --listen");
        std::string error;
        if (!CheckStations(o.stations, &error))
            return fail(error);
    } else {
        if (!haveSerial)
            return fail("--serial DEVICE is missing");
        if (haveConnect && haveListen)
            return fail("--connect and --listen exclude each other: choose one");
        if (!haveConnect && !haveListen)
            return fail("--connect HOST:PORT or --listen PORT is missing");
    }
    // A sweep changes the serial settings between runs: the device server's side must follow,
    // which only RFC 2217 can ask of it.
    if (!o.sweeps.empty() && !o.rfc2217)
        return fail(
            "--sweep needs --rfc2217: the device server's serial side is set to each "
            "combination through it");
    if (o.test == RunnerOptions::Test::Lines) {
        if (!o.stations.empty() || !o.sweeps.empty())
            return fail(
                "--test lines takes one device and its settings: leave out --station, "
                "--stations and --sweep");
        if (!o.rfc2217)
            return fail(
                "--test lines needs --rfc2217: the device server's lines are seen through it");
        if (!o.file.empty() || o.randomSize > 0 || haveSeed || haveDirection)
            return fail(
                "--test lines sends no data: leave out --file, --random, --seed and --direction");
        if (!latencyOption.empty())
            return fail(latencyOption + " goes with --test latency");
        result.ok = true;
        return result;
    }
    if (haveToggles)
        return fail("--toggles goes with --test lines");
    if (o.test == RunnerOptions::Test::Latency) {
        // The frames are the data: a file to send has no place in it.
        if (!o.file.empty() || o.randomSize > 0 || haveSeed)
            return fail(std::string(!o.file.empty() ? "--file"
                                    : haveSeed      ? "--seed"
                                                    : "--random") +
                        " goes with --test passthrough");
        // The frames are read as they arrive on the wire: Telnet framing would change them.
        if (o.rfc2217)
            return fail("--test latency takes a raw TCP link: leave out --rfc2217");
    } else {
        if (!latencyOption.empty())
            return fail(latencyOption + " goes with --test latency");
        if (!o.file.empty() && o.randomSize > 0)
            return fail("--file and --random exclude each other: choose one");
        if (o.file.empty() && o.randomSize <= 0)
            return fail("--file PATH or --random SIZE is missing");
        if (haveSeed && o.randomSize <= 0)
            return fail("--seed goes with --random");
    }
    if (direction == "serial-to-net")
        o.directions = {PassDirection::SerialToNet};
    else if (direction == "net-to-serial")
        o.directions = {PassDirection::NetToSerial};
    else if (direction == "both")
        o.directions = {PassDirection::SerialToNet, PassDirection::NetToSerial};
    else
        return fail("--direction " + direction +
                    " is not one of: serial-to-net net-to-serial both");
    result.ok = true;
    return result;
}

std::string UsageText() {
    return R"(Usage: vaskel-passthrough --serial DEVICE (--connect HOST:PORT | --listen PORT)
                          (--file PATH | --random SIZE[K|M] [--seed N]) [options]
       vaskel-passthrough --serial DEVICE (--connect HOST:PORT | --listen PORT)
                          --rfc2217 --test lines [--toggles N] [options]
       vaskel-passthrough --serial DEVICE (--connect HOST:PORT | --listen PORT)
                          --test latency [--frames N] [--frame-size BYTES] [options]
       vaskel-passthrough (--station NAME,DEVICE,HOST:PORT | --station NAME,DEVICE,listen:PORT
                           | --stations FILE)... (--file PATH | --random SIZE) [options]

Sends a file through a serial-to-TCP device server and checks that it comes back unchanged:
the file goes out behind its header on one side, the device passes it through, and the other
side stores it and compares it with what was sent, byte by byte, as it arrives.

Serial side:
  --serial DEVICE        device path, or COMn (the program's port mapping, as in the window)
  --baud RATE            any rate from 1 to 4000000 the driver takes, e.g. 9600 115200
                         250000 921600 (default 57600); a differing applied rate is told
  --data-bits N          5 6 7 8 (default 8)
  --parity WORD          even odd none (default none)
  --stop-bits N          1 2 (default 1)
  --flow WORD            none software hardware (default none)
Network side (one of):
  --connect HOST:PORT    connect to the device (dotted IPv4, 2 s connect time-out)
  --listen PORT          Server Mode: wait for the device to connect
  --accept-timeout S     how long --listen waits for the device (default 30)
  --rfc2217              speak Telnet with the Com Port Control option (RFC 2217): set the
                         device server's serial port to --baud, --data-bits, --parity,
                         --stop-bits and --flow before the first run and check each answer;
                         every byte goes as Telnet data
Data (one of):
  --file PATH            send this file (1 byte to 2 GiB - 1)
  --random SIZE[K|M]     send SIZE bytes of a reproducible pattern, made in the temporary folder
  --seed N               the pattern's seed (default 1): the same seed gives the same bytes
Test:
  --test passthrough     the data above through the device, as --direction says (default)
  --test lines           the control lines end to end (needs --rfc2217): DTR and RTS of the
                         serial side changed --toggles times each, every change expected in the
                         device server's modem state; then the device server's DTR and RTS
                         set the same way, every change expected on CTS, DSR or DCD here.
                         Tells which line followed each one (null-modem wiring varies), the
                         changes seen and their delay (median and longest)
  --toggles N            changes per line for --test lines (default 20)
Runs:
  --direction D          serial-to-net, net-to-serial or both (default both, in that order)
  --repeat N             run it all N times (default 1)
  --start-delay MS       pause before each header, as the window makes (default 1000)
  --output-dir DIR       store the received files here (default: a temporary folder, removed
                         when every run verified unless --keep)
  --keep                 keep the temporary folder
A rack (many devices at once, each on its own serial device and network port):
  --station NAME,DEVICE,HOST:PORT   a station that connects to its device; repeatable
  --station NAME,DEVICE,listen:PORT a station in Server Mode
  --stations FILE        one station a line in the same form ('#' starts a comment)
                         Every other option applies to every station; each output line starts
                         with [NAME]; the exit code is that of the first failing station.
  --sweep KEY=V1,V2,...  run everything for every combination of these values (needs
                         --rfc2217); KEY is baud, data-bits, parity, stop-bits or flow;
                         repeatable
Latency test (--test latency):
  --frames N             frames per run (default 1000)
  --frame-size BYTES     bytes per frame, 8 to 4096 (default 16); each carries its sequence
                         number and check bytes
  --interval MS          one frame every MS milliseconds (default 10)
  --max-latency MS       a p99 one-way latency above MS fails the run
Reporting:
  --json                 a JSON report on stdout instead of the one-line summaries (with a
                         "stations" array for a rack)
  --junit FILE           a JUnit XML report for CI systems (one test suite per station)
  --jsonl FILE           one JSON line per finished run, written as each run finishes
  --report FILE          a self-contained HTML report with charts
  --log FILE             a traffic log: every chunk of both links, time-stamped
  --help                 this text

A progress line goes to stderr (a bar on a terminal). A device that passes nothing for 2 s
ends a run with a time-out.

Exit codes:
  0   every run verified
  1   a mismatch or a short capture (time-out after part of the file, a link lost);
      with --test lines: a line change that was not seen; with --test latency: frames lost
      or corrupted, or a p99 above --max-latency
  2   a time-out: the device passed nothing
  3   the serial port could not be opened
  4   the network side failed (connect refused, no device connected in time)
  5   the received file, the test data, a report or the traffic log could not be stored,
      or the sent file could not be read
  6   with --rfc2217: the device server refused a setting, answered it with another
      value or not within 2 s, or is not an RFC 2217 server (each failure on a line of
      its own); with --test lines: the serial device has no modem lines
  64  bad arguments
  130 SIGINT or SIGTERM ended the test (every report is still written)
)";
}
