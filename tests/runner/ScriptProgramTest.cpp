// vaskel-passthrough --script as a user runs it: socat or ser2net plays the device server (a byte
// sent on the serial side comes out of the network side and the reverse), the program runs as a
// child process, and its exit code, lines and reports are checked.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>

#include "support/Ser2netDevice.h"
#include "support/SocatDevice.h"
#include "support/TestUtil.h"
#include "transfer/Checksum.h"
#include "transfer/Script.h"

namespace {

struct Ran {
    int code = -1;  // -1: killed after the time limit
    std::string out, err;
};

class Program {
public:
    void Start(const std::vector<std::string>& args) {
        std::string command = "exec '" VASKEL_PASSTHROUGH "'";
        for (const std::string& a : args)
            command += " '" + a + "'";
        command += " >'" + m_files.File("out") + "' 2>'" + m_files.File("err") + "'";
        ASSERT_TRUE(m_child.Start({"/bin/sh", "-c", command}, {"TMPDIR=" + m_files.path}));
    }
    Ran Finish(int timeoutMs = 60000) {
        Ran r;
        const int status = m_child.Wait(timeoutMs);
        if (status == -1) {
            m_child.Kill(SIGKILL);
            m_child.Wait(5000);
        } else if (WIFEXITED(status)) {
            r.code = WEXITSTATUS(status);
        }
        r.out = testutil::ReadFile(m_files.File("out"));
        r.err = testutil::ReadFile(m_files.File("err"));
        return r;
    }
    void Signal(int sig) { m_child.Kill(sig); }
    std::string Err() const { return testutil::ReadFile(m_files.File("err")); }

private:
    testutil::TempDir m_files;
    testutil::ChildProcess m_child;
};

QJsonObject JsonOf(const std::string& text) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// "ACK" with its CRC-16/MODBUS, as a script's DATA: what the device must pass unchanged.
std::string WithCrc(const std::string& data) {
    return QuoteScriptData(checksum::Append(*checksum::Find("crc16-modbus"), data));
}

// Both ways through the device, a responder that answers on the network what the serial side
// sent, a checksum and a timed repeat: 23 expectations on 4 lines.
std::string BothWaysScript() {
    return "# both ways through the device\n"             // 1
           "on network \"PING\" send network \"PONG\"\n"  // 2
           "send serial \"hello\\r\\n\"\n"                // 3
           "expect network \"hello\\r\\n\" 2s\n"          // 4
           "send network \"ACK\" crc16-modbus\n"          // 5
           "expect serial " +
           WithCrc("ACK") +
           " 2s\n"                        // 6
           "send serial \"PING\"\n"       // 7
           "expect serial \"PONG\" 2s\n"  // 8
           "repeat 20 every 5ms\n"        // 9
           "  send serial \"T\"\n"        // 10
           "  expect network \"T\" 1s\n"  // 11
           "end\n";                       // 12
}

// Every expectation line met, with response times that are real figures, and the repeat's
// passes on their schedule.
void ExpectPassedFigures(const QJsonObject& script, const std::string& context) {
    SCOPED_TRACE(context);
    EXPECT_EQ(script["result"].toString(), "passed");
    EXPECT_GE(script["responses"].toInt(), 1);
    const QJsonArray expects = script["expects"].toArray();
    ASSERT_EQ(expects.size(), 4);
    const int lines[] = {4, 6, 8, 11}, met[] = {1, 1, 1, 20};
    for (int i = 0; i < 4; ++i) {
        const QJsonObject e = expects[i].toObject();
        EXPECT_EQ(e["line"].toInt(), lines[i]);
        EXPECT_EQ(e["met"].toInt(), met[i]);
        EXPECT_EQ(e["missed"].toInt(), 0);
        const QJsonObject response = e["response"].toObject();
        EXPECT_EQ(response["count"].toInt(), met[i]);
        EXPECT_GT(response["p50_ms"].toDouble(), 0.0) << lines[i];
        EXPECT_GE(response["p99_ms"].toDouble(), response["p50_ms"].toDouble());
        EXPECT_GE(response["max_ms"].toDouble(), response["p99_ms"].toDouble());
    }
    const QJsonArray repeats = script["repeats"].toArray();
    ASSERT_EQ(repeats.size(), 1);
    const QJsonObject rep = repeats[0].toObject();
    EXPECT_EQ(rep["line"].toInt(), 9);
    EXPECT_EQ(rep["passes"].toInt(), 20);
    EXPECT_EQ(rep["every_ms"].toDouble(), 5.0);
    EXPECT_GT(rep["mean_period_ms"].toDouble(), 0.0);
    EXPECT_TRUE(rep["p99_jitter_ms"].isDouble());
}

// socat devices for one test: a pty as the serial side joined to a TCP port.
class Devices {
public:
    // The program's arguments for a fresh device; `listen`: the program serves and socat
    // connects.
    std::vector<std::string> One(bool listen = false) {
        const int port = testutil::FreePort();
        const std::string com = dir.File("COM" + std::to_string(m_socat.size() + 1));
        m_socat.push_back(std::make_unique<SocatDevice>(
            com, listen ? SocatDevice::Mode::Connect : SocatDevice::Mode::Listen, port));
        EXPECT_TRUE(m_socat.back()->Ready()) << "socat did not start";
        if (listen)
            return {"--serial", com, "--listen", std::to_string(port), "--accept-timeout", "10"};
        return {"--serial", com, "--connect", "127.0.0.1:" + std::to_string(port)};
    }
    std::string Station(const std::string& name) {
        const std::vector<std::string> a = One();
        return "--station=" + name + "," + a[1] + "," + a[3];
    }
    testutil::TempDir dir;

private:
    std::vector<std::unique_ptr<SocatDevice>> m_socat;
};

}  // namespace

// Each way a script ends through socat, with its exit code, its lines and every report.
TEST(ScriptWithSocat, EachEndHasItsExitCodeLinesAndReports) {
    Devices devices;
    testutil::TempDir& dir = devices.dir;
    const std::string script = dir.File("probe.vsk");
    const auto reports = [&] {
        return std::vector<std::string>{"--json",
                                        "--jsonl",
                                        dir.File("runs.jsonl"),
                                        "--junit",
                                        dir.File("junit.xml"),
                                        "--report",
                                        dir.File("report.html")};
    };
    struct Case {
        const char* name;
        std::string text;
        std::function<std::vector<std::string>()> args;
        int code;
        std::function<void(const Ran&)> check;
    } cases[] = {
        {"both ways, connecting, with every report and the traffic log", BothWaysScript(),
         [&] {
             std::vector<std::string> a = devices.One(), more = reports();
             a.insert(a.end(), more.begin(), more.end());
             a.insert(a.end(), {"--log", dir.File("traffic.log")});
             return a;
         },
         0,
         [&](const Ran& r) {
             const QJsonObject report = JsonOf(r.out);
             EXPECT_EQ(report["test"].toString(), "script");
             EXPECT_EQ(report["data"].toObject()["path"].toString().toStdString(), script);
             ExpectPassedFigures(report["script"].toObject(), "json");
             const std::vector<std::string> jsonl =
                 Lines(testutil::ReadFile(dir.File("runs.jsonl")));
             ASSERT_EQ(jsonl.size(), 1u);
             const QJsonObject line = JsonOf(jsonl[0]);
             EXPECT_EQ(line["test"].toString(), "script");
             EXPECT_EQ(line["exit_code"].toInt(), 0);
             ExpectPassedFigures(line, "jsonl");
             const std::string junit = testutil::ReadFile(dir.File("junit.xml"));
             EXPECT_NE(junit.find("tests=\"5\" failures=\"0\" errors=\"0\""), std::string::npos)
                 << junit;
             EXPECT_NE(junit.find("name=\"line 11 expect network &quot;T&quot;\""),
                       std::string::npos)
                 << junit;
             EXPECT_NE(junit.find("name=\"response.p99_ms\""), std::string::npos);
             EXPECT_NE(junit.find("name=\"line 9 repeat every 5ms\""), std::string::npos);
             const std::string html = testutil::ReadFile(dir.File("report.html"));
             EXPECT_NE(html.find("vaskel-passthrough: script <span class=\"pass\">"),
                       std::string::npos);
             EXPECT_NE(html.find("Expectations: response time (ms)"), std::string::npos);
             EXPECT_NE(html.find("<polyline class=\"curve\""), std::string::npos);
             const std::string log = testutil::ReadFile(dir.File("traffic.log"));
             EXPECT_NE(log.find("serial-tx"), std::string::npos);
             EXPECT_NE(log.find("net-rx"), std::string::npos);
         }},
        {"both ways, the device connecting (--listen), summary lines", BothWaysScript(),
         [&] { return devices.One(true); }, 0,
         [&](const Ran& r) {
             const std::vector<std::string> lines = Lines(r.out);
             ASSERT_EQ(lines.size(), 6u) << r.out;
             EXPECT_EQ(lines[0].rfind(
                           "script " + script + ": passed, 23 expectations met on 4 lines, ", 0),
                       0u)
                 << lines[0];
             EXPECT_EQ(lines[4].rfind("line 11 expect network \"T\": 20 met, response p50 ", 0), 0u)
                 << lines[4];
             EXPECT_EQ(lines[5].rfind("line 9 repeat every 5ms: 20 passes, mean period ", 0), 0u)
                 << lines[5];
         }},
        {"a rack: the same script on each station", BothWaysScript(),
         [&] {
             return std::vector<std::string>{devices.Station("a"), devices.Station("b"), "--json"};
         },
         0,
         [&](const Ran& r) {
             const QJsonArray stations = JsonOf(r.out)["stations"].toArray();
             ASSERT_EQ(stations.size(), 2) << r.out;
             for (const QJsonValue& s : stations)
                 ExpectPassedFigures(
                     s.toObject()["settings"].toArray()[0].toObject()["script"].toObject(),
                     s.toObject()["name"].toString().toStdString());
         }},
        {"an expectation not met",
         "send serial \"AT\\r\"\n"
         "expect network \"OK\" 300ms\n"
         "expect serial \"never\" 1s\n",
         [&] {
             std::vector<std::string> a = devices.One(), more = reports();
             a.insert(a.end(), more.begin(), more.end());
             a.erase(std::find(a.begin(), a.end(), "--json"));
             return a;
         },
         1,
         [&](const Ran& r) {
             EXPECT_NE(r.out.find("script " + script + ": not met at line 2"), std::string::npos)
                 << r.out;
             EXPECT_NE(r.out.find("\n" + script + ":2: "), std::string::npos) << r.out;
             EXPECT_NE(r.out.find("last 3 bytes received on network: 41 54 0d (AT.)"),
                       std::string::npos)
                 << r.out;
             EXPECT_NE(r.out.find("line 3 expect serial \"never\": not reached"),
                       std::string::npos);
             const QJsonObject line =
                 JsonOf(Lines(testutil::ReadFile(dir.File("runs.jsonl"))).at(0));
             EXPECT_EQ(line["result"].toString(), "unmet");
             EXPECT_EQ(line["line"].toInt(), 2);
             EXPECT_EQ(line["link"].toString(), "network");
             EXPECT_EQ(line["exit_code"].toInt(), 1);
             const std::string junit = testutil::ReadFile(dir.File("junit.xml"));
             EXPECT_NE(junit.find("tests=\"2\" failures=\"1\" errors=\"0\" skipped=\"1\""),
                       std::string::npos)
                 << junit;
             EXPECT_NE(junit.find("<failure message=\"0 met, 1 not met; " + script + ":2: "),
                       std::string::npos)
                 << junit;
         }},
        {"a script that cannot be parsed: nothing opened",
         "send serial \"AT\\r\"\n"
         "sned serial \"x\"\n",
         [&] {
             return std::vector<std::string>{
                 "--serial",  dir.File("nothing-here"),
                 "--connect", "127.0.0.1:" + std::to_string(testutil::FreePort()),
                 "--jsonl",   dir.File("runs.jsonl")};
         },
         64,
         [&](const Ran& r) {
             EXPECT_EQ(r.err.rfind("vaskel-passthrough: " + script + ":2: ", 0), 0u) << r.err;
             EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
             EXPECT_EQ(r.out, "");
             struct stat st {};
             EXPECT_NE(::stat(dir.File("runs.jsonl").c_str(), &st), 0) << "a report was begun";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* f : {"runs.jsonl", "junit.xml", "report.html", "traffic.log"})
            ::unlink(dir.File(f).c_str());
        testutil::WriteFile(script, c.text);
        std::vector<std::string> args = c.args();
        args.insert(args.end(), {"--script", script});
        Program program;
        program.Start(args);
        const Ran r = program.Finish();
        ASSERT_EQ(r.code, c.code) << r.out << r.err;
        c.check(r);
    }
}

// SIGTERM while a script repeats: 130, and every report keeps the figures so far and marks the
// script interrupted.
TEST(ScriptWithSocat, SigtermKeepsTheFiguresSoFarMarkedInterrupted) {
    Devices devices;
    testutil::TempDir& dir = devices.dir;
    testutil::WriteFile(dir.File("long.vsk"),
                        "repeat 100000 every 1ms\n"
                        "  send serial \"x\"\n"
                        "  expect network \"x\" 1s\n"
                        "end\n");
    std::vector<std::string> args = devices.One();
    args.insert(args.end(), {"--script", dir.File("long.vsk"), "--json", "--jsonl",
                             dir.File("runs.jsonl"), "--junit", dir.File("junit.xml")});
    Program program;
    program.Start(args);
    // The progress line tells of the steps once the script runs, then once a second.
    EXPECT_TRUE(testutil::WaitFor([&] { return Lines(program.Err()).size() >= 2; }, 15000))
        << program.Err();
    program.Signal(SIGTERM);
    const Ran r = program.Finish(20000);
    ASSERT_EQ(r.code, 130) << r.out << r.err;
    const QJsonObject report = JsonOf(r.out);
    EXPECT_TRUE(report["interrupted"].toBool());
    const QJsonObject script = report["script"].toObject();
    EXPECT_EQ(script["result"].toString(), "interrupted");
    const QJsonObject expect = script["expects"].toArray()[0].toObject();
    EXPECT_GT(expect["met"].toInt(), 0);
    EXPECT_GT(expect["response"].toObject()["p50_ms"].toDouble(), 0.0);
    EXPECT_GT(script["repeats"].toArray()[0].toObject()["passes"].toInt(), 1);
    const QJsonObject line = JsonOf(Lines(testutil::ReadFile(dir.File("runs.jsonl"))).at(0));
    EXPECT_EQ(line["result"].toString(), "interrupted");
    EXPECT_EQ(line["exit_code"].toInt(), 130);
    EXPECT_NE(testutil::ReadFile(dir.File("junit.xml")).find("type=\"interrupted\""),
              std::string::npos);
}

// The network side gone while the script runs: exit 4, with what failed on standard error.
TEST(ScriptLinkLoss, TheNetworkGoneEndsWith4) {
    testutil::TempDir dir;
    testutil::PtyPair serial;
    int port = 0;
    const int listener = testutil::ListenLoopback(&port);
    ASSERT_GE(listener, 0);
    testutil::WriteFile(dir.File("gone.vsk"),
                        "send network \"a\"\n"
                        "wait 2s\n"
                        "send network \"b\"\n"
                        "expect serial \"b\" 2s\n");
    Program program;
    program.Start({"--serial", serial.slavePath, "--connect", "127.0.0.1:" + std::to_string(port),
                   "--script", dir.File("gone.vsk"), "--json"});
    const int tcp = testutil::AcceptWithin(listener, 10000);
    ASSERT_GE(tcp, 0);
    EXPECT_EQ(testutil::RecvSome(tcp, 1), "a");
    ::close(tcp);
    const Ran r = program.Finish(20000);
    ::close(listener);
    EXPECT_EQ(r.code, 4) << r.out << r.err;
    EXPECT_NE(r.err.find("vaskel-passthrough: " + dir.File("gone.vsk") +
                         ":2: the network link went down\n  127.0.0.1:" + std::to_string(port) +
                         ": check the device server"),
              std::string::npos)
        << r.err;
    const QJsonObject report = JsonOf(r.out);
    EXPECT_EQ(report["script"].toObject()["result"].toString(), "link-failed") << r.out;
    EXPECT_EQ(report["script"].toObject()["link"].toString(), "network");
    EXPECT_FALSE(report["error"].toObject()["text"].toString().isEmpty());
}

// Through ser2net's Telnet port with RFC 2217: a responder on the serial side answers with a
// checksum, and a timed repeat carries 0xFF both ways (Telnet-escaped on the wire).
TEST(ScriptWithSer2net, ResponderChecksumAndRepeatOverRfc2217) {
    testutil::TempDir dir;
    Ser2netDevice device(dir.File("COM1"));
    ASSERT_TRUE(device.Ready()) << device.Log();
    testutil::WriteFile(dir.File("modbus.vsk"),
                        "on serial /REQ[0-9]/ send serial \"ANS\" crc16-modbus\n"  // 1
                        "send network \"REQ1\"\n"                                  // 2
                        "expect network " +
                            WithCrc("ANS") +
                            " 2s\n"                                     // 3
                            "repeat 10 every 10ms\n"                    // 4
                            "  send network \"\\xff\\x00\\xff\"\n"      // 5
                            "  expect serial \"\\xff\\x00\\xff\" 1s\n"  // 6
                            "  send serial \"\\xff\\xfe\"\n"            // 7
                            "  expect network \"\\xff\\xfe\" 1s\n"      // 8
                            "end\n");
    Program program;
    program.Start({"--serial", dir.File("COM1"), "--connect",
                   "127.0.0.1:" + std::to_string(device.TelnetPort()), "--rfc2217", "--baud",
                   "115200", "--script", dir.File("modbus.vsk"), "--json"});
    const Ran r = program.Finish();
    ASSERT_EQ(r.code, 0) << r.out << r.err << device.Log();
    const QJsonObject report = JsonOf(r.out);
    EXPECT_TRUE(report["rfc2217"].toObject()["applied"].toBool());
    const QJsonObject script = report["script"].toObject();
    EXPECT_EQ(script["result"].toString(), "passed");
    EXPECT_EQ(script["responses"].toInt(), 1);
    const QJsonArray expects = script["expects"].toArray();
    ASSERT_EQ(expects.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QJsonObject e = expects[i].toObject();
        EXPECT_EQ(e["met"].toInt(), i == 0 ? 1 : 10) << e["line"].toInt();
        EXPECT_GT(e["response"].toObject()["p50_ms"].toDouble(), 0.0);
    }
    const QJsonObject rep = script["repeats"].toArray()[0].toObject();
    EXPECT_EQ(rep["passes"].toInt(), 10);
    EXPECT_GT(rep["mean_period_ms"].toDouble(), 0.0);
}
