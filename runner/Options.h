// The command line of vaskel-passthrough: what it accepts and the settings it makes of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/LineSettings.h"
#include "transfer/PassThrough.h"

// The program's exit codes.
enum RunnerExit : int {
    EXIT_VERIFIED = 0,        // every run verified
    EXIT_MISMATCH = 1,        // a mismatch or a short capture
    EXIT_TIMEOUT = 2,         // a time-out: the device passed nothing
    EXIT_SERIAL_FAILED = 3,   // the serial port could not be opened
    EXIT_NETWORK_FAILED = 4,  // connect refused or failed, no peer in time, peer gone
    EXIT_NOT_STORED = 5,      // the capture (or the test data) could not be stored
    EXIT_BAD_ARGUMENTS = 64,  // bad arguments
};

constexpr int DEFAULT_ACCEPT_TIMEOUT_S = 30;

struct RunnerOptions {
    // Serial side: the device as given (a path or COMn) and its line settings (57600 8N1 and
    // no flow control unless the options say otherwise).
    std::string serial;
    LineSettings settings;
    // Network side.
    enum class Net { Connect, Listen } net = Net::Connect;
    std::string host;  // dotted IPv4 (Connect)
    unsigned port = 0;
    int acceptTimeoutS = DEFAULT_ACCEPT_TIMEOUT_S;
    // Data: a file, or `randomSize` bytes of the pattern of `seed`.
    std::string file;
    int64_t randomSize = -1;
    uint64_t seed = 1;
    std::vector<PassDirection> directions;  // in the order they run within one repetition
    int repeat = 1;
    std::string outputDir;  // empty: a temporary folder
    bool keep = false;
    int startDelayMs = SEND_START_DELAY_MS;
    // What each run does: a file through the device (the default), or timed frames.
    enum class Test { Passthrough, Latency } test = Test::Passthrough;
    // Latency runs: `frames` frames of `frameSize` bytes, one every `intervalMs`; a p99 above
    // `maxLatencyMs` (when >= 0) fails the run.
    int frames = 1000;
    int frameSize = 16;
    int intervalMs = 10;
    double maxLatencyMs = -1;
    std::string logPath;     // the traffic log of both links (empty: none)
    std::string reportPath;  // the HTML report (empty: none)
    bool json = false;
    std::string junitPath;
    bool help = false;
};

struct ParsedArguments {
    bool ok = false;
    RunnerOptions options;
    std::string error;  // when !ok: what is wrong, one line
};

// Parses the arguments (without the program name). "--name value" and "--name=value" both work.
ParsedArguments ParseArguments(const std::vector<std::string>& args);

// The --help text.
std::string UsageText();

// The line's theoretical byte rate: baud / (1 start bit + data bits + parity bit + stop bits).
double LineBytesPerSecond(const LineSettings& settings);

// "1M" = 1048576, "4K" = 4096, "1000" = 1000; -1 when the text is not a size.
int64_t ParseSize(const std::string& text);
