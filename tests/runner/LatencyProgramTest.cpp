// vaskel-passthrough's latency test, traffic log and HTML report as a user runs them: socat or a
// relay with timing of its own plays the device server, the program runs as a child process.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "support/FaultyRelay.h"
#include "support/SocatDevice.h"
#include "support/TestUtil.h"
#include "support/TimingRelay.h"

namespace {

struct Ran {
    int code = -1;  // -1: killed after the time limit
    std::string out, err;
};

class Program {
public:
    // `shell`: commands run before the program (e.g. "ulimit -f 4"), in the same shell.
    void Start(const std::vector<std::string>& args, const std::string& shell = "") {
        std::string command = shell + (shell.empty() ? "" : "; ") + "exec '" VASKEL_PASSTHROUGH "'";
        for (const std::string& a : args)
            command += " '" + a + "'";
        command += " >'" + files.File("out") + "' 2>'" + files.File("err") + "'";
        ASSERT_TRUE(m_child.Start({"/bin/sh", "-c", command}, {"TMPDIR=" + files.path}));
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
        r.out = testutil::ReadFile(files.File("out"));
        r.err = testutil::ReadFile(files.File("err"));
        return r;
    }
    testutil::TempDir files;

private:
    testutil::ChildProcess m_child;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

QJsonObject Json(const Ran& r) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << r.out << r.err;
    return doc.object();
}

// The program on a pty and a loopback TCP link (it connects), a relay of type `Relay` (with the
// faults of each direction) between them.
template <class Relay = TimingRelay, class Faults = RelayTiming>
Ran RunThroughRelay(const std::vector<std::string>& args, const Faults& toNet,
                    const Faults& toSerial) {
    testutil::PtyPair pty;
    int port = 0;
    const int listener = testutil::ListenLoopback(&port);
    Program program;
    std::vector<std::string> all = {"--serial", pty.slavePath, "--connect",
                                    "127.0.0.1:" + std::to_string(port)};
    all.insert(all.end(), args.begin(), args.end());
    program.Start(all);
    const int tcp = testutil::AcceptWithin(listener, 10000);
    ::close(listener);
    EXPECT_GE(tcp, 0);
    if (tcp < 0)
        return program.Finish(5000);
    Relay relay(pty.master, tcp, toNet, toSerial);
    return program.Finish(60000);
}

// The bytes of every log line of `kind`, joined, and whether the seconds column never went
// backwards over the whole log.
struct LogBytes {
    std::string bytes;
    int lines = 0;
};
std::map<std::string, LogBytes> ReadLog(const std::string& path, bool* ordered) {
    std::map<std::string, LogBytes> kinds;
    std::ifstream in(path);
    double last = -1;
    *ordered = true;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string time, kind;
        double seconds = 0;
        int count = 0;
        if (line.rfind("date ", 0) == 0)
            continue;
        fields >> time >> seconds >> kind >> count;
        EXPECT_TRUE(fields) << line;
        *ordered = *ordered && seconds >= last;
        last = seconds;
        LogBytes& k = kinds[kind];
        ++k.lines;
        for (int i = 0; i < count; ++i) {
            std::string hex;
            fields >> hex;
            k.bytes += static_cast<char>(std::stoi(hex, nullptr, 16));
        }
    }
    return kinds;
}

}  // namespace

// The figures follow what the device does: a delay moves the latency, a dropped frame is lost,
// a repeated one duplicated, an inverted byte corrupts its frame, bursts show as large reads,
// and a limit below the latency fails the run.
TEST(LatencyThroughRelay, FiguresFollowTheDevice) {
    constexpr int S = 16;
    struct Case {
        const char* name;
        const char* direction;
        RelayTiming toNet, toSerial;
        std::vector<std::string> extra;
        int code;
        const char* result;
        int received, lost, duplicated, corrupted;
        double p50Low, p50High;  // ms
        size_t largestReadAtLeast;
    } cases[] = {
        {"2 ms delay",
         "serial-to-net",
         {.delayMs = 2},
         {},
         {},
         0,
         "verified",
         40,
         0,
         0,
         0,
         2,
         10,
         S},
        {"2 ms delay back",
         "net-to-serial",
         {},
         {.delayMs = 2},
         {},
         0,
         "verified",
         40,
         0,
         0,
         0,
         2,
         10,
         S},
        {"30 ms delay",
         "serial-to-net",
         {.delayMs = 30},
         {},
         {},
         0,
         "verified",
         40,
         0,
         0,
         0,
         30,
         40,
         S},
        {"30 ms delay back",
         "net-to-serial",
         {},
         {.delayMs = 30},
         {},
         0,
         "verified",
         40,
         0,
         0,
         0,
         30,
         40,
         S},
        {"frame 7 dropped",
         "serial-to-net",
         {.dropFrame = 7},
         {},
         {},
         1,
         "lost",
         39,
         1,
         0,
         0,
         0,
         10,
         S},
        {"frame 5 repeated",
         "net-to-serial",
         {},
         {.repeatFrame = 5},
         {},
         0,
         "verified",
         40,
         0,
         1,
         0,
         0,
         10,
         S},
        {"byte of frame 3 inverted",
         "serial-to-net",
         {.flipAt = 3 * S + 9},
         {},
         {},
         1,
         "lost",
         39,
         0,
         0,
         1,
         0,
         10,
         S},
        {"sequence number of frame 4 inverted",
         "net-to-serial",
         {},
         {.flipAt = 4 * S + 1},
         {},
         1,
         "lost",
         39,
         0,
         0,
         1,
         0,
         10,
         S},
        {"bursts of 100 ms",
         "net-to-serial",
         {},
         {.burstMs = 100},
         {},
         0,
         "verified",
         40,
         0,
         0,
         0,
         0,
         110,
         5 * S},
        {"silent device",
         "serial-to-net",
         {.delayMs = 60000},
         {},
         {},
         2,
         "timeout",
         0,
         40,
         0,
         0,
         0,
         0,
         0},
        {"p99 above the limit",
         "serial-to-net",
         {.delayMs = 30},
         {},
         {"--max-latency", "20"},
         1,
         "slow",
         40,
         0,
         0,
         0,
         30,
         40,
         S},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--test",      "latency",    "--frames",
                                         "40",          "--interval", "10",
                                         "--direction", c.direction,  "--json"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const Ran r = RunThroughRelay(args, c.toNet, c.toSerial);
        EXPECT_EQ(r.code, c.code) << r.out << r.err;
        const QJsonArray runs = Json(r)["runs"].toArray();
        ASSERT_EQ(runs.size(), 1) << r.out;
        const QJsonObject run = runs[0].toObject();
        EXPECT_EQ(run["result"].toString().toStdString(), c.result);
        const QJsonObject frames = run["frames"].toObject();
        EXPECT_EQ(frames["planned"].toInt(), 40);
        EXPECT_EQ(frames["received"].toInt(), c.received);
        EXPECT_EQ(frames["lost"].toInt(), c.lost);
        EXPECT_EQ(frames["duplicated"].toInt(), c.duplicated);
        EXPECT_EQ(frames["corrupted"].toInt(), c.corrupted);
        EXPECT_EQ(frames["reordered"].toInt(), 0);
        if (c.received == 0) {
            EXPECT_TRUE(run["latency_ms"].isNull()) << r.out;
            EXPECT_EQ(run["message"].toString(), "Latency : no frame arrived, 0 of 40 frames");
            continue;
        }
        const QJsonObject latency = run["latency_ms"].toObject();
        EXPECT_GE(latency["p50"].toDouble(), c.p50Low) << r.out;
        EXPECT_GE(latency["min"].toDouble(), c.p50Low) << r.out;
        EXPECT_LE(latency["p50"].toDouble(), c.p50High) << r.out;
        EXPECT_LE(latency["p50"].toDouble(), latency["p99"].toDouble());
        EXPECT_LE(latency["p99"].toDouble(), latency["max"].toDouble());
        size_t largest = 0;
        int64_t bytes = 0;
        for (const QJsonValue& v : run["reads"].toObject()["sizes"].toArray()) {
            largest = std::max<size_t>(largest, v.toObject()["bytes"].toInteger());
            bytes += v.toObject()["bytes"].toInteger() * v.toObject()["count"].toInteger();
        }
        EXPECT_GE(largest, c.largestReadAtLeast) << r.out;
        EXPECT_EQ(bytes, run["bytes_read"].toInteger());
    }
}

// A device that drops the network link part-way: the frames after it are lost, and the run
// ends without waiting for them all to be written.
TEST(LatencyThroughRelay, ALinkDroppedPartWayLosesTheRest) {
    for (const char* direction : {"serial-to-net", "net-to-serial"}) {
        SCOPED_TRACE(direction);
        const bool toNet = std::string(direction) == "serial-to-net";
        const RelayFaults closing{.closeAfter = 10 * 16};
        const Ran r = RunThroughRelay<FaultyRelay>(
            {"--test", "latency", "--frames", "40", "--interval", "10", "--direction", direction,
             "--json"},
            toNet ? closing : RelayFaults{}, toNet ? RelayFaults{} : closing);
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        const QJsonObject run = Json(r)["runs"].toArray()[0].toObject();
        EXPECT_EQ(run["result"].toString(), "lost");
        EXPECT_EQ(run["frames"].toObject()["received"].toInt(), 10) << r.out;
        EXPECT_EQ(run["frames"].toObject()["lost"].toInt(), 30) << r.out;
    }
}

// A device that greets both sides with a 2000-byte boot banner before the test: the banner is
// read and set aside before the first frame, reported as what was waiting, and counts as no
// frame, so the runs pass.
TEST(LatencyThroughRelay, ABannerWaitingOnBothSidesIsSetAside) {
    const RelayTiming banner{.bannerBytes = 2000};
    const Ran r = RunThroughRelay(
        {"--test", "latency", "--frames", "40", "--interval", "5", "--direction", "both", "--json"},
        banner, banner);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    const QJsonArray runs = Json(r)["runs"].toArray();
    ASSERT_EQ(runs.size(), 2) << r.out;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const QJsonObject run = runs[i].toObject();
        EXPECT_EQ(run["result"].toString(), "verified") << r.out;
        EXPECT_EQ(run["frames"].toObject()["received"].toInt(), 40);
        EXPECT_EQ(run["frames"].toObject()["corrupted"].toInt(), 0);
        EXPECT_EQ(run["stray_bytes"].toInteger(), 0);
        const QJsonObject waiting = run["waiting_before"].toObject();
        // The first run finds the banners; the second nothing.
        EXPECT_EQ(waiting["serial_bytes"].toInteger(), i == 0 ? 2000 : 0) << r.out;
        EXPECT_EQ(waiting["net_bytes"].toInteger(), i == 0 ? 2000 : 0) << r.out;
        EXPECT_TRUE(waiting["serial_quiet"].toBool());
        EXPECT_TRUE(waiting["net_quiet"].toBool());
        EXPECT_EQ(waiting["text"].toString().toStdString(),
                  i == 0 ? "2000 bytes were waiting on the serial side before the test; 2000 "
                           "bytes were waiting on the network side before the test"
                         : "");
    }
}

// Through socat, every frame takes time: its write is stamped before the call, its read after,
// so no run, in either direction, has a minimum or a median of zero or less.
TEST(LatencyWithSocat, EveryFrameTakesTime) {
    testutil::TempDir dir;
    const int port = testutil::FreePort();
    const std::string com = dir.File("COM1");
    SocatDevice socat(com, SocatDevice::Mode::Listen, port);
    ASSERT_TRUE(socat.Ready());
    Program program;
    program.Start({"--serial", com, "--connect", "127.0.0.1:" + std::to_string(port), "--test",
                   "latency", "--frames", "200", "--frame-size", "8", "--interval", "1", "--repeat",
                   "3", "--json"});
    const Ran r = program.Finish();
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    const QJsonArray runs = Json(r)["runs"].toArray();
    ASSERT_EQ(runs.size(), 6) << r.out;
    for (const QJsonValue& v : runs) {
        const QJsonObject run = v.toObject();
        SCOPED_TRACE(run["direction"].toString().toStdString());
        const QJsonObject latency = run["latency_ms"].toObject();
        EXPECT_GT(latency["min"].toDouble(), 0) << r.out;
        EXPECT_GT(latency["p50"].toDouble(), 0) << r.out;
        EXPECT_EQ(run["frames"].toObject()["read_before_written"].toInt(), 0);
    }
}

// Through socat both ways, with every report: one summary line per run, every figure in JSON
// terms in the JUnit report, the traffic log holding exactly the frames on both links, and the
// HTML report.
TEST(LatencyWithSocat, PlainRunBothWaysWithEveryReport) {
    testutil::TempDir dir;
    const int port = testutil::FreePort();
    const std::string com = dir.File("COM1");
    SocatDevice socat(com, SocatDevice::Mode::Listen, port);
    ASSERT_TRUE(socat.Ready());
    const std::string junit = dir.File("report.xml"), log = dir.File("traffic.log"),
                      html = dir.File("report.html");
    Program program;
    program.Start({"--serial", com, "--connect", "127.0.0.1:" + std::to_string(port), "--test",
                   "latency", "--frames", "100", "--frame-size", "8", "--interval", "2", "--junit",
                   junit, "--log", log, "--report", html});
    const Ran r = program.Finish();
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    // The runner's own floor first, then a line a run.
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("runner floor: serial p50 [0-9.]+ ms, p99 "
                                                      "[0-9.]+ ms; network p50 [0-9.]+ ms, p99 "
                                                      "[0-9.]+ ms")))
        << lines[0];
    lines.erase(lines.begin());
    const std::regex summary(
        "run ([12])/2 (serial-to-net|net-to-serial): Latency : p50 [0-9]+\\.[0-9]{2} ms, p99 "
        "[0-9]+\\.[0-9]{2} ms, max [0-9]+\\.[0-9]{2} ms, 100 of 100 frames");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, summary)) << lines[i];
        EXPECT_EQ(m[2], i == 0 ? "serial-to-net" : "net-to-serial");
    }
    const std::string xml = testutil::ReadFile(junit);
    EXPECT_NE(xml.find("tests=\"2\" failures=\"0\" errors=\"0\""), std::string::npos) << xml;
    for (const char* property :
         {"latency_ms.p90", "frames.lost", "frames.reordered", "reads.gap_ms.p99", "reads.sizes"})
        EXPECT_NE(xml.find(std::string("name=\"") + property + "\""), std::string::npos)
            << property;

    bool ordered = false;
    const auto kinds = ReadLog(log, &ordered);
    EXPECT_TRUE(ordered);
    ASSERT_EQ(kinds.size(), 4u);
    // Each link carried 100 frames of 8 bytes each way, the same bytes out as in.
    for (const char* kind : {"serial-tx", "net-rx", "net-tx", "serial-rx"})
        EXPECT_EQ(kinds.at(kind).bytes.size(), 800u) << kind;
    EXPECT_EQ(kinds.at("serial-tx").bytes, kinds.at("net-rx").bytes);
    EXPECT_EQ(kinds.at("net-tx").bytes, kinds.at("serial-rx").bytes);
    EXPECT_EQ(kinds.at("serial-tx").lines, 100);  // a write per frame
    EXPECT_NE(testutil::ReadFile(html).find("<svg"), std::string::npos);
}

// The traffic log of a small pass-through: the header and the file bytes on the sending link's
// -tx lines and the receiving link's -rx lines, and nothing else.
TEST(RunnerTrafficLog, APassThroughLogsExactlyItsBytes) {
    testutil::TempDir dir;
    const int port = testutil::FreePort();
    const std::string com = dir.File("COM1");
    SocatDevice socat(com, SocatDevice::Mode::Listen, port);
    ASSERT_TRUE(socat.Ready());
    const std::string file = dir.File("data.bin"), log = dir.File("traffic.log");
    const std::string data = testutil::RandomBytes(3000, 5);
    testutil::WriteFile(file, data);
    Program program;
    const std::string html = dir.File("report.html");
    program.Start({"--serial", com, "--connect", "127.0.0.1:" + std::to_string(port), "--file",
                   file, "--direction", "net-to-serial", "--start-delay", "0", "--log", log,
                   "--report", html});
    const Ran r = program.Finish();
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    bool ordered = false;
    const auto kinds = ReadLog(log, &ordered);
    EXPECT_TRUE(ordered);
    ASSERT_EQ(kinds.size(), 2u);
    const std::string sent = kinds.at("net-tx").bytes;
    ASSERT_EQ(sent.size(), 18 + data.size());  // the header, then the file
    EXPECT_EQ(sent.substr(18), data);
    EXPECT_EQ(kinds.at("serial-rx").bytes, sent);
    // The report of a pass-through: its verdict, no latency charts.
    const std::string page = testutil::ReadFile(html);
    EXPECT_NE(page.find("Verified : 3000 Bytes identical"), std::string::npos) << page;
    EXPECT_EQ(page.find("<svg"), std::string::npos);
}

// A traffic log that cannot be created or written ends an otherwise good session with 5 and a
// message naming the file.
TEST(RunnerTrafficLog, ALogThatCannotBeStoredIsToldAndEndsWith5) {
    testutil::TempDir dir;
    const struct {
        std::string path;
        const char* text;
        const char* detail;
        const char* shell;  // a file-size limit of 2 KiB makes the log's writes fail part-way
    } cases[] = {
        {dir.File("gone/traffic.log"), "Can't create the traffic log",
         "gone/traffic.log: No such file or directory", ""},
        {dir.File("full/traffic.log"), "Can't write the traffic log",
         "full/traffic.log: File too large", "ulimit -f 4"},
    };
    ASSERT_EQ(::mkdir(dir.File("full").c_str(), 0700), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const int port = testutil::FreePort();
        const std::string com = dir.File("COM" + std::to_string(port));
        SocatDevice socat(com, SocatDevice::Mode::Listen, port);
        ASSERT_TRUE(socat.Ready());
        Program program;
        program.Start(
            {"--serial", com, "--connect", "127.0.0.1:" + std::to_string(port), "--test", "latency",
             "--frames", "20", "--interval", "1", "--direction", "serial-to-net", "--log", c.path},
            c.shell);
        const Ran r = program.Finish();
        EXPECT_EQ(r.code, 5) << r.out << r.err;
        EXPECT_NE(r.err.find(std::string("vaskel-passthrough: ") + c.text), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find(c.detail), std::string::npos) << r.err;
    }
}

// The HTML report is one self-contained page that a real browser draws: it parses, fetches
// nothing, runs no script, and Chromium's screenshot of it is a picture, not a blank.
TEST(RunnerHtmlReport, AHeadlessBrowserDrawsIt) {
    ASSERT_EQ(::access("/usr/bin/chromium", X_OK), 0)
        << "chromium is not installed (scripts/deps.sh installs it)";
    const std::string html = std::string(VASKEL_ARTIFACTS) + "/latency-report.html";
    const std::string png = std::string(VASKEL_ARTIFACTS) + "/latency-report.png";
    ::unlink(png.c_str());
    RelayTiming bursts{.burstMs = 40};
    const Ran r = RunThroughRelay({"--test", "latency", "--frames", "60", "--interval", "5",
                                   "--direction", "serial-to-net", "--report", html},
                                  bursts, {});
    ASSERT_EQ(r.code, 0) << r.out << r.err;

    int code = -1;
    const std::string parsed = testutil::RunCommand(
        "python3 -c '\n"
        "import sys, html.parser\n"
        "class P(html.parser.HTMLParser):\n"
        "    def __init__(s):\n"
        "        super().__init__(); s.tags = {}; s.bad = []\n"
        "    def handle_starttag(s, tag, attrs):\n"
        "        s.tags[tag] = s.tags.get(tag, 0) + 1\n"
        "        for k, v in attrs:\n"
        "            if k in (\"src\", \"href\") or (v and \"url(\" in v): s.bad.append(k)\n"
        "        if tag in (\"script\", \"link\", \"img\", \"iframe\"): s.bad.append(tag)\n"
        "p = P(); p.feed(open(sys.argv[1]).read()); p.close()\n"
        "print(p.tags.get(\"svg\", 0), p.tags.get(\"polyline\", 0), p.tags.get(\"rect\", 0), "
        "len(p.bad))\n"
        "' '" +
            html + "'",
        &code);
    ASSERT_EQ(code, 0) << parsed;
    int svg = 0, curves = 0, bars = 0, bad = -1;
    std::istringstream(parsed) >> svg >> curves >> bars >> bad;
    EXPECT_EQ(svg, 2) << parsed;     // the latency CDF and the read sizes
    EXPECT_EQ(curves, 1) << parsed;  // the CDF
    EXPECT_GE(bars, 2) << parsed;    // frame-sized reads and burst-sized ones
    EXPECT_EQ(bad, 0) << parsed;     // nothing fetched, nothing run
    EXPECT_EQ(testutil::ReadFile(html).find("http://www.w3.org/2000/svg") != std::string::npos,
              true);

    testutil::RunCommand(
        "timeout 90 /usr/bin/chromium --headless --no-sandbox --disable-gpu "
        "--hide-scrollbars --window-size=1200,900 --screenshot='" +
            png + "' 'file://" + html + "' >/dev/null 2>&1",
        &code);
    ASSERT_EQ(code, 0);
    const std::string image = testutil::ReadFile(png);
    ASSERT_GT(image.size(), 20000u);
    EXPECT_EQ(image.substr(1, 3), "PNG");
    // A drawn page has text, badges, curves and bars: many colours, not a blank.
    const std::string colours =
        testutil::RunCommand("convert '" + png + "' -format %k info:", &code);
    if (code == 0) {
        EXPECT_GT(std::stoi(colours), 50) << colours;
    }
}
