// The runner's arguments and words, without a device.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "runner/Options.h"
#include "runner/Report.h"
#include "runner/ScriptReport.h"
#include "runner/Session.h"
#include "runner/Stations.h"
#include "runner/TestKind.h"
#include "support/TestUtil.h"

namespace {

std::vector<std::string> Base(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--serial",       "/dev/null", "--connect",
                                     "127.0.0.1:5000", "--random",  "1K"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::vector<std::string> Scripted(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--serial",       "/dev/null", "--connect",
                                     "127.0.0.1:5000", "--script",  "probe.vsk"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::vector<std::string> Latency(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--serial",       "/dev/null", "--connect",
                                     "127.0.0.1:5000", "--test",    "latency"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::vector<std::string> Udp(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--serial",       "/dev/null", "--udp",
                                     "127.0.0.1:5000", "--random",  "1K"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

TEST(RunnerOptions, BadArgumentsAreRefusedWithWhatIsWrong) {
    struct Case {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {Base({"--frobnicate"}), "unknown option --frobnicate"},
        {Base({"--baud", "fast"}),
         "--baud fast is not a rate: give a whole number of baud from 1 to 4000000, e.g. 2400 "
         "4800 9600 14400 19200 28800 38400 57600 115200 230400"},
        {Base({"--baud", "11520O"}), "--baud 11520O is not a rate: give a whole number"},
        {Base({"--baud", "0"}), "--baud 0 is out of range: 1 to 4000000"},
        {Base({"--baud", "4000001"}), "--baud 4000001 is out of range: 1 to 4000000"},
        {Base({"--baud", "-9600"}), "--baud -9600 is not a rate"},
        {Base({"--baud=9600x"}), "--baud 9600x is not a rate"},
        {Base({"--data-bits", "9"}), "--data-bits 9 is not one of: 5 6 7 8"},
        {Base({"--parity", "mark"}), "--parity mark is not one of: even odd none"},
        {Base({"--stop-bits", "3"}), "--stop-bits 3 is not one of: 1 2"},
        {Base({"--flow", "rts"}), "--flow rts is not one of: none software hardware"},
        {{"--serial", "x", "--connect", "127.0.0.1:70000", "--random", "1K"},
         "port 70000 is not a TCP port"},
        {Base({"--json="}), "--json= needs a file"},
        {{"--serial", "x", "--listen", "0", "--random", "1K"}, "port 0 is not a TCP port"},
        {Base({"--listen", "5001"}), "--connect and --listen exclude each other"},
        {Base({"--cycles", "3"}), "--cycles goes with --test reconnect"},
        {{"--serial", "x", "--listen", "5001", "--test", "reconnect"},
         "--test reconnect takes one device it connects to"},
        {{"--serial", "x", "--connect", "127.0.0.1:1", "--test", "reconnect", "--while-away", "0"},
         "--while-away needs bytes from 1 to 65536"},
        {Base({"--wait-for-server", "0"}), "--wait-for-server needs whole seconds from 1 to 86400"},
        {{"--serial", "x", "--listen", "5001", "--random", "1K", "--wait-for-server", "5"},
         "--wait-for-server goes with --connect"},
        {{"--serial", "x", "--random", "1K"},
         "--connect HOST:PORT, --listen PORT or --udp HOST:PORT is missing"},
        {Base({"--udp", "127.0.0.1:7"}), "--connect and --udp exclude each other: choose one"},
        {Udp({"--listen", "5001"}), "--listen and --udp exclude each other: choose one"},
        {{"--serial", "x", "--udp", "127.0.0.1", "--random", "1K"},
         "--udp needs HOST:PORT, got 127.0.0.1"},
        {{"--serial", "x", "--udp", "127.0.0.1:0", "--random", "1K"},
         "--udp: port 0 is not a UDP port (1 to 65535)"},
        {Udp({"--udp-local", "65536"}), "--udp-local: port 65536 is not a UDP port (1 to 65535)"},
        {Base({"--udp-local", "7000"}), "--udp-local goes with --udp"},
        {Base({"--udp-pace", "off"}), "--udp-pace goes with --udp"},
        {Udp({"--udp-pace", "fast"}),
         "--udp-pace needs line, off or bytes a second from 1 to 1000000000 (RATE, RATEK or "
         "RATEM), got fast"},
        {Udp({"--udp-pace", "0"}), "--udp-pace needs line, off or bytes a second"},
        {Udp({"--rfc2217"}), "--udp carries raw datagrams: leave out --rfc2217"},
        {Udp({"--wait-for-server", "5"}), "--wait-for-server goes with --connect (a UDP link"},
        {{"--serial", "x", "--udp", "127.0.0.1:7", "--test", "reconnect"},
         "--test reconnect cannot run over --udp: a UDP link has no connection"},
        {{"--serial", "x", "--udp", "127.0.0.1:7", "--test", "lines"},
         "--test lines cannot run over --udp"},
        {{"--serial", "x", "--udp", "127.0.0.1:7", "--test", "latency", "--frame-size", "1025"},
         "--frame-size over --udp is at most 1024 bytes (one datagram a frame), got 1025"},
        {{"--station", "a,/dev/x,127.0.0.1:1", "--udp", "127.0.0.1:7", "--random", "1K"},
         "leave out --serial, --connect, --listen and --udp"},
        {{"--connect", "127.0.0.1:1", "--random", "1K"}, "--serial DEVICE is missing"},
        {Base({"--file", "/etc/hostname"}), "--file and --random exclude each other"},
        {{"--serial", "x", "--connect", "127.0.0.1:1"}, "--file PATH or --random SIZE is missing"},
        {{"--serial", "x", "--connect", "127.0.0.1:1", "--random", "0"}, "--random needs a size"},
        {{"--serial", "x", "--connect", "127.0.0.1:1", "--random", "3G"}, "--random needs a size"},
        {{"--serial", "x", "--connect", "127.0.0.1:1", "--file", "f", "--seed", "3"},
         "--seed goes with --random"},
        {Base({"--direction", "sideways"}), "--direction sideways is not one of"},
        {Base({"--repeat", "0"}), "--repeat needs a count"},
        {Base({"--repeat"}), "--repeat needs a value"},
        {Base({"--keep=yes"}), "--keep takes no value"},
        {Base({"--test", "lines"}), "--test lines needs --rfc2217"},
        {Base({"--rfc2217", "--test", "lines"}), "--test lines sends no data"},
        {Base({"--test", "sideways"}), "--test sideways is not one of: passthrough lines latency"},
        {Base({"--toggles", "5"}), "--toggles goes with --test lines"},
        {{"--serial", "x", "--connect", "127.0.0.1:1", "--rfc2217", "--test", "lines", "--toggles",
          "0"},
         "--toggles needs a count from 1 to 10000"},
        {Base({"--rfc2217", "--test", "lines", "--sweep", "baud=9600,19200"}),
         "--test lines takes one device and its settings"},
        {Base({"--station", "a,/dev/ttyS0,127.0.0.1:1"}), "leave out --serial, --connect"},
        {{"--station", "a,/dev/x", "--random", "1K"}, "--station needs NAME,SERIAL,HOST:PORT"},
        {{"--station", "a b,/dev/x,127.0.0.1:1", "--random", "1K"}, "the name a b must be"},
        {{"--station", "a,/dev/x,listen:0", "--random", "1K"}, "--station a: --listen: port 0"},
        {{"--station", "a,/dev/x,127.0.0.1:1", "--station", "a,/dev/y,127.0.0.1:2", "--random",
          "1K"},
         "two stations are named a"},
        {{"--station", "a,/dev/x,listen:7", "--station", "b,/dev/x,listen:8", "--random", "1K"},
         "two stations use the serial device /dev/x"},
        {{"--stations", "/nonexistent/rack.txt", "--random", "1K"}, "can't read /nonexistent"},
        {Base({"--sweep", "baud=9600,19200"}), "--sweep needs --rfc2217"},
        {Latency({"--rfc2217"}), "--test latency takes a raw TCP link"},
        {Base({"--sweep", "speed=1,2"}), "--sweep: speed is not one of: baud data-bits parity"},
        {Base({"--sweep", "parity=even,mark"}), "--sweep parity mark is not one of"},
        {Base({"--sweep", "baud=9600,9600"}), "9600 is given twice"},
        {Base({"--sweep", "baud=9600", "--sweep", "baud=19200"}), "--sweep baud is given twice"},
        {Base({"--test", "speed"}), "--test speed is not one of: passthrough lines latency"},
        {Base({"--frames", "10"}), "--frames goes with --test latency"},
        {Base({"--test", "latency"}), "--random goes with --test passthrough"},
        {Latency({"--frame-size", "7"}), "--frame-size needs bytes from 8 to 4096"},
        {Latency({"--frame-size", "4097"}), "--frame-size needs bytes from 8 to 4096"},
        {Latency({"--frames", "0"}), "--frames needs a count from 1"},
        {Latency({"--interval", "-1"}), "--interval needs milliseconds"},
        {Latency({"--max-latency", "fast"}), "--max-latency needs milliseconds"},
        {Latency({"--max-latency", "-2"}), "--max-latency needs milliseconds"},
        {Latency({"--log="}), "--log needs a file"},
        {Scripted({"--random", "1K"}), "--script sends what the script says: leave out --file"},
        {Scripted({"--direction", "both"}), "--script sends what the script says"},
        {Scripted({"--test", "latency"}), "--script runs a test of its own: leave out --test"},
        {Base({"--clients", "0"}), "--clients needs a count from 1 to 16, got 0"},
        {Base({"--clients", "17"}), "--clients needs a count from 1 to 16, got 17"},
        {{"--serial", "x", "--listen", "5001", "--random", "1K", "--clients", "2"},
         "--clients goes with --connect: in Server Mode the device dials in once"},
        {{"--serial", "x", "--udp", "127.0.0.1:7000", "--random", "1K", "--clients", "2"},
         "--clients goes with --connect: TCP clients on one port"},
        {Base({"--clients", "2", "--rfc2217"}),
         "--clients takes a raw TCP link: leave out --rfc2217"},
        {Latency({"--clients", "3"}), "--clients goes with --test passthrough (the default)"},
        {Scripted({"--clients", "3"}), "--clients goes with --test passthrough (the default)"},
        {{"--station", "a,/dev/x,127.0.0.1:1", "--random", "1K", "--clients", "2"},
         "--clients takes one device: leave out --station and --stations"},
        {Base({"--accept-again"}),
         "--accept-again goes with --listen: it waits for a device that dials in"},
        {{"--serial", "x", "--listen", "5001", "--test", "latency", "--accept-again"},
         "--accept-again goes with --test passthrough (the default)"},
        {{"--station", "a,/dev/x,listen:7", "--random", "1K", "--accept-again"},
         "--accept-again takes one device: leave out --station and --stations"},
        {Scripted({"--repeat", "2"}), "leave out --repeat and --start-delay"},
        {Scripted({"--frames", "10"}), "--frames goes with --test latency"},
        {Scripted({"--toggles", "3"}), "--toggles goes with --test lines"},
        {Scripted({"--script="}), "--script needs a file"},
    };
    for (const Case& c : cases) {
        const ParsedArguments parsed = ParseArguments(c.args);
        EXPECT_FALSE(parsed.ok) << c.error;
        EXPECT_NE(parsed.error.find(c.error), std::string::npos)
            << "got: " << parsed.error << "\nwanted: " << c.error;
    }
}

// The line test sends no data; it changes each line 20 times unless told otherwise.
TEST(RunnerOptions, LinesTestTakesNoDataAndTogglesTwentyTimes) {
    const std::vector<std::string> lines = {"--serial",  "x",      "--connect", "127.0.0.1:1",
                                            "--rfc2217", "--test", "lines"};
    ParsedArguments parsed = ParseArguments(lines);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.test, RunnerOptions::Test::Lines);
    EXPECT_EQ(parsed.options.toggles, 20);
    std::vector<std::string> five = lines;
    five.insert(five.end(), {"--toggles", "5"});
    parsed = ParseArguments(five);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.toggles, 5);
    parsed = ParseArguments(Base({}));
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.options.test, RunnerOptions::Test::Passthrough);
    EXPECT_FALSE(parsed.options.rfc2217);
}

TEST(RunnerOptions, LatencyTestTakesItsDefaultsAndLimits) {
    ParsedArguments parsed = ParseArguments(Latency({}));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.test, RunnerOptions::Test::Latency);
    EXPECT_EQ(parsed.options.latency.frames, 1000);
    EXPECT_EQ(parsed.options.latency.frameSize, 16);
    EXPECT_EQ(parsed.options.latency.intervalMs, 10);
    EXPECT_LT(parsed.options.latency.maxLatencyMs, 0);
    parsed = ParseArguments(Latency({"--frames", "5", "--frame-size=8", "--interval", "0",
                                     "--max-latency", "2.5", "--log", "l", "--report", "r"}));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.latency.frames, 5);
    EXPECT_EQ(parsed.options.latency.frameSize, 8);
    EXPECT_EQ(parsed.options.latency.intervalMs, 0);
    EXPECT_DOUBLE_EQ(parsed.options.latency.maxLatencyMs, 2.5);
    EXPECT_EQ(parsed.options.outputs.logPath, "l");
    EXPECT_EQ(parsed.options.outputs.reportPath, "r");
}

// --udp is a client link of datagrams: its local port any free one and its file datagrams
// paced to the serial line unless told otherwise; every test that needs no TCP takes it.
TEST(RunnerOptions, UdpTakesItsLocalPortAndPace) {
    struct Case {
        std::vector<std::string> args;
        unsigned local;
        double pace;
    } cases[] = {
        {Udp({}), 0, kUdpPaceLine},
        {Udp({"--udp-local", "7001", "--udp-pace", "off"}), 7001, kUdpPaceOff},
        {Udp({"--udp-pace=400K"}), 0, 409600},
        {Udp({"--udp-pace", "20000", "--udp-pace", "line"}), 0, kUdpPaceLine},
        {{"--serial", "x", "--udp", "127.0.0.1:7", "--test", "latency", "--frame-size", "1024"},
         0,
         kUdpPaceLine},
        {{"--serial", "x", "--udp", "127.0.0.1:7", "--script", "s.vsk"}, 0, kUdpPaceLine},
    };
    for (const Case& c : cases) {
        const ParsedArguments parsed = ParseArguments(c.args);
        ASSERT_TRUE(parsed.ok) << parsed.error;
        EXPECT_TRUE(parsed.options.link.udp);
        EXPECT_EQ(parsed.options.link.mode, RunnerOptions::Net::Connect);
        EXPECT_EQ(parsed.options.link.host, parsed.options.link.hostName);
        EXPECT_EQ(parsed.options.link.udpLocalPort, c.local);
        EXPECT_DOUBLE_EQ(parsed.options.link.udpPace, c.pace);
    }
    EXPECT_FALSE(ParseArguments(Base({})).options.link.udp);

    // A script's network send is one datagram: at most 1024 bytes, a responder's reply alike.
    testutil::TempDir dir;
    const std::string script = dir.File("udp.vsk");
    for (const auto& [reply, error] : std::vector<std::pair<size_t, std::string>>{
             {1024, ""},
             {1025, script + ":2: 1025 bytes to send on the network link are more than one UDP "
                             "datagram of 1024 bytes (--udp): split the send"}}) {
        testutil::WriteFile(script, "send network \"" + std::string(1024, 'a') +
                                        "\"\non serial \"x\" send network \"" +
                                        std::string(reply, 'b') + "\"\n");
        ParsedArguments parsed =
            ParseArguments({"--serial", "x", "--udp", "127.0.0.1:7", "--script", script});
        ASSERT_TRUE(parsed.ok) << parsed.error;
        EXPECT_EQ(LoadRunnerScript(parsed.options), error);
    }
}

TEST(RunnerOptions, BaudTakesAnyRateUpToTheMaximum) {
    for (const char* rate : {"1", "12345", "250000", "921600", "4000000"}) {
        const ParsedArguments parsed = ParseArguments(Base({"--baud", rate}));
        ASSERT_TRUE(parsed.ok) << rate << ": " << parsed.error;
        EXPECT_EQ(std::to_string(parsed.options.settings.baud), rate);
    }
}

TEST(RunnerOptions, SettingsComeFromTheWindowsTables) {
    const ParsedArguments parsed = ParseArguments({"--serial",
                                                   "COM3",
                                                   "--baud",
                                                   "115200",
                                                   "--data-bits=7",
                                                   "--parity",
                                                   "even",
                                                   "--stop-bits",
                                                   "2",
                                                   "--flow",
                                                   "hardware",
                                                   "--listen",
                                                   "6000",
                                                   "--accept-timeout",
                                                   "5",
                                                   "--random",
                                                   "2M",
                                                   "--seed",
                                                   "9",
                                                   "--direction",
                                                   "net-to-serial",
                                                   "--repeat",
                                                   "4",
                                                   "--json",
                                                   "--keep",
                                                   "--start-delay",
                                                   "0"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const RunnerOptions& o = parsed.options;
    EXPECT_EQ(o.serial, "COM3");
    EXPECT_EQ(o.settings.Readable(), "115200 7E2, hardware flow control");
    EXPECT_EQ(o.link.mode, RunnerOptions::Net::Listen);
    EXPECT_EQ(o.link.port, 6000u);
    EXPECT_EQ(o.link.acceptTimeoutS, 5);
    EXPECT_EQ(o.data.randomSize, 2 << 20);
    EXPECT_EQ(o.data.seed, 9u);
    EXPECT_EQ(o.directions, std::vector<PassDirection>{PassDirection::NetToSerial});
    EXPECT_EQ(o.repeat, 4);
    EXPECT_TRUE(o.outputs.json && o.outputs.keep);
    EXPECT_EQ(o.startDelayMs, 0);
    // Defaults: the window's 57600 8N1 without flow control, both directions, one run.
    const ParsedArguments d = ParseArguments(Base({}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.options.serial, "/dev/null");
    EXPECT_EQ(d.options.settings.Readable(), "57600 8N1, no flow control");
    EXPECT_EQ(d.options.directions.size(), 2u);
    EXPECT_EQ(d.options.startDelayMs, 1000);
    EXPECT_EQ(d.options.link.acceptTimeoutS, 30);
}

TEST(RunnerOptions, PatternIsTheSameForTheSeedFromAnyOffset) {
    std::vector<unsigned char> whole(100), part(37), other(100);
    FillPattern(7, 0, whole.data(), whole.size());
    FillPattern(7, 13, part.data(), part.size());
    FillPattern(8, 0, other.data(), other.size());
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + 13));
    EXPECT_NE(whole, other);
}

TEST(RunnerOptions, ExitCodeAndWordsOfEachEnd) {
    using End = PassOutcome::End;
    auto outcome = [](End end, int64_t stored, std::optional<int64_t> mismatch = {}) {
        PassOutcome o;
        o.end = end;
        o.direction = PassDirection::NetToSerial;
        o.announced = 4000;
        o.sent = 4000;
        o.stored = stored;
        o.firstMismatch = mismatch;
        o.text = end == End::LinkLost ? "Link lost : serial port lost (hung up)"
                                      : "Can't write the received file";
        return o;
    };
    struct Case {
        PassOutcome out;
        int code;
        const char* word;
        const char* message;
    } cases[] = {
        {outcome(End::Completed, 4000), 0, "verified",
         "Verified : 4000 Bytes identical, 0.0 KiB/s"},
        {outcome(End::Completed, 4000, 17), 1, "mismatch",
         "Mismatch : first difference at byte 17 of 4000"},
        {outcome(End::TimedOut, 1500), 1, "short",
         "Serial Timeout : short capture, 1500 of 4000 bytes stored"},
        {outcome(End::TimedOut, 0), 2, "timeout",
         "Serial Timeout : the header arrived, then nothing for 2 s"},
        {outcome(End::LinkLost, 10), 1, "short",
         "Link lost : serial port lost (hung up) (short capture, 10 of 4000 bytes stored)"},
        {outcome(End::WriteFailed, 10), 5, "not-stored", "Can't write the received file"},
        {outcome(End::OpenFailed, 0), 5, "not-stored", "Can't write the received file"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RunExitCode(c.out), c.code) << c.message;
        EXPECT_EQ(RunResultWord(c.out), c.word) << c.message;
        EXPECT_EQ(RunMessage(c.out), c.message);
    }
}

}  // namespace

// A stations file and a sweep: every station in order, every combination with the first axis
// varying slowest, each named as the reports name it.
TEST(RunnerOptions, StationsFileAndSweepCombinations) {
    testutil::TempDir dir;
    testutil::WriteFile(dir.File("rack.txt"),
                        "# rack 1\n\nbench-1, /dev/ttyUSB0, 192.0.2.1:4001  # left\n"
                        "bench-2,/dev/ttyUSB1,listen:4002\n");
    const ParsedArguments parsed = ParseArguments(
        {"--stations", dir.File("rack.txt"), "--random", "1K", "--sweep", "baud=9600,115200",
         "--sweep", "parity=none,even", "--flow", "hardware", "--rfc2217"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(
        parsed.options.stations,
        (std::vector<Station>{{"bench-1", "/dev/ttyUSB0", false, "192.0.2.1", "192.0.2.1", 4001},
                              {"bench-2", "/dev/ttyUSB1", true, "", "", 4002}}));
    std::vector<std::string> labels;
    for (const LineSettings& s : SweepSettings(parsed.options.settings, parsed.options.sweeps))
        labels.push_back(SettingLabel(s));
    EXPECT_EQ(labels, (std::vector<std::string>{"9600 8N1 hardware", "9600 8E1 hardware",
                                                "115200 8N1 hardware", "115200 8E1 hardware"}));

    testutil::WriteFile(dir.File("bad.txt"), "ok,/dev/a,127.0.0.1:1\nbroken line\n");
    const ParsedArguments bad =
        ParseArguments({"--stations", dir.File("bad.txt"), "--random", "1K"});
    EXPECT_EQ(bad.error.rfind(dir.File("bad.txt") + ":2: --station needs", 0), 0u) << bad.error;
}

// A host name is resolved once, to the dotted address the link uses; the name stays for the
// reports.
TEST(RunnerOptions, ConnectTakesAHostName) {
    ParsedArguments parsed =
        ParseArguments({"--serial", "/dev/null", "--connect", "localhost:5000", "--random", "1K"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.link.host, "");  // reading the arguments asks no name server
    EXPECT_EQ(ResolveHosts(parsed.options), "");
    EXPECT_EQ(parsed.options.link.host, "127.0.0.1");
    EXPECT_EQ(parsed.options.link.hostName, "localhost");
    ParsedArguments unknown = ParseArguments(
        {"--serial", "x", "--connect", "no-such-host.invalid:5000", "--random", "1K"});
    ASSERT_TRUE(unknown.ok) << unknown.error;
    EXPECT_EQ(ResolveHosts(unknown.options)
                  .rfind("--connect: can't resolve no-such-host.invalid to an IPv4 address", 0),
              0u);
}

// A stations file is a short list: a device or a huge file is refused at its limit, naming the
// file (and the line).
TEST(RunnerOptions, StationsFileIsBounded) {
    testutil::TempDir dir;
    testutil::WriteFile(dir.File("long.txt"),
                        "a,/dev/a,127.0.0.1:1\n" + std::string(5000, 'x') + "\n");
    testutil::WriteFile(dir.File("big.txt"), std::string((1 << 20) + 1, '#'));
    struct Case {
        std::string path;
        std::string error;
    } cases[] = {
        {dir.File("long.txt"), dir.File("long.txt") + ":2: the line is longer than 4096 bytes"},
        {dir.File("big.txt"), "--stations " + dir.File("big.txt") + " is larger than 1 MiB"},
        {"/dev/zero", "--stations /dev/zero is larger than 1 MiB"},
    };
    for (const Case& c : cases) {
        const ParsedArguments parsed = ParseArguments({"--stations", c.path, "--random", "1K"});
        EXPECT_EQ(parsed.error.rfind(c.error, 0), 0u) << parsed.error;
    }
}

// Every output names a file of its own: the file to send, another output, a station's log, or
// anything that is not a regular file is refused before anything runs.
TEST(RunnerOptions, OutputPathsThatClashOrCannotBeFilesAreRefused) {
    testutil::TempDir dir;
    const std::string data = dir.File("data.bin"), old = dir.File("old.xml");
    const std::string script = dir.File("probe.vsk");
    testutil::WriteFile(data, "x");
    testutil::WriteFile(old, "x");
    testutil::WriteFile(script, "wait 1ms\n");
    ASSERT_EQ(::symlink(old.c_str(), dir.File("alias.xml").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    const std::string station = "--station=a,/dev/a,127.0.0.1:1";
    struct Case {
        std::vector<std::string> args;
        const char* error;  // empty: accepted
    } cases[] = {
        {{"--file", data, "--log", data}, "is the file to send (--file"},
        {{"--file", data, "--junit", dir.File("./data.bin")}, "is the file to send"},
        {{"--script", script, "--report", script}, "is the script (--script"},
        {{"--random", "1K", "--junit", dir.File("r.xml"), "--report", dir.File("r.xml")},
         "--junit and --report both name"},
        {{"--random", "1K", "--junit", old, "--report", dir.File("alias.xml")},
         "--junit and --report both name"},
        {{"--random", "1K", "--junit", dir.File("fifo")}, "is a FIFO, not a regular file"},
        {{"--random", "1K", "--report", "/dev/null"}, "is a character device, not a regular file"},
        {{"--random", "1K", "--json=" + dir.path}, "is a directory, not a regular file"},
        {{station, "--random", "1K", "--log", dir.File("t.log"), "--jsonl", dir.File("t-a.log")},
         "--jsonl and --log both name"},
        {{"--random", "1K", "--junit", old, "--report", dir.File("r.html"), "--jsonl",
          dir.File("r.jsonl"), "--log", dir.File("t.log"), "--json=" + dir.File("r.json")},
         ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        if (args[0] != station)
            args.insert(args.begin(), {"--serial", "/dev/a", "--connect", "127.0.0.1:1"});
        const ParsedArguments parsed = ParseArguments(args);
        ASSERT_TRUE(parsed.ok) << parsed.error;
        const std::string error = CheckOutputPaths(parsed.options, 1);
        if (*c.error == '\0')
            EXPECT_EQ(error, "");
        else
            EXPECT_NE(error.find(c.error), std::string::npos) << error << "\nwanted: " << c.error;
    }
}

// The manual page, --help and the parser know the same options: each comes from one table.
TEST(RunnerOptions, ManualPageAndHelpListEveryOptionOfTheTable) {
    const std::string manual = testutil::ReadFile(VASKEL_SOURCE_DIR "/man/vaskel-passthrough.1");
    ASSERT_FALSE(manual.empty());
    // Each option's entry: ".TP" then ".B \-\-name" or ".BI \-\-name ...".
    std::multiset<std::string> documented;  // an option described twice shows twice
    std::istringstream lines(manual);
    std::string line, previous;
    while (std::getline(lines, line)) {
        if (previous == ".TP" && (line.rfind(".B", 0) == 0)) {
            std::string name = line.substr(line.find(' ') + 1);
            name = name.substr(0, name.find_first_of(" \"", 2) == std::string::npos
                                      ? name.size()
                                      : name.find_first_of(" \"", 2));
            std::string plain;
            for (char c : name)
                if (c != '\\')
                    plain += c;
            if (plain.rfind("--", 0) == 0)
                documented.insert(plain);
        }
        previous = line;
    }
    std::multiset<std::string> table;
    const std::string help = UsageText();
    for (const OptionInfo& o : OptionTable()) {
        table.insert(o.name);
        EXPECT_NE(help.find("  " + o.name), std::string::npos) << o.name << " is not in --help";
        EXPECT_FALSE(o.help.empty()) << o.name;
    }
    EXPECT_EQ(documented, table);
}

// A script's figures in milliseconds never read as zero, however small.
TEST(ScriptReport, MillisecondsNeverReadAsZero) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "0.000"},      {1, "0.000001"},    {900, "0.000900"}, {41200, "0.0412"},
        {212345, "0.212"}, {1500000, "1.500"}, {99999, "0.1000"}, {12345678901, "12345.679"},
    };
    for (const auto& [ns, text] : cases)
        EXPECT_EQ(ScriptMs(ns), text) << ns;
}

// How a script ended decides each line's verdict: the line it stopped at carries the failure,
// the lines it never came to are skipped, a repeat cut short says so, and a link's failure is
// the case of its line, not a "setup" case.
TEST(ScriptReport, EachLinesVerdictFollowsHowTheScriptEnded) {
    using S = ReportCase::State;
    using End = ScriptOutcome::State;
    auto script = std::make_shared<Script>();
    script->file = "t.vsk";
    ScriptStep send, repeat, inner, last;
    send.line = 1;
    repeat.op = ScriptStep::Op::Repeat;
    repeat.line = 2;
    repeat.count = 5;
    repeat.everyNs = 1000000;
    inner.op = last.op = ScriptStep::Op::Expect;
    inner.line = 3;
    last.line = 5;
    repeat.body = {inner};
    script->steps = {send, repeat, last};
    struct Case {
        End end;
        int line;               // where it stopped
        int metInner;           // times line 3 was met
        bool missed;            // line 3 not met in the end
        std::vector<S> states;  // line 3, line 5, the repeat, then a case of the failed line
    } cases[] = {
        {End::Passed, 0, 5, false, {S::Passed, S::Passed, S::Passed}},
        {End::Unmet, 3, 2, true, {S::Failed, S::Skipped, S::Failed}},
        {End::Stopped, 3, 2, false, {S::Interrupted, S::Skipped, S::Interrupted}},
        {End::LinkFailed, 1, 0, false, {S::Skipped, S::Skipped, S::Skipped, S::Error}},
    };
    for (const Case& c : cases) {
        SessionReport r;
        r.options.test = RunnerOptions::Test::Script;
        r.options.script = script;
        ScriptOutcome o;
        o.state = c.end;
        o.line = c.line;
        o.why = {"why"};
        ExpectFigures e3, e5;
        e3.line = 3;
        e3.met = c.metInner;
        e3.missed = c.missed;
        e3.responseNs.assign(static_cast<size_t>(c.metInner), 1000);
        e5.line = 5;
        e5.met = c.end == End::Passed;
        e5.responseNs.assign(static_cast<size_t>(e5.met), 2000);
        RepeatFigures rep;
        rep.line = 2;
        rep.everyNs = 1000000;
        for (int k = 0; k < c.metInner + c.missed; ++k)
            rep.startNs.push_back(k * 1000000);
        o.expects = {e3, e5};
        o.repeats = {rep};
        r.script = o;
        if (c.end == End::LinkFailed)
            r.error = SessionError{EXIT_NETWORK_FAILED, "Can't send", "Broken pipe"};
        const std::vector<ReportCase> got = SessionCases(r, "");
        ASSERT_EQ(got.size(), c.states.size()) << static_cast<int>(c.end);
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i].state, c.states[i]) << static_cast<int>(c.end) << " " << got[i].name;
        if (c.end == End::LinkFailed) {
            EXPECT_EQ(got.back().name, "line 1 send");
            EXPECT_EQ(got.back().why, "Can't send");
        }
    }
}
