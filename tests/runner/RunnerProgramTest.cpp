// vaskel-passthrough as a user runs it: socat or a faulty relay plays the device server, the
// program runs as a child process, and its exit code, summaries and reports are checked.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "support/FaultyRelay.h"
#include "support/Ser2netDevice.h"
#include "support/SocatDevice.h"
#include "support/TestUtil.h"
#include "support/UdpRelay.h"
#include "tests/runner/ScriptedComPortServer.h"
#include "transfer/Capture.h"

namespace {

struct Ran {
    int code = -1;  // -1: killed after the time limit
    std::string out, err;
    long ms = 0;
};

// The program as a child process, its output in files.
class RunnerProcess {
public:
    // `stdoutPath`: where standard output goes instead of a file that Finish reads.
    void Start(const std::vector<std::string>& args, const std::string& stdoutPath = "") {
        std::string command = "exec '" VASKEL_PASSTHROUGH "'";
        for (const std::string& a : args)
            command += " '" + a + "'";
        command += " >'" + (stdoutPath.empty() ? m_files.File("out") : stdoutPath) + "' 2>'" +
                   m_files.File("err") + "'";
        m_start = std::chrono::steady_clock::now();
        // Its temporary folder (kept after a failed run) goes into the test's own.
        ASSERT_TRUE(m_child.Start({"/bin/sh", "-c", command}, {"TMPDIR=" + m_files.path}));
    }
    Ran Finish(int timeoutMs = 120000) {
        Ran r;
        const int status = m_child.Wait(timeoutMs);
        if (status == -1) {
            m_child.Kill(SIGKILL);
            m_child.Wait(5000);
        } else if (WIFEXITED(status)) {
            r.code = WEXITSTATUS(status);
        }
        r.ms = testutil::MsSince(m_start);
        r.out = testutil::ReadFile(m_files.File("out"));
        r.err = testutil::ReadFile(m_files.File("err"));
        return r;
    }

    void Signal(int sig) { m_child.Kill(sig); }
    // What the program wrote on stderr so far.
    std::string Err() const { return testutil::ReadFile(m_files.File("err")); }
    // Where the program's temporary folders go.
    const std::string& TempPath() const { return m_files.path; }

private:
    testutil::TempDir m_files;
    testutil::ChildProcess m_child;
    std::chrono::steady_clock::time_point m_start;
};

Ran RunProgram(const std::vector<std::string>& args, int timeoutMs = 120000,
               const std::string& stdoutPath = "") {
    RunnerProcess p;
    p.Start(args, stdoutPath);
    return p.Finish(timeoutMs);
}

QJsonObject Json(const Ran& r) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << r.out << r.err;
    return doc.object();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// socat as the device: a pty as its serial side, TCP as its network side; true = the program
// serves (--listen) and socat connects.
class RunnerWithSocat : public ::testing::TestWithParam<bool> {
protected:
    std::vector<std::string> Device() {
        const int port = testutil::FreePort();
        const std::string com = dir.File("COM" + std::to_string(++m_devices));
        const bool server = GetParam();
        socat.push_back(std::make_unique<SocatDevice>(
            com, server ? SocatDevice::Mode::Connect : SocatDevice::Mode::Listen, port));
        EXPECT_TRUE(socat.back()->Ready()) << "socat did not start";
        if (server)
            return {"--serial", com, "--listen", std::to_string(port), "--accept-timeout", "10"};
        return {"--serial", com, "--connect", "127.0.0.1:" + std::to_string(port)};
    }

    testutil::TempDir dir;
    std::vector<std::unique_ptr<SocatDevice>> socat;

private:
    int m_devices = 0;
};

TEST_P(RunnerWithSocat, RepeatedRunsBothWaysAreVerifiedOneLineEach) {
    const Ran r = RunProgram(
        Join(Device(), {"--random", "200K", "--seed", "7", "--repeat", "3", "--start-delay", "0"}));
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    const std::regex summary(
        "run ([1-6])/6 (serial-to-net|net-to-serial): Verified : 204800 Bytes identical, "
        "[0-9]+\\.[0-9] (KiB|MiB)/s in [0-9]+\\.[0-9]{3} s");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, summary)) << lines[i];
        EXPECT_EQ(m[1], std::to_string(i + 1));
        EXPECT_EQ(m[2], i % 2 == 0 ? "serial-to-net" : "net-to-serial");
    }
    EXPECT_EQ(r.err.find("vaskel-passthrough:"), std::string::npos) << r.err;
}

// A rate without a B-constant: a pty takes it as set, so nothing is said about the applied rate.
TEST_P(RunnerWithSocat, ACustomRateIsVerifiedOnAPty) {
    const Ran r = RunProgram(Join(
        Device(), {"--baud", "250000", "--random", "64K", "--seed", "3", "--start-delay", "0"}));
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(Lines(r.out).size(), 2u) << r.out;
    EXPECT_EQ(r.err.find("vaskel-passthrough:"), std::string::npos) << r.err;
}

TEST_P(RunnerWithSocat, JsonAndJunitReportEveryRun) {
    const std::string junit = dir.File("report.xml");
    const Ran r = RunProgram(Join(Device(), {"--random", "100K", "--seed", "3", "--json", "--junit",
                                             junit, "--start-delay", "0"}));
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    const QJsonObject report = Json(r);
    EXPECT_EQ(report["exit_code"].toInt(), 0);
    EXPECT_TRUE(report["error"].isNull());
    EXPECT_EQ(report["network"].toObject()["mode"].toString(), GetParam() ? "listen" : "connect");
    EXPECT_FALSE(report["serial"].toObject()["real_baud_rate"].toBool());  // a pty
    const QJsonArray runs = report["runs"].toArray();
    ASSERT_EQ(runs.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject run = runs[i].toObject();
        EXPECT_EQ(run["direction"].toString(), i == 0 ? "serial-to-net" : "net-to-serial");
        EXPECT_EQ(run["result"].toString(), "verified");
        EXPECT_EQ(run["bytes_announced"].toInteger(), 102400);
        EXPECT_EQ(run["bytes_stored"].toInteger(), 102400);
        EXPECT_TRUE(run["first_mismatch"].isNull());
        EXPECT_GT(run["seconds"].toDouble(), 0.0);
        EXPECT_NEAR(run["bytes_per_second"].toDouble() * run["seconds"].toDouble(), 102400, 1);
        EXPECT_FALSE(run.contains("line_share"));  // no real baud rate on a pty
        EXPECT_FALSE(run.contains("diagnosis"));
    }
    const std::string xml = testutil::ReadFile(junit);
    EXPECT_NE(xml.find("tests=\"2\" failures=\"0\" errors=\"0\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("name=\"run 2 net-to-serial\""), std::string::npos) << xml;
}

// A report that cannot be written (a full disk, a folder that is gone) is told, and a session
// that verified everything then ends with exit code 5; the JSON report names the JUnit failure.
TEST_P(RunnerWithSocat, AReportThatCannotBeWrittenIsToldAndEndsWith5) {
    const struct {
        std::vector<std::string> report;
        std::string stdoutPath;
        std::string err;
    } cases[] = {
        {{"--junit", dir.File("gone/report.xml")},
         "",
         "gone/report.xml: No such file or directory"},
        {{"--json"}, "/dev/full", "standard output: No space left on device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report[0] + " " + c.report.back());
        const Ran r = RunProgram(Join(Join(Device(), {"--random", "4K", "--direction",
                                                      "serial-to-net", "--start-delay", "0"}),
                                      c.report),
                                 120000, c.stdoutPath);
        EXPECT_EQ(r.code, 5) << r.out << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.report[0] == "--json" ? "vaskel-passthrough: Can't write the JSON "
                                                       "report"
                                                     : "vaskel-passthrough: Can't write the JUnit "
                                                       "report"),
                  std::string::npos)
            << r.err;
    }
    // With --json beside it, the JSON report carries the JUnit report's failure.
    const Ran r = RunProgram(
        Join(Device(), {"--random", "4K", "--direction", "serial-to-net", "--start-delay", "0",
                        "--json", "--junit", dir.File("gone/report.xml")}));
    EXPECT_EQ(r.code, 5) << r.err;
    const QJsonObject report = Json(r);
    EXPECT_EQ(report["exit_code"].toInt(), 5);
    EXPECT_EQ(report["error"].toObject()["text"].toString(), "Can't write the JUnit report");
}

// --log with a .pcapng name: tshark reads back the network link as TCP segments between the
// link's real ends (127.0.0.1 and the port socat or the program listens on), each way carrying
// the header and the file once, and the serial interface the same bytes each way.
TEST_P(RunnerWithSocat, ALogNamedPcapngIsACaptureOfBothLinks) {
    const std::vector<std::string> device = Device();
    const std::string& where = GetParam() ? device[3] : device[3].substr(device[3].find(':') + 1);
    const std::string content = testutil::RandomBytes(3000, 5);
    testutil::WriteFile(dir.File("small.bin"), content);
    unsigned char h[FILE_HEADER_SIZE];
    BuildFileHeader(static_cast<uint32_t>(content.size()), h);
    const std::string sent = std::string(reinterpret_cast<char*>(h), FILE_HEADER_SIZE) + content;
    const std::string log = dir.File("traffic.pcapng");
    const Ran r = RunProgram(
        Join(device, {"--file", dir.File("small.bin"), "--log", log, "--start-delay", "0"}));
    ASSERT_EQ(r.code, 0) << r.out << r.err;

    int code = -1;
    const std::string rows = testutil::RunCommand(
        "tshark -r '" + log +
            "' -T fields -E separator=, -e frame.interface_name -e frame.packet_flags_direction "
            "-e ip.src -e ip.dst -e tcp.srcport -e tcp.dstport -e tcp.payload -e data "
            "2>/dev/null",
        &code);
    ASSERT_EQ(code, 0) << "tshark could not read " << log;
    std::map<std::string, std::string> bytes;  // by interface and direction
    const auto hex = [](const std::string& text) {
        std::string out;
        for (size_t i = 0; i + 1 < text.size(); i += 2)
            out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
        return out;
    };
    for (const std::string& row : Lines(rows)) {
        std::vector<std::string> f;
        std::istringstream in(row);
        for (std::string field; std::getline(in, field, ',');)
            f.push_back(field);
        f.resize(8);
        const bool inbound = f[1] == "0x00000001";
        bytes[f[0] + (inbound ? " in" : " out")] += hex(f[0] == "serial" ? f[7] : f[6]);
        if (f[0] != "network")
            continue;
        EXPECT_EQ(f[2] + " " + f[3], "127.0.0.1 127.0.0.1") << row;
        // Our end is the listening port in server mode, socat's in client mode.
        const std::string& ours = inbound ? f[5] : f[4];
        const std::string& theirs = inbound ? f[4] : f[5];
        EXPECT_EQ(GetParam() ? ours : theirs, where) << row;
    }
    EXPECT_EQ(bytes.size(), 4u);
    for (const auto& [key, got] : bytes)
        EXPECT_TRUE(got == sent) << key << ": " << got.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(ClientAndServerMode, RunnerWithSocat, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Listen" : "Connect"; });

// ser2net, a real device server, serving a pty: the harness brings it up on both ports, ser2net
// applies its configured speed to the served end while a client is connected, and everything ends
// with SIGTERM, leaving no process and no link behind.
TEST(Ser2netHarness, ServesThePtyAndStopsClean) {
    testutil::TempDir dir;
    const std::string com = dir.File("COM1");
    std::string served;
    {
        Ser2netDevice device(com);
        ASSERT_TRUE(device.Ready()) << device.Log();
        served = device.ServedPath();
        EXPECT_NE(device.ServedSpeed(), 115200);  // nobody connected: the pty's own speed
        const int tcp = testutil::ConnectLoopback(device.RawPort());
        ASSERT_GE(tcp, 0);
        EXPECT_TRUE(testutil::WaitFor([&] { return device.ServedSpeed() == 115200; }, 3000))
            << device.ServedSpeed();
        ::close(tcp);
        EXPECT_TRUE(device.Stop()) << "did not end on SIGTERM\n" << device.Log();
    }
    struct stat st {};
    EXPECT_NE(::lstat(com.c_str(), &st), 0);
    EXPECT_NE(::lstat(served.c_str(), &st), 0);
}

// ser2net's raw port carries every byte unchanged; its Telnet port, to a client that speaks no
// Telnet, sends every 0xFF from the serial side twice.
TEST(RunnerWithSer2net, RawPortIsVerifiedBothWays) {
    testutil::TempDir dir;
    Ser2netDevice device(dir.File("COM1"));
    ASSERT_TRUE(device.Ready()) << device.Log();
    const Ran r = RunProgram({"--serial", dir.File("COM1"), "--connect",
                              "127.0.0.1:" + std::to_string(device.RawPort()), "--random", "256K",
                              "--seed", "11", "--start-delay", "0", "--json"});
    ASSERT_EQ(r.code, 0) << r.out << r.err << device.Log();
    const QJsonArray runs = Json(r)["runs"].toArray();
    ASSERT_EQ(runs.size(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(runs[i].toObject()["direction"].toString(),
                  i == 0 ? "serial-to-net" : "net-to-serial");
        EXPECT_EQ(runs[i].toObject()["result"].toString(), "verified");
        EXPECT_EQ(runs[i].toObject()["bytes_stored"].toInteger(), 262144);
    }
}

// --wait-for-server: a device server that starts 2 s after the program is waited for, and the
// wait is told; one that never starts ends the session with exit 4 and what to check.
TEST(RunnerWithSer2net, WaitForServerRetriesUntilItAcceptsOrTheLimit) {
    const struct {
        bool starts;
        const char* limit;
        int code;
    } cases[] = {{true, "20", 0}, {false, "1", 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.starts ? "starts late" : "never starts");
        testutil::TempDir dir;
        Ser2netDevice device(dir.File("COM1"), {.maxConnections = 0, .startServer = false});
        const std::string where = "127.0.0.1:" + std::to_string(device.RawPort());
        RunnerProcess runner;
        runner.Start({"--serial", dir.File("COM1"), "--connect", where, "--wait-for-server",
                      c.limit, "--random", "4K", "--start-delay", "0",
                      "--json=" + dir.File("report.json")});
        if (c.starts) {
            testutil::Pump(2000);
            ASSERT_TRUE(device.Start()) << device.Log();
        }
        const Ran r = runner.Finish();
        ASSERT_EQ(r.code, c.code) << r.out << r.err << device.Log();
        const QJsonObject wait = QJsonDocument::fromJson(QByteArray::fromStdString(
            testutil::ReadFile(dir.File("report.json"))))["network"]["wait_for_server"]
                                     .toObject();
        EXPECT_EQ(wait["accepted"].toBool(), c.starts);
        if (c.starts) {
            EXPECT_GE(wait["seconds"].toDouble(), 1.5);
            EXPECT_GE(wait["attempts"].toInt(), 4);
            EXPECT_TRUE(std::regex_search(
                r.out, std::regex("connect: the device server at " + where +
                                  " accepted after [0-9]+\\.[0-9]{3} s \\([0-9]+ attempts\\)")))
                << r.out;
        } else {
            EXPECT_NE(r.err.find("The device server did not accept a connection within 1 s\n  " +
                                 where + ": "),
                      std::string::npos)
                << r.err;
            EXPECT_NE(r.err.find("attempts, one every 250 ms); check that the device server is "
                                 "powered"),
                      std::string::npos)
                << r.err;
        }
    }
}

// --test reconnect against ser2net's raw port: every cycle connects and passes its blocks at
// once, in every format; what the serial side sent while away is a figure, whatever it is.
TEST(RunnerWithSer2net, ReconnectCyclesPassInEveryFormat) {
    const struct {
        const char* cycles;
        const char* whileAway;  // empty: none
    } cases[] = {{"3", ""}, {"2", "100"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("while away: ") + c.whileAway);
        testutil::TempDir dir;
        Ser2netDevice device(dir.File("COM1"));
        ASSERT_TRUE(device.Ready()) << device.Log();
        std::vector<std::string> args{"--serial",
                                      dir.File("COM1"),
                                      "--connect",
                                      "127.0.0.1:" + std::to_string(device.RawPort()),
                                      "--test",
                                      "reconnect",
                                      "--cycles",
                                      c.cycles,
                                      "--json=" + dir.File("r.json"),
                                      "--jsonl",
                                      dir.File("r.jsonl"),
                                      "--junit",
                                      dir.File("r.xml"),
                                      "--report",
                                      dir.File("r.html")};
        if (*c.whileAway)
            args.insert(args.end(), {"--while-away", c.whileAway});
        const Ran r = RunProgram(args);
        ASSERT_EQ(r.code, 0) << r.out << r.err << device.Log();
        const int cycles = std::stoi(c.cycles);
        const std::vector<std::string> lines = Lines(r.out);
        ASSERT_EQ(lines.size(), static_cast<size_t>(cycles)) << r.out;
        const std::regex line("cycle [0-9]/" + std::string(c.cycles) +
                              ": connected in [0-9]+\\.[0-9]{2} ms, data passed at once both "
                              "ways" +
                              (*c.whileAway ? "; (kept [0-9]+ of 100 bytes sent while away|the "
                                              "100 bytes sent while away were dropped)"
                                            : ""));
        for (const std::string& l : lines)
            EXPECT_TRUE(std::regex_match(l, line)) << l;
        const QJsonArray json = QJsonDocument::fromJson(QByteArray::fromStdString(
                                                            testutil::ReadFile(dir.File("r.json"))))
                                    .object()["reconnect"]
                                    .toArray();
        ASSERT_EQ(json.size(), cycles);
        for (const QJsonValue& cycle : json) {
            EXPECT_TRUE(cycle["ok"].toBool());
            EXPECT_GT(cycle["connect_seconds"].toDouble(), 0);
            EXPECT_EQ(cycle["away_sent"].toInt(), *c.whileAway ? 100 : 0);
        }
        EXPECT_EQ(Lines(testutil::ReadFile(dir.File("r.jsonl"))).size(),
                  static_cast<size_t>(cycles));
        const std::string junit = testutil::ReadFile(dir.File("r.xml"));
        EXPECT_NE(junit.find("name=\"cycle " + std::string(c.cycles) + "\""), std::string::npos)
            << junit;
        EXPECT_NE(testutil::ReadFile(dir.File("r.html")).find("cycle 1"), std::string::npos);
    }
}

// socat serves one client only: the first reconnect is refused, which ends the test with exit 4
// and the cycle named, in the summary and in the JSON lines.
TEST(RunnerWithSocatOnce, ReconnectRefusedNamesTheCycle) {
    testutil::TempDir dir;
    const int port = testutil::FreePort();
    SocatDevice device(dir.File("COM1"), SocatDevice::Mode::Listen, port);
    ASSERT_TRUE(device.Ready());
    const Ran r =
        RunProgram({"--serial", dir.File("COM1"), "--connect", "127.0.0.1:" + std::to_string(port),
                    "--test", "reconnect", "--cycles", "3", "--jsonl", dir.File("r.jsonl")});
    ASSERT_EQ(r.code, 4) << r.out << r.err;
    EXPECT_NE(r.err.find("Reconnect : cycle 1: the device server did not accept the connection"),
              std::string::npos)
        << r.err;
    const std::vector<std::string> lines = Lines(testutil::ReadFile(dir.File("r.jsonl")));
    ASSERT_EQ(lines.size(), 1u);
    const QJsonObject line = QJsonDocument::fromJson(QByteArray::fromStdString(lines[0])).object();
    EXPECT_FALSE(line["connected"].toBool());
    EXPECT_EQ(line["exit_code"].toInt(), 4);
}

TEST(RunnerWithSer2net, TelnetPortDoublingEachFFIsAMismatch) {
    testutil::TempDir dir;
    Ser2netDevice device(dir.File("COM1"));
    ASSERT_TRUE(device.Ready()) << device.Log();
    const std::string data = testutil::RandomBytes(256 * 1024, 11);
    testutil::WriteFile(dir.File("data.bin"), data);
    const Ran r = RunProgram({"--serial", dir.File("COM1"), "--connect",
                              "127.0.0.1:" + std::to_string(device.TelnetPort()), "--file",
                              dir.File("data.bin"), "--direction", "serial-to-net", "--output-dir",
                              dir.File("received"), "--start-delay", "0", "--json"});
    ASSERT_EQ(r.code, 1) << r.out << r.err << device.Log();
    const QJsonArray runs = Json(r)["runs"].toArray();
    ASSERT_EQ(runs.size(), 1);
    const QJsonObject run = runs[0].toObject();
    EXPECT_EQ(run["result"].toString(), "mismatch");
    EXPECT_EQ(run["first_mismatch"].toInteger(), static_cast<qint64>(data.find('\xff') + 1));
    EXPECT_NE(r.out.find("Mismatch"), std::string::npos) << r.out;
    // What was stored is the data with every 0xFF doubled, cut at the announced size.
    std::string escaped;
    for (char c : data) {
        escaped += c;
        if (c == '\xff')
            escaped += c;
    }
    const std::vector<std::string> files = testutil::ListDir(dir.File("received"));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(testutil::ReadFile(dir.File("received/" + files[0])) ==
                escaped.substr(0, data.size()));
}

// Through ser2net's Telnet port with the Com Port Control option: the served pty takes the rate
// asked (while the link is up), and data of any kind passes both ways, 0xFF included.
TEST(RunnerWithSer2net, Rfc2217SetsTheServedRateAndVerifiesBothWays) {
    testutil::TempDir dir;
    testutil::WriteFile(dir.File("ff.bin"), std::string(64 * 1024, '\xff'));
    const struct {
        const char* name;
        std::vector<std::string> data;
        long baud;
        int64_t bytes;
        bool json;
    } cases[] = {
        {"random data", {"--random", "256K", "--seed", "11"}, 38400, 262144, true},
        {"64 KiB of 0xFF", {"--file", dir.File("ff.bin")}, 19200, 65536, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Ser2netDevice device(dir.File("COM1"));
        ASSERT_TRUE(device.Ready()) << device.Log();
        std::vector<std::string> args =
            Join({"--serial", dir.File("COM1"), "--connect",
                  "127.0.0.1:" + std::to_string(device.TelnetPort()), "--rfc2217", "--baud",
                  std::to_string(c.baud), "--start-delay", "1000"},
                 c.data);
        if (c.json)
            args.push_back("--json");
        RunnerProcess runner;
        runner.Start(args);
        // The pause before each header keeps the link up long enough to look at the pty.
        EXPECT_TRUE(testutil::WaitFor([&] { return device.ServedSpeed() == c.baud; }, 5000))
            << device.ServedSpeed();
        const Ran r = runner.Finish(60000);
        ASSERT_EQ(r.code, 0) << r.out << r.err << device.Log();
        if (!c.json) {
            const std::vector<std::string> lines = Lines(r.out);
            ASSERT_EQ(lines.size(), 3u) << r.out;
            EXPECT_EQ(lines[0], "rfc2217: the device server applied " + std::to_string(c.baud) +
                                    " 8N1, no flow control");
            for (int i = 1; i < 3; ++i)
                EXPECT_NE(lines[i].find("Verified : 65536 Bytes identical"), std::string::npos)
                    << lines[i];
            continue;
        }
        const QJsonObject report = Json(r);
        EXPECT_EQ(report["network"].toObject()["framing"].toString(), "rfc2217");
        const QJsonObject remote = report["rfc2217"].toObject();
        EXPECT_EQ(remote["option"].toString(), "agreed");
        EXPECT_TRUE(remote["applied"].toBool());
        EXPECT_TRUE(remote["failures"].toArray().isEmpty());
        const QJsonObject baud = remote["settings"].toArray()[0].toObject();
        EXPECT_EQ(baud["setting"].toString(), "baud rate");
        EXPECT_EQ(baud["requested"].toString(), QString::number(c.baud));
        EXPECT_EQ(baud["answered"].toString(), QString::number(c.baud));
        EXPECT_EQ(baud["result"].toString(), "acknowledged");
        EXPECT_EQ(remote["settings"].toArray().size(), 5);
        const QJsonArray runs = report["runs"].toArray();
        ASSERT_EQ(runs.size(), 2);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(runs[i].toObject()["result"].toString(), "verified");
            EXPECT_EQ(runs[i].toObject()["bytes_stored"].toInteger(), c.bytes);
        }
    }
}

// A port that speaks no Telnet (ser2net's raw port, socat) never agrees to the option.
TEST(RunnerWithSer2net, Rfc2217AgainstAPlainTcpPortIsNotAnRfc2217Server) {
    testutil::TempDir dir;
    Ser2netDevice device(dir.File("COM1"));
    ASSERT_TRUE(device.Ready()) << device.Log();
    const int socatPort = testutil::FreePort();
    SocatDevice socat(dir.File("COM2"), SocatDevice::Mode::Listen, socatPort);
    ASSERT_TRUE(socat.Ready());
    const struct {
        const char* name;
        std::string com;
        int port;
        bool json;
    } cases[] = {
        {"ser2net raw", dir.File("COM1"), device.RawPort(), false},
        {"socat", dir.File("COM2"), socatPort, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {
            "--serial",  c.com,      "--connect", "127.0.0.1:" + std::to_string(c.port),
            "--rfc2217", "--random", "1K",        "--start-delay",
            "0"};
        if (c.json)
            args.push_back("--json");
        const Ran r = RunProgram(args, 30000);
        EXPECT_EQ(r.code, 6) << r.out << r.err;
        EXPECT_NE(r.err.find("vaskel-passthrough: The device server did not apply the serial "
                             "settings 57600 8N1, no flow control\n  not an RFC 2217 server: no "
                             "answer to the Com Port Control option within 2 s\n"),
                  std::string::npos)
            << r.err;
        if (!c.json) {
            EXPECT_EQ(r.out, "");
            continue;
        }
        const QJsonObject report = Json(r);
        EXPECT_EQ(report["exit_code"].toInt(), 6);
        EXPECT_EQ(report["rfc2217"].toObject()["option"].toString(), "no-answer");
        EXPECT_TRUE(report["runs"].toArray().isEmpty());
    }
}

// A pty has no modem lines: the line test has nothing to drive.
TEST(RunnerWithSer2net, LinesTestOnAPtyIsNotSupported) {
    testutil::TempDir dir;
    Ser2netDevice device(dir.File("COM1"));
    ASSERT_TRUE(device.Ready()) << device.Log();
    const Ran r = RunProgram(
        {"--serial", dir.File("COM1"), "--connect",
         "127.0.0.1:" + std::to_string(device.TelnetPort()), "--rfc2217", "--test", "lines"},
        30000);
    EXPECT_EQ(r.code, 6) << r.out << r.err;
    EXPECT_NE(r.err.find("vaskel-passthrough: Modem lines: not supported by this device"),
              std::string::npos)
        << r.err;
}

// ser2net on a pty takes every setting the options can ask; a scripted device server refuses
// the option, answers with another value or not at all. Each failure is named on a line of its
// own, in JSON and in the JUnit failure, and nothing is sent.
TEST(RunnerScriptedServer, EachSettingNotAppliedIsNamed) {
    using Bytes = telnet::Bytes;
    const auto otherBaudNoParity = [](const Bytes& command) -> std::optional<Bytes> {
        if (command[0] == comport::SET_BAUDRATE)
            return Bytes{comport::SET_BAUDRATE, 0, 0, 0x25, 0x80};  // 9600
        if (command[0] == comport::SET_PARITY)
            return std::nullopt;
        return command;
    };
    const struct {
        const char* name;
        bool agree;
        ScriptedComPortServer::Answer answer;
        std::vector<std::string> failures;
    } cases[] = {
        {"option refused",
         false,
         ScriptedComPortServer::Echo,
         {"not an RFC 2217 server: the device server refused the Com Port Control option"}},
        {"another rate, no parity",
         true,
         otherBaudNoParity,
         {"baud rate: the device server applied 9600 instead of 38400",
          "parity even: no answer within 2 s"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::TempDir dir;
        testutil::PtyPair pty;
        ScriptedComPortServer server(c.agree, c.answer);
        const std::string junit = dir.File("report.xml");
        const Ran r = RunProgram(
            {"--serial", pty.slavePath, "--connect", "127.0.0.1:" + std::to_string(server.Port()),
             "--rfc2217", "--baud", "38400", "--parity", "even", "--random", "1K", "--json",
             "--junit", junit, "--start-delay", "0"},
            30000);
        EXPECT_EQ(r.code, 6) << r.out << r.err;
        std::string listed;
        for (const std::string& f : c.failures)
            listed += "\n  " + f;
        EXPECT_NE(r.err.find("vaskel-passthrough: The device server did not apply the serial "
                             "settings 38400 8E1, no flow control" +
                             listed + "\n"),
                  std::string::npos)
            << r.err;
        const QJsonObject report = Json(r);
        const QJsonArray failures = report["rfc2217"].toObject()["failures"].toArray();
        ASSERT_EQ(failures.size(), static_cast<int>(c.failures.size()));
        for (size_t i = 0; i < c.failures.size(); ++i)
            EXPECT_EQ(failures[static_cast<int>(i)].toString().toStdString(), c.failures[i]);
        EXPECT_TRUE(report["runs"].toArray().isEmpty());
        const std::string xml = testutil::ReadFile(junit);
        EXPECT_NE(xml.find("tests=\"1\" failures=\"1\" errors=\"0\""), std::string::npos) << xml;
        EXPECT_NE(xml.find("name=\"rfc2217 settings\""), std::string::npos) << xml;
        EXPECT_NE(xml.find("message=\"" + c.failures[0]), std::string::npos) << xml;
    }
}

TEST(RunnerSeed, TheSameSeedSendsTheSameBytes) {
    testutil::TempDir dir;
    std::string captured[3];
    const char* seeds[3] = {"7", "7", "8"};
    for (int i = 0; i < 3; ++i) {
        const int port = testutil::FreePort();
        const std::string com = dir.File("COM" + std::to_string(i));
        SocatDevice device(com, SocatDevice::Mode::Listen, port);
        ASSERT_TRUE(device.Ready());
        const std::string out = dir.File("out" + std::to_string(i));
        const Ran r = RunProgram({"--serial", com, "--connect", "127.0.0.1:" + std::to_string(port),
                                  "--random", "64K", "--seed", seeds[i], "--direction",
                                  "serial-to-net", "--output-dir", out, "--start-delay", "0"});
        ASSERT_EQ(r.code, 0) << r.out << r.err;
        const std::vector<std::string> files = testutil::ListDir(out);
        ASSERT_EQ(files.size(), 1u);
        captured[i] = testutil::ReadFile(out + "/" + files[0]);
        EXPECT_EQ(captured[i].size(), 65536u);
    }
    EXPECT_TRUE(captured[0] == captured[1]);
    EXPECT_FALSE(captured[0] == captured[2]);
}

// The faulty relay between a pty and the program's network side.
TEST(RunnerFaultyDevice, EachFaultHasItsExitCodeAndReport) {
    constexpr int64_t H = 18;  // the header before file byte 0
    struct Case {
        const char* name;
        const char* direction;
        bool server;
        const char* size;
        RelayFaults toNet, toSerial;
        int code;
        const char* result;
        int64_t firstMismatch;  // -1: null
        int64_t stored;         // -1: not checked
        const char* message;
    } cases[] = {
        {"byte flipped serial to net",
         "serial-to-net",
         false,
         "64K",
         {.flipAt = H + 1000},
         {},
         1,
         "mismatch",
         1000,
         65536,
         "Mismatch : first difference at byte 1000 of 65536"},
        {"byte flipped net to serial",
         "net-to-serial",
         true,
         "64K",
         {},
         {.flipAt = H + 54321},
         1,
         "mismatch",
         54321,
         65536,
         "Mismatch : first difference at byte 54321 of 65536"},
        {"tail dropped",
         "net-to-serial",
         false,
         "64K",
         {},
         {.passLimit = H + 20000},
         1,
         "short",
         -1,
         20000,
         "Serial Timeout : short capture, 20000 of 65536 bytes stored"},
        {"silent",
         "serial-to-net",
         false,
         "64K",
         {.passLimit = 0},
         {},
         2,
         "timeout",
         -1,
         0,
         "Network Timeout : nothing arrived within 2 s"},
        {"client link closed",
         "serial-to-net",
         false,
         "1M",
         {.closeAfter = H + 5000},
         {},
         1,
         "short",
         -1,
         5000,
         "Link lost : network peer closed the connection"},
        {"server peer gone",
         "serial-to-net",
         true,
         "1M",
         {.closeAfter = H + 5000},
         {},
         1,
         "short",
         -1,
         5000,
         "Link lost : network peer disconnected from the server"},
        {"send link reset",
         "net-to-serial",
         false,
         "64M",
         {},
         {.closeAfter = H + 100000},
         1,
         "short",
         -1,
         -1,
         "Link lost : network link failed ("},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::PtyPair pty;
        int port = 0, listener = -1;
        if (c.server)
            port = testutil::FreePort();
        else
            listener = testutil::ListenLoopback(&port);
        RunnerProcess runner;
        runner.Start({"--serial", pty.slavePath, c.server ? "--listen" : "--connect",
                      c.server ? std::to_string(port) : "127.0.0.1:" + std::to_string(port),
                      "--random", c.size, "--direction", c.direction, "--json", "--start-delay",
                      "0"});
        int tcp = -1;
        if (c.server) {
            for (int i = 0; i < 250 && tcp < 0; ++i)
                if ((tcp = testutil::ConnectLoopback(port)) < 0)
                    usleep(20000);
        } else {
            tcp = testutil::AcceptWithin(listener, 10000);
        }
        ASSERT_GE(tcp, 0);
        Ran r;
        {
            FaultyRelay relay(pty.master, tcp, c.toNet, c.toSerial);
            r = runner.Finish(60000);
        }
        if (listener >= 0)
            ::close(listener);
        ASSERT_EQ(r.code, c.code) << r.out << r.err;
        const QJsonArray runs = Json(r)["runs"].toArray();
        ASSERT_EQ(runs.size(), 1) << r.out;
        const QJsonObject run = runs[0].toObject();
        EXPECT_EQ(run["result"].toString().toStdString(), c.result);
        if (c.firstMismatch < 0) {
            EXPECT_TRUE(run["first_mismatch"].isNull()) << r.out;
        } else {
            EXPECT_EQ(run["first_mismatch"].toInteger(), c.firstMismatch);
        }
        if (c.stored >= 0) {
            EXPECT_EQ(run["bytes_stored"].toInteger(), c.stored);
        }
        EXPECT_EQ(run["message"].toString().toStdString().rfind(c.message, 0), 0u)
            << run["message"].toString().toStdString();
        // A flipped byte or a tail cut at no round size is no kind of difference we know.
        EXPECT_FALSE(run.contains("diagnosis")) << r.out;
        // A time-out ends the run 2 s after the header left; a lost link at once.
        if (c.code == 2) {
            EXPECT_LT(r.ms, 6000);
        }
        if (std::string(c.result) == "short" && c.toNet.closeAfter >= 0) {
            EXPECT_LT(r.ms, 2000 + 1000);
        }
    }
}

// A device server that speaks Telnet on its port doubles every 0xFF; one that passes only 32 KiB
// leaves a short capture cut at a round size. The summary stays as it was, and the kind of
// difference follows on its own line, in JSON and in the JUnit failure.
TEST(RunnerFaultyDevice, TheKindOfDifferenceIsDiagnosed) {
    constexpr int64_t H = 18;  // the header before file byte 0
    const std::string telnet =
        "every 0xFF byte arrived doubled: the device server speaks Telnet on this port (use "
        "RFC 2217 or set the port to raw TCP)";
    testutil::TempDir dir;
    const std::string junit = dir.File("report.xml");
    const struct {
        const char* name;
        const char* direction;
        RelayFaults toNet, toSerial;
        bool json;
        const char* summary;
        std::string diagnosis;
    } cases[] = {
        {"Telnet, text",
         "serial-to-net",
         {.doubleFF = true},
         {},
         false,
         "run 1/1 serial-to-net: Mismatch : first difference at byte ",
         telnet},
        {"Telnet, reports", "serial-to-net", {.doubleFF = true}, {}, true, "", telnet},
        {"cut at 32 KiB",
         "net-to-serial",
         {},
         {.passLimit = H + 32768},
         false,
         "run 1/1 net-to-serial: Serial Timeout : short capture, 32768 of 65536 bytes stored",
         "the data stops after exactly 32768 bytes (32 KiB), a round size: a buffer or a limit on "
         "the way"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::PtyPair pty;
        int port = 0;
        const int listener = testutil::ListenLoopback(&port);
        std::vector<std::string> args = {"--serial",      pty.slavePath,
                                         "--connect",     "127.0.0.1:" + std::to_string(port),
                                         "--random",      "64K",
                                         "--direction",   c.direction,
                                         "--start-delay", "0"};
        if (c.json)
            args = Join(args, {"--json", "--junit", junit});
        RunnerProcess runner;
        runner.Start(args);
        const int tcp = testutil::AcceptWithin(listener, 10000);
        ASSERT_GE(tcp, 0);
        Ran r;
        {
            FaultyRelay relay(pty.master, tcp, c.toNet, c.toSerial);
            r = runner.Finish(60000);
        }
        ::close(listener);
        ASSERT_EQ(r.code, 1) << r.out << r.err;
        if (!c.json) {
            const std::vector<std::string> lines = Lines(r.out);
            ASSERT_EQ(lines.size(), 2u) << r.out;
            EXPECT_EQ(lines[0].rfind(c.summary, 0), 0u) << lines[0];
            EXPECT_EQ(lines[1], "diagnosis: " + c.diagnosis);
            continue;
        }
        const QJsonObject run = Json(r)["runs"].toArray()[0].toObject();
        EXPECT_EQ(run["result"].toString(), "mismatch");
        EXPECT_EQ(run["diagnosis"].toString().toStdString(), c.diagnosis);
        const std::string xml = testutil::ReadFile(junit);
        EXPECT_NE(xml.find("; diagnosis: " + c.diagnosis.substr(0, 30)), std::string::npos) << xml;
    }
}

TEST(RunnerFailures, EveryFailureHasItsExitCodeAndTheWindowsText) {
    testutil::PtyPair pty;
    testutil::TempDir dir;
    testutil::WriteFile(dir.File("plain"), "x");
    const std::string refused = "127.0.0.1:" + std::to_string(testutil::FreePort());
    const std::vector<std::string> data = {"--random", "1K", "--start-delay", "0"};
    struct Case {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> err;
    } cases[] = {
        {Join({"--serial", dir.File("no-such-tty"), "--connect", refused}, data),
         3,
         {"vaskel-passthrough: Can't open PORT", "No such file or directory"}},
        {Join({"--serial", pty.slavePath, "--connect", refused}, data),
         4,
         {"vaskel-passthrough: Can't connect socket", refused + ": Connection refused"}},
        {Join({"--serial", pty.slavePath, "--listen", std::to_string(testutil::FreePort()),
               "--accept-timeout", "1"},
              data),
         4,
         {"vaskel-passthrough: No device is connected to the server", "within 1 s"}},
        {Join({"--serial", pty.slavePath, "--connect", refused, "--output-dir",
               dir.File("plain/sub")},
              data),
         5,
         {"vaskel-passthrough: Can't create the received file", "Not a directory"}},
        {Join({"--serial", pty.slavePath, "--connect", refused, "--frobnicate"}, data),
         64,
         {"vaskel-passthrough: unknown option --frobnicate", "Usage:"}},
        {Join({"--serial", pty.slavePath, "--connect", refused, "--baud", "0"}, data),
         64,
         {"--baud 0 is out of range", "Usage:"}},
        {Join({"--serial", pty.slavePath, "--connect", "127.0.0.1:70000"}, data),
         64,
         {"port 70000 is not a TCP port", "Usage:"}},
        {{"--serial", pty.slavePath, "--connect", refused, "--file", dir.File("missing")},
         64,
         {"vaskel-passthrough: Can't Open File", "missing: No such file or directory", "Usage:"}},
        {Join({"--serial", pty.slavePath, "--connect", refused, "--listen", "5000"}, data),
         64,
         {"--connect and --listen exclude each other", "Usage:"}},
    };
    for (const Case& c : cases) {
        const Ran r = RunProgram(c.args, 30000);
        EXPECT_EQ(r.code, c.code) << r.err;
        for (const std::string& text : c.err)
            EXPECT_NE(r.err.find(text), std::string::npos) << "wanted: " << text << "\n" << r.err;
    }
    const Ran help = RunProgram({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
}

}  // namespace

namespace {

// The JUnit file's suites, each with its count of test cases and of failed or erred ones; empty
// with a failure when the file is not well-formed XML.
std::map<std::string, std::pair<int, int>> JUnitSuites(const std::string& path) {
    std::map<std::string, std::pair<int, int>> suites;
    QXmlStreamReader xml(QByteArray::fromStdString(testutil::ReadFile(path)));
    std::string suite;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"testsuite") {
            suite = xml.attributes().value("name").toString().toStdString();
            suites[suite];
        } else if (xml.name() == u"testcase")
            ++suites[suite].first;
        else if (xml.name() == u"failure" || xml.name() == u"error")
            ++suites[suite].second;
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    return suites;
}

int TempFolders(const std::string& dir) {
    int n = 0;
    for (const std::string& name : testutil::ListDir(dir))
        n += name.rfind("vaskel-passthrough-", 0) == 0;
    return n;
}

}  // namespace

// Eight stations at once: six verified through socat, one whose serial device is missing (3),
// one through a relay that flips a byte on its way to the network (1). The first failing
// station's code is the program's; every station has its suite in the JUnit file and its lines
// in the JSON lines file.
TEST(RunnerRack, EightStationsEachWithItsOwnVerdict) {
    testutil::TempDir dir;
    std::vector<std::unique_ptr<SocatDevice>> devices;
    std::vector<std::string> args;
    int relayListener = -1, relayPort = 0;
    testutil::PtyPair relayPty;
    for (int k = 1; k <= 8; ++k) {
        const std::string name = "st" + std::to_string(k),
                          com = dir.File("COM" + std::to_string(k));
        std::string station;
        if (k == 3) {
            station = name + "," + dir.File("missing") + ",127.0.0.1:9";
        } else if (k == 6) {
            relayListener = testutil::ListenLoopback(&relayPort);
            station = name + "," + relayPty.slavePath + ",127.0.0.1:" + std::to_string(relayPort);
        } else {
            const int port = testutil::FreePort();
            devices.push_back(std::make_unique<SocatDevice>(com, SocatDevice::Mode::Listen, port));
            ASSERT_TRUE(devices.back()->Ready());
            station = name + "," + com + ",127.0.0.1:" + std::to_string(port);
        }
        args.insert(args.end(), {"--station", station});
    }
    args.insert(args.end(),
                {"--random", "100K", "--junit", dir.File("junit.xml"), "--jsonl",
                 dir.File("runs.jsonl"), "--report", dir.File("rack.html"), "--start-delay", "0"});
    RunnerProcess runner;
    runner.Start(args);
    const int tcp = testutil::AcceptWithin(relayListener, 10000);
    ASSERT_GE(tcp, 0);
    Ran r;
    {
        FaultyRelay relay(relayPty.master, tcp, {.flipAt = 18 + 1000});
        r = runner.Finish(60000);
    }
    ::close(relayListener);
    EXPECT_EQ(r.code, 3) << r.out << r.err;
    for (int k : {1, 2, 4, 5, 7, 8}) {
        const std::string p = "[st" + std::to_string(k) + "] run ";
        EXPECT_NE(r.out.find(p + "1/2 serial-to-net: Verified"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(p + "2/2 net-to-serial: Verified"), std::string::npos) << r.out;
    }
    EXPECT_NE(r.err.find("[st3] vaskel-passthrough: Can't open PORT"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("[st6] run 1/2 serial-to-net: Mismatch : first difference at byte 1000"),
              std::string::npos)
        << r.out;
    const auto suites = JUnitSuites(dir.File("junit.xml"));
    ASSERT_EQ(suites.size(), 8u);
    EXPECT_EQ(suites.at("st1"), std::make_pair(2, 0));
    EXPECT_EQ(suites.at("st3"), std::make_pair(1, 1));  // its setup
    EXPECT_EQ(suites.at("st6"), std::make_pair(2, 1));
    std::istringstream lines(testutil::ReadFile(dir.File("runs.jsonl")));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_TRUE(QJsonDocument::fromJson(QByteArray::fromStdString(line)).isObject()) << line;
    EXPECT_EQ(count, 14);  // two runs for each station that got its links
    // The rack at a glance: a row a station, six green cells and two red.
    const std::string html = testutil::ReadFile(dir.File("rack.html"));
    int green = 0, red = 0;
    for (size_t at = 0; (at = html.find("class=\"cell-", at)) != std::string::npos; ++at)
        (html.compare(at + 12, 4, "pass") == 0 ? green : red) += 1;
    EXPECT_EQ(green, 6);
    EXPECT_EQ(red, 2);
}

// SIGTERM while eight stations move data: every run ends at once, the reports are written with
// the interrupted runs marked, the program exits 130, and nothing is left behind.
TEST(RunnerRack, SigtermEndsEveryStationAndLeavesNothingBehind) {
    testutil::TempDir dir;
    std::vector<std::unique_ptr<SocatDevice>> devices;
    std::vector<std::string> args;
    for (int k = 1; k <= 8; ++k) {
        const std::string com = dir.File("COM" + std::to_string(k));
        const int port = testutil::FreePort();
        devices.push_back(std::make_unique<SocatDevice>(com, SocatDevice::Mode::Listen, port));
        ASSERT_TRUE(devices.back()->Ready());
        args.insert(args.end(), {"--station", "st" + std::to_string(k) + "," + com +
                                                  ",127.0.0.1:" + std::to_string(port)});
    }
    args.insert(args.end(), {"--random", "64M", "--repeat", "100", "--junit", dir.File("junit.xml"),
                             "--jsonl", dir.File("runs.jsonl"), "--json"});
    const int fdsBefore = testutil::OpenFdCount();
    RunnerProcess runner;
    runner.Start(args);
    // Signalled once every station's first run is under way (its progress line is out).
    EXPECT_TRUE(testutil::WaitFor(
        [&] {
            const std::string err = runner.Err();
            for (int k = 1; k <= 8; ++k)
                if (err.find("[st" + std::to_string(k) + "] run 1/") == std::string::npos)
                    return false;
            return true;
        },
        30000));
    const auto signalled = std::chrono::steady_clock::now();
    runner.Signal(SIGTERM);
    const Ran r = runner.Finish(20000);
    EXPECT_LT(testutil::MsSince(signalled), 3000);
    EXPECT_EQ(r.code, 130) << r.out << r.err;
    const QJsonObject report = Json(r);
    EXPECT_TRUE(report["interrupted"].toBool());
    EXPECT_EQ(report["stations"].toArray().size(), 8);
    const auto suites = JUnitSuites(dir.File("junit.xml"));
    EXPECT_EQ(suites.size(), 8u);
    int interrupted = 0;
    for (const auto& [name, counts] : suites)
        interrupted += counts.second;
    EXPECT_EQ(interrupted, 8);  // every station was in its first run
    EXPECT_EQ(TempFolders(runner.TempPath()), 0);
    EXPECT_EQ(testutil::OpenFdCount(), fdsBefore);
}

// A sweep of three rates through ser2net's RFC 2217 accepter: each combination set on the device
// server's serial side (seen on the pty it serves) and verified both ways; one JUnit suite with a
// case per direction and setting.
TEST(RunnerWithSer2net, ASweepSetsEachRateOnTheServedSideAndVerifiesIt) {
    testutil::TempDir dir;
    Ser2netDevice device(dir.File("COM1"));
    ASSERT_TRUE(device.Ready()) << device.Log();
    RunnerProcess runner;
    runner.Start({"--serial", dir.File("COM1"), "--connect",
                  "127.0.0.1:" + std::to_string(device.TelnetPort()), "--rfc2217", "--sweep",
                  "baud=9600,38400,230400", "--random", "64K", "--start-delay", "300", "--junit",
                  dir.File("junit.xml"), "--report", dir.File("sweep.html")});
    // The pause before each header holds each setting's link up long enough to look at the pty.
    std::set<long> seen;
    testutil::WaitFor(
        [&] {
            seen.insert(device.ServedSpeed());
            return seen.count(9600) && seen.count(38400) && seen.count(230400);
        },
        20000);
    const Ran r = runner.Finish(60000);
    ASSERT_EQ(r.code, 0) << r.out << r.err << device.Log();
    for (const long baud : {9600L, 38400L, 230400L}) {
        EXPECT_EQ(seen.count(baud), 1u) << baud;
        EXPECT_NE(r.out.find("setting " + std::to_string(baud) + " 8N1"), std::string::npos)
            << r.out;
    }
    const auto suites = JUnitSuites(dir.File("junit.xml"));
    ASSERT_EQ(suites.size(), 1u);
    // Per setting: the settings case and one case per direction, none failed.
    EXPECT_EQ(suites.begin()->second, std::make_pair(9, 0));
    // One device swept is no rack: its page names the device and counts the settings.
    const std::string html = testutil::ReadFile(dir.File("sweep.html"));
    EXPECT_NE(html.find("<h1>vaskel-passthrough: " + dir.File("COM1") + ": sweep of 3 settings"),
              std::string::npos)
        << html.substr(0, 2000);
    EXPECT_EQ(html.find("rack"), std::string::npos);
}

namespace {

// Every report of a stopped session, each read as its reader would: one JSON document on
// standard output, a JSON lines file that exists and parses line by line, a JUnit file with an
// interrupted case, an HTML page that says so.
void ExpectReportsMarkTheStop(const Ran& r, const testutil::TempDir& dir) {
    const QJsonObject report = Json(r);
    EXPECT_EQ(report["exit_code"].toInt(), 130) << r.out;
    EXPECT_TRUE(report["interrupted"].toBool()) << r.out;
    for (const QJsonValue& run : report["runs"].toArray())
        EXPECT_EQ(run.toObject()["result"].toString(), "interrupted") << r.out;
    struct stat st {};
    EXPECT_EQ(::stat(dir.File("runs.jsonl").c_str(), &st), 0) << "no JSON lines file";
    for (const std::string& line : Lines(testutil::ReadFile(dir.File("runs.jsonl")))) {
        const QJsonObject run = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        EXPECT_EQ(run["result"].toString(), "interrupted") << line;
        EXPECT_EQ(run["exit_code"].toInt(), 130) << line;
    }
    const std::string junit = testutil::ReadFile(dir.File("junit.xml"));
    EXPECT_NE(junit.find("type=\"interrupted\""), std::string::npos) << junit;
    JUnitSuites(dir.File("junit.xml"));  // well-formed
    const std::string html = testutil::ReadFile(dir.File("report.html"));
    EXPECT_NE(html.find("<span class=\"fail\">interrupted</span>"), std::string::npos) << html;
    EXPECT_NE(html.find("</html>"), std::string::npos);
}

}  // namespace

// SIGTERM at each stage of one device's session, for every test kind: making the test data,
// waiting for the device to connect, waiting for the RFC 2217 answers, a pass-through run and a
// latency run. Each ends at once with 130, and every format marks the stop alike.
TEST(RunnerStops, EachStageEndsAtOnceAndEveryFormatMarksIt) {
    testutil::TempDir dir;
    // socat serves one connection: a device of its own for each stage.
    std::vector<std::unique_ptr<SocatDevice>> devices;
    const auto device = [&] {
        const int port = testutil::FreePort();
        const std::string com = dir.File("COM" + std::to_string(devices.size() + 1));
        devices.push_back(std::make_unique<SocatDevice>(com, SocatDevice::Mode::Listen, port));
        EXPECT_TRUE(devices.back()->Ready());
        return std::vector<std::string>{"--serial", com, "--connect",
                                        "127.0.0.1:" + std::to_string(port)};
    };
    ScriptedComPortServer silent(true, [](const ScriptedComPortServer::Bytes&) {
        return std::optional<ScriptedComPortServer::Bytes>();
    });
    const struct {
        const char* stage;
        std::vector<std::string> args;
        std::string waitFor;  // on stderr, before the signal (empty: a second)
    } cases[] = {
        {"making the test data", Join(device(), {"--random", "2000M"}), ""},
        {"waiting for the device",
         {"--serial", dir.File("COM1"), "--listen", std::to_string(testutil::FreePort()),
          "--random", "1K"},
         "waiting for the device"},
        {"waiting for the RFC 2217 answers",
         {"--serial", dir.File("COM1"), "--connect", "127.0.0.1:" + std::to_string(silent.Port()),
          "--rfc2217", "--random", "1K"},
         ""},
        {"a pass-through run", Join(device(), {"--random", "1K", "--start-delay", "20000"}), ""},
        {"a latency run",
         Join(device(), {"--test", "latency", "--frames", "100000", "--interval", "1"}), "run 1/2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stage);
        for (const char* f : {"runs.jsonl", "junit.xml", "report.html"})
            ::unlink(dir.File(f).c_str());
        RunnerProcess runner;
        runner.Start(Join(c.args, {"--json", "--jsonl", dir.File("runs.jsonl"), "--junit",
                                   dir.File("junit.xml"), "--report", dir.File("report.html")}));
        if (c.waitFor.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        else
            EXPECT_TRUE(testutil::WaitFor(
                [&] { return runner.Err().find(c.waitFor) != std::string::npos; }, 10000));
        const auto signalled = std::chrono::steady_clock::now();
        runner.Signal(SIGTERM);
        const Ran r = runner.Finish(20000);
        const long ms = testutil::MsSince(signalled);
        // The aim is half a second; the bound leaves room for a loaded machine.
        EXPECT_LT(ms, 2000);
        std::cout << c.stage << ": ended " << ms << " ms after SIGTERM\n";
        EXPECT_EQ(r.code, 130) << r.out << r.err;
        ExpectReportsMarkTheStop(r, dir);
    }
}

// A station whose thread the system will not make (a limit on threads) fails on its own, with
// its own message and code, and the rack still ends and reports. The limit is per user, so the
// program runs as nobody, whose limit of 2 leaves it its main thread and one station's.
TEST(RunnerRack, AStationWhoseThreadCannotStartFailsAlone) {
    testutil::TempDir dir;
    ASSERT_EQ(::chmod(dir.path.c_str(), 0777), 0);
    std::string command =
        "exec prlimit --nproc=2 setpriv --reuid=65534 --regid=65534 "
        "--clear-groups '" VASKEL_PASSTHROUGH "'";
    for (const char* s : {"a", "b", "c"})
        command += std::string(" --station ") + s + "," + dir.File(s) + ",127.0.0.1:9";
    command += " --random 1K --json >'" + dir.File("out") + "' 2>'" + dir.File("err") + "'";
    testutil::ChildProcess child;
    ASSERT_TRUE(child.Start({"/bin/sh", "-c", command}, {"TMPDIR=" + dir.path}));
    const int status = child.Wait(20000);
    ASSERT_TRUE(WIFEXITED(status)) << "the rack did not end";
    Ran r;
    r.out = testutil::ReadFile(dir.File("out"));
    r.err = testutil::ReadFile(dir.File("err"));
    std::map<std::string, int> codes;
    for (const QJsonValue& s : Json(r)["stations"].toArray())
        codes[s.toObject()["name"].toString().toStdString()] = s.toObject()["exit_code"].toInt();
    // The first station runs (and finds its serial device missing), unless a sanitizer's own
    // thread took the one the limit leaves; the others cannot start. The rack's code is the
    // first station's.
    ASSERT_EQ(codes.size(), 3u) << r.out;
    EXPECT_TRUE(codes["a"] == 3 || codes["a"] == 5) << codes["a"];
    EXPECT_EQ(codes["b"], 5) << r.err;
    EXPECT_EQ(codes["c"], 5) << r.err;
    EXPECT_EQ(WEXITSTATUS(status), codes["a"]);
    EXPECT_NE(r.err.find("[b] vaskel-passthrough: Can't start the station's thread"),
              std::string::npos)
        << r.err;
}

// A device server that agrees to RFC 2217 and answers the serial settings, then stops reading
// while it keeps sending requests that need a reply: the replies are bounded like data, the link
// is dropped with what was waiting, the run ends with 4 instead of "Verified", and the runner's
// memory stays small. (The run's long start delay leaves the flood all the time it needs, however
// slowly a sanitizer makes the runner read.)
TEST(RunnerScriptedServer, ADeviceServerThatStopsReadingIsDroppedWith4) {
    testutil::TempDir dir;
    testutil::PtyPair pty;
    int port = 0;
    // A small receive buffer from the handshake on: the kernel soon stops taking the replies.
    const int listener = testutil::ListenLoopback(&port, 8, 4096);
    ASSERT_GE(listener, 0);
    const std::string command = "exec /usr/bin/time -f %M -o '" + dir.File("maxrss") +
                                "' '" VASKEL_PASSTHROUGH "' --serial " + pty.slavePath +
                                " --connect 127.0.0.1:" + std::to_string(port) +
                                " --rfc2217 --random 1M --direction serial-to-net --start-delay "
                                "30000 --json >'" +
                                dir.File("out") + "' 2>'" + dir.File("err") + "'";
    testutil::ChildProcess child;
    ASSERT_TRUE(child.Start({"/bin/sh", "-c", command}, {"TMPDIR=" + dir.path}));
    const int fd = testutil::AcceptWithin(listener, 10000);
    ASSERT_GE(fd, 0);
    const telnet::Bytes agree = telnet::Negotiation(telnet::DO, telnet::OPT_COM_PORT);
    ASSERT_EQ(::send(fd, agree.data(), agree.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(agree.size()));
    // Each of the five settings answered with the value asked (IAC SB 44 cmd+100 value IAC SE).
    std::vector<unsigned char> in;
    int answered = 0;
    for (const auto start = std::chrono::steady_clock::now();
         answered < 5 && testutil::MsSince(start) < 10000;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        unsigned char buf[512];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        in.insert(in.end(), buf, buf + n);
        for (size_t i = 0; i + 3 < in.size(); ++i) {
            if (in[i] != telnet::IAC || in[i + 1] != telnet::SB ||
                in[i + 2] != telnet::OPT_COM_PORT)
                continue;
            size_t end = i + 3;
            while (end + 1 < in.size() && !(in[end] == telnet::IAC && in[end + 1] == telnet::SE))
                ++end;
            if (end + 1 >= in.size())
                break;  // the rest of it is still coming
            telnet::Bytes answer(in.begin() + static_cast<long>(i),
                                 in.begin() + static_cast<long>(end) + 2);
            answer[3] = static_cast<unsigned char>(answer[3] + comport::SERVER_OFFSET);
            ASSERT_EQ(::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(answer.size()));
            ++answered;
            in.erase(in.begin(), in.begin() + static_cast<long>(end) + 2);
            i = static_cast<size_t>(-1);
        }
    }
    ASSERT_EQ(answered, 5);
    // Requests as fast as the runner reads them (the device server of the report grew the
    // client's memory by 45-70 MB/s): the replies fill the socket's buffers within the settings'
    // 2 s, and then the bound.
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        telnet::Bytes burst;
        for (int i = 0; i < 20000; ++i) {
            const telnet::Bytes one = telnet::Negotiation(telnet::DO, 99);
            burst.insert(burst.end(), one.begin(), one.end());
        }
        while (!stop && ::send(fd, burst.data(), burst.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    const int status = child.Wait(60000);
    stop = true;
    ::shutdown(fd, SHUT_RDWR);
    flood.join();
    ::close(fd);
    ::close(listener);
    ASSERT_TRUE(WIFEXITED(status)) << "the run did not end";
    Ran r;
    r.code = WEXITSTATUS(status);
    r.out = testutil::ReadFile(dir.File("out"));
    r.err = testutil::ReadFile(dir.File("err"));
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("vaskel-passthrough: Link lost : the device server does not read"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("the device server does not read: [0-9]+ "
                                                    "bytes waiting")))
        << r.err;
    EXPECT_EQ(Json(r)["exit_code"].toInt(), 4);
    // Kilobytes; a sanitizer's shadow memory is counted too.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const long limitKb = 600 * 1024;
#else
    const long limitKb = 100 * 1024;
#endif
    // time(1) writes "Command exited with non-zero status 4" first, the figure on the last line.
    const std::vector<std::string> rss = Lines(testutil::ReadFile(dir.File("maxrss")));
    const long maxRssKb = rss.empty() ? 0 : std::atol(rss.back().c_str());
    std::cout << "the runner's peak memory: " << maxRssKb / 1024 << " MiB\n";
    EXPECT_GT(maxRssKb, 0);
    EXPECT_LT(maxRssKb, limitKb);
}

namespace {

// socat as a UDP device server: a pty as its serial side, datagrams to a fixed peer
// (`peerPort`) from its own port `devicePort`.
class UdpSocat {
public:
    UdpSocat(const std::string& com, unsigned peerPort, unsigned devicePort) {
        ready = process.Start({"socat", "PTY,link=" + com + ",raw,echo=0",
                               "UDP-DATAGRAM:127.0.0.1:" + std::to_string(peerPort) +
                                   ",bind=127.0.0.1:" + std::to_string(devicePort)});
        struct stat st {};
        ready = ready && testutil::WaitFor([&] { return ::lstat(com.c_str(), &st) == 0; });
    }
    ~UdpSocat() {
        process.Kill(15);
        process.Wait(3000);
    }
    testutil::ChildProcess process;
    bool ready = false;
};

}  // namespace

// Over UDP both ways pass; the local port and how the device server packed the serial bytes are
// in the summary and the JSON report.
TEST(RunnerOverUdp, PassesBothWaysAndTellsTheDatagrams) {
    testutil::TempDir dir;
    const unsigned local = testutil::FreePort(), device = testutil::FreePort();
    UdpSocat socat(dir.File("COM1"), local, device);
    ASSERT_TRUE(socat.ready);
    const std::vector<std::string> args = {"--serial",      dir.File("COM1"),
                                           "--udp",         "127.0.0.1:" + std::to_string(device),
                                           "--udp-local",   std::to_string(local),
                                           "--baud",        "921600",
                                           "--random",      "64K",
                                           "--start-delay", "0"};
    const Ran text = RunProgram(args);
    ASSERT_EQ(text.code, 0) << text.out << text.err;
    EXPECT_NE(text.out.find("udp: datagrams to 127.0.0.1:" + std::to_string(device) +
                            " from local port " + std::to_string(local) +
                            " (the device server must send there); file datagrams paced to the "
                            "serial line's 92160 bytes/s"),
              std::string::npos)
        << text.out;
    EXPECT_TRUE(std::regex_search(text.out, std::regex("udp: [0-9]+ datagrams from the device "
                                                       "server, [0-9]+ to [0-9]+ bytes \\(mean "
                                                       "[0-9.]+\\); by size 1: [0-9]+, 2-15: ")))
        << text.out;

    const Ran json = RunProgram(Join(args, {"--json", "--udp-pace", "off"}));
    ASSERT_EQ(json.code, 0) << json.out << json.err;
    const QJsonObject report = Json(json);
    EXPECT_EQ(report["network"]["protocol"].toString(), "udp");
    EXPECT_EQ(report["network"]["udp_local_port"].toInteger(), local);
    EXPECT_EQ(report["network"]["udp_pace"].toString(), "off");
    const QJsonArray runs = report["runs"].toArray();
    ASSERT_EQ(runs.size(), 2);
    for (const QJsonValue& run : runs) {
        const QJsonObject received = run["datagrams"]["received"].toObject();
        const QJsonObject sent = run["datagrams"]["sent"].toObject();
        const bool toNet = run["direction"].toString() == "serial-to-net";
        // The device's datagrams carry the header and the file; ours go at most 1024 bytes each.
        const QJsonObject counted = toNet ? received : sent;
        EXPECT_EQ(counted["bytes"].toInteger(), 65536 + 18)
            << run["direction"].toString().toStdString();
        EXPECT_GT(counted["count"].toInteger(), 0);
        qint64 inBuckets = 0;
        for (const QJsonValue& b : counted["sizes"].toArray())
            inBuckets += b["count"].toInteger();
        EXPECT_EQ(inBuckets, counted["count"].toInteger());
        EXPECT_EQ(counted["sizes"].toArray().size(), 6);
        if (!toNet) {
            EXPECT_EQ(sent["count"].toInteger(), 1 + 64);  // the header, then 64 of 1024 bytes
            EXPECT_EQ(sent["max_bytes"].toInteger(), 1024);
        }
        EXPECT_TRUE(run["datagrams"]["finding"].isNull());
    }

    // A local port that is taken (socat's own) is named with what to do.
    const Ran busy =
        RunProgram({"--serial", dir.File("COM1"), "--udp", "127.0.0.1:" + std::to_string(local),
                    "--udp-local", std::to_string(device), "--random", "1K"});
    EXPECT_EQ(busy.code, 4) << busy.err;
    EXPECT_NE(busy.err.find("vaskel-passthrough: Can't create socket\n  --udp-local " +
                            std::to_string(device) + ": binding local UDP port " +
                            std::to_string(device) +
                            " failed: Address already in use; choose another port, or leave out "
                            "--udp-local for any free one"),
              std::string::npos)
        << busy.err;
}

// Datagrams lost, repeated and swapped on the way fail the run, and the verdict names them.
TEST(RunnerOverUdp, LostRepeatedAndReorderedDatagramsAreNamed) {
    struct Case {
        const char* direction;
        UdpFaults toDevice, toProgram;
        std::vector<std::string> told;  // in the summary lines and the JUnit failure
    } cases[] = {
        // Relay datagram #1 is the header: file datagram K is relay datagram K + 1.
        {"net-to-serial",
         {5, 8, 11},
         {},
         {"udp: 1 of 32 file datagrams lost (first: #4, file bytes 3072 to 4095), 1 repeated "
          "(first: #7, file bytes 6144 to 7167), 1 out of order (first: #11, file bytes 10240 "
          "to 11263); found in the serial bytes received"}},
        // The program sees relay datagrams 1 3 4 4 5 7 6 ...: #3 and #4 the same, #7 early.
        {"serial-to-net",
         {},
         {2, 4, 6},
         {"never arrived in 1 gap (first: file bytes ", "1 repeated (first: #4, ",
          "1 out of order (first: #7, "}},
    };
    for (const Case& c : cases) {
        testutil::TempDir dir;
        const unsigned local = testutil::FreePort(), device = testutil::FreePort();
        UdpRelay relay(local, device, c.toDevice, c.toProgram);
        UdpSocat socat(dir.File("COM1"), relay.DeviceSidePort(), device);
        ASSERT_TRUE(socat.ready);
        const std::string junit = dir.File("r.xml");
        const Ran r =
            RunProgram({"--serial", dir.File("COM1"), "--udp",
                        "127.0.0.1:" + std::to_string(relay.ProgramSidePort()), "--udp-local",
                        std::to_string(local), "--baud", "921600", "--random", "32K", "--direction",
                        c.direction, "--start-delay", "0", "--junit", junit});
        EXPECT_EQ(r.code, 1) << c.direction << r.out << r.err;
        const std::string xml = testutil::ReadFile(junit);
        for (const std::string& told : c.told) {
            EXPECT_NE(r.out.find(told), std::string::npos) << c.direction << ": " << r.out;
            EXPECT_NE(xml.find(told), std::string::npos) << c.direction << ": " << xml;
        }
    }
}

// ser2net with max-connections 3: three clients each get the whole file from the serial side
// and each has its own file passed to it, every run told per client in every report; a fourth
// client is turned away, which ends the session with exit 4 naming it and what ser2net said.
TEST(RunnerWithSer2net, SeveralClientsAreVerifiedEachOrTheOneTooManyIsNamed) {
    const struct {
        int clients;
        int code;
    } cases[] = {{3, 0}, {4, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.clients) + " clients");
        testutil::TempDir dir;
        Ser2netDevice device(dir.File("COM1"), {.maxConnections = 3, .startServer = true});
        ASSERT_TRUE(device.Ready()) << device.Log();
        const std::string where = "127.0.0.1:" + std::to_string(device.RawPort());
        const Ran r = RunProgram({"--serial", dir.File("COM1"), "--connect", where, "--clients",
                                  std::to_string(c.clients), "--random", "256K", "--start-delay",
                                  "0", "--json=" + dir.File("r.json"), "--junit", dir.File("r.xml"),
                                  "--jsonl", dir.File("r.jsonl"), "--report", dir.File("r.html")});
        ASSERT_EQ(r.code, c.code) << r.out << r.err << device.Log();
        const QJsonObject json =
            QJsonDocument::fromJson(
                QByteArray::fromStdString(testutil::ReadFile(dir.File("r.json"))))
                .object();
        EXPECT_EQ(json["network"]["clients"].toInt(), c.clients);
        const QJsonArray runs = json["runs"].toArray();
        if (c.code != 0) {
            EXPECT_TRUE(runs.isEmpty());
            EXPECT_TRUE(std::regex_search(
                r.err, std::regex("client 4 of 4: the device server closed the link and said "
                                  "\"Port[a-z' ]* in use\"\n  " +
                                  where +
                                  ": check the device server's max-connections setting: it must "
                                  "let 4 clients share this port at once")))
                << r.err;
            continue;
        }
        ASSERT_EQ(runs.size(), 6) << r.out;
        std::set<std::pair<std::string, int>> seen;
        for (const QJsonValue& v : runs) {
            const QJsonObject run = v.toObject();
            EXPECT_EQ(run["result"].toString(), "verified") << r.out;
            EXPECT_EQ(run["bytes_stored"].toInteger(), 262144);
            EXPECT_GT(run["bytes_per_second"].toDouble(), 0);
            seen.insert({run["direction"].toString().toStdString(), run["client"].toInt()});
        }
        EXPECT_EQ(seen.size(), 6u);
        const std::vector<std::string> lines = Lines(r.out);
        ASSERT_EQ(lines.size(), 6u) << r.out;
        EXPECT_EQ(lines[5].rfind("run 6/6 net-to-serial client 3 of 3: Verified : 262144 Bytes "
                                 "identical",
                                 0),
                  0u)
            << r.out;
        EXPECT_EQ(Lines(testutil::ReadFile(dir.File("r.jsonl"))).size(), 6u);
        EXPECT_EQ(JUnitSuites(dir.File("r.xml"))["vaskel-passthrough"], std::make_pair(6, 0));
        EXPECT_NE(testutil::ReadFile(dir.File("r.xml")).find("run 2 serial-to-net client 2 of 3"),
                  std::string::npos);
        EXPECT_NE(testutil::ReadFile(dir.File("r.html")).find("run 6 net-to-serial client 3 of 3"),
                  std::string::npos);
    }
}

namespace {

// A device in Client Mode that reboots once: a thread relays between the pty master (the
// device's serial side) and a TCP link it dials to the program; after `dropAfter` bytes from the
// serial side its link goes, it stays away `awayMs` (dropping what its serial side gets), and
// dials in again, relaying from then on.
class RedialingDevice {
public:
    RedialingDevice(int ptyMaster, int port, int64_t dropAfter, int awayMs)
        : m_thread([=, this] { Run(ptyMaster, port, dropAfter, awayMs); }) {}
    ~RedialingDevice() {
        m_stop = true;
        m_thread.join();
    }
    RedialingDevice(const RedialingDevice&) = delete;
    RedialingDevice& operator=(const RedialingDevice&) = delete;

private:
    static void WriteAll(int fd, const unsigned char* bytes, size_t n) {
        for (size_t done = 0; done < n;) {
            const ssize_t w = ::write(fd, bytes + done, n - done);
            if (w <= 0 && errno != EINTR && errno != EAGAIN)
                return;
            if (w > 0)
                done += static_cast<size_t>(w);
        }
    }
    int Dial(int port) {
        int tcp = -1;
        while (!m_stop && (tcp = testutil::ConnectLoopback(port)) < 0)
            usleep(20000);
        return tcp;
    }
    void Run(int pty, int port, int64_t dropAfter, int awayMs) {
        int tcp = Dial(port);
        int64_t toNet = 0;
        bool dropped = false;
        unsigned char buf[8192];
        while (!m_stop && tcp >= 0) {
            pollfd p[2] = {{pty, POLLIN, 0}, {tcp, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0)
                continue;
            if (p[0].revents & POLLIN) {
                size_t want = sizeof buf;
                if (!dropped)
                    want = std::min<size_t>(want, static_cast<size_t>(dropAfter - toNet));
                const ssize_t n = ::read(pty, buf, want);
                if (n > 0) {
                    toNet += n;
                    WriteAll(tcp, buf, static_cast<size_t>(n));
                }
                if (!dropped && toNet >= dropAfter) {
                    dropped = true;
                    ::close(tcp);
                    // Away: what the serial side gets meanwhile is lost, as in a reboot.
                    const auto back =
                        std::chrono::steady_clock::now() + std::chrono::milliseconds(awayMs);
                    while (std::chrono::steady_clock::now() < back) {
                        pollfd q{pty, POLLIN, 0};
                        if (poll(&q, 1, 10) > 0 && ::read(pty, buf, sizeof buf) < 0)
                            usleep(1000);
                    }
                    tcp = Dial(port);
                    continue;
                }
            }
            if (p[1].revents & (POLLIN | POLLHUP)) {
                const ssize_t n = ::read(tcp, buf, sizeof buf);
                if (n <= 0)
                    break;
                WriteAll(pty, buf, static_cast<size_t>(n));
            }
        }
        if (tcp >= 0)
            ::close(tcp);
    }
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace

// Server Mode with a device whose link drops in the middle of the first run: with --accept-again
// the run starts again on the new link and passes, the gap told in every format; without it the
// run ends short as before.
TEST(RunnerRedial, AcceptAgainGoesOnOnTheNewLinkAndTellsTheGap) {
    const struct {
        bool acceptAgain;
        int code;
    } cases[] = {{true, 0}, {false, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.acceptAgain ? "--accept-again" : "without");
        testutil::TempDir dir;
        testutil::PtyPair pty;
        const int port = testutil::FreePort();
        std::vector<std::string> args{"--serial",
                                      pty.slavePath,
                                      "--listen",
                                      std::to_string(port),
                                      "--accept-timeout",
                                      "10",
                                      "--random",
                                      "1M",
                                      "--start-delay",
                                      "0",
                                      "--json=" + dir.File("r.json"),
                                      "--jsonl",
                                      dir.File("r.jsonl"),
                                      "--junit",
                                      dir.File("r.xml"),
                                      "--report",
                                      dir.File("r.html")};
        if (c.acceptAgain)
            args.push_back("--accept-again");
        RunnerProcess runner;
        runner.Start(args);
        Ran r;
        {
            RedialingDevice device(pty.master, port, 18 + 300000, 700);
            r = runner.Finish(60000);
        }
        ASSERT_EQ(r.code, c.code) << r.out << r.err;
        const QJsonObject json =
            QJsonDocument::fromJson(
                QByteArray::fromStdString(testutil::ReadFile(dir.File("r.json"))))
                .object();
        const QJsonArray runs = json["runs"].toArray();
        ASSERT_EQ(runs.size(), c.acceptAgain ? 2 : 1) << r.out << r.err;
        const QJsonObject first = runs[0].toObject();
        if (!c.acceptAgain) {
            EXPECT_EQ(first["result"].toString(), "short");
            EXPECT_FALSE(first.contains("link_drops"));
            continue;
        }
        for (const QJsonValue& run : runs)
            EXPECT_EQ(run["result"].toString(), "verified") << r.out;
        const QJsonArray drops = first["link_drops"].toArray();
        ASSERT_EQ(drops.size(), 1) << r.out;
        EXPECT_TRUE(drops[0]["during_run"].toBool());
        EXPECT_GE(drops[0]["gap_seconds"].toDouble(), 0.6);
        EXPECT_LT(drops[0]["stored_before_drop"].toInteger(), 1048576);
        EXPECT_FALSE(runs[1].toObject().contains("link_drops"));
        EXPECT_TRUE(json["network"]["accept_again"].toBool());
        EXPECT_TRUE(std::regex_search(
            Lines(r.out).at(0),
            std::regex("^run 1/2 serial-to-net: Verified : 1048576 Bytes identical, .* \\(the "
                       "device's link dropped after [0-9]+ bytes and the run started again from "
                       "its first byte once it dialled in again, [0-9]+\\.[0-9]{3} s after the "
                       "drop\\)$")))
            << r.out;
        EXPECT_NE(Lines(testutil::ReadFile(dir.File("r.jsonl"))).at(0).find("\"link_drops\""),
                  std::string::npos);
        EXPECT_NE(testutil::ReadFile(dir.File("r.xml")).find("name=\"link_drop.1.gap_seconds\""),
                  std::string::npos);
        EXPECT_NE(testutil::ReadFile(dir.File("r.html")).find("link drops"), std::string::npos);
    }
}
