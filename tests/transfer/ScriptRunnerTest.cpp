// Running test scripts: on a scripted device behind fake links (answers split across reads,
// binary regexes, responders, misses and their messages, nested repeats, failed sends, links
// going down, Stop and restart), and through a real engine over a pty and a loopback TCP link.
#include "transfer/ScriptRunner.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>

#include <functional>
#include <map>
#include <thread>

#include "support/NetConnect.h"
#include "support/SocatDevice.h"
#include "support/TestUtil.h"
#include "support/TimingRelay.h"
#include "transfer/TerminalEngine.h"

using testutil::WaitFor;

namespace {

platform::TrafficKind Rx(ScriptLink link) {
    return link == ScriptLink::Serial ? platform::TrafficKind::SerialRx
                                      : platform::TrafficKind::NetRx;
}

// A device played by the test: what it answers to each send, chunk by chunk, each chunk a read
// of its own a few milliseconds after the previous one.
struct Answer {
    ScriptLink link;
    std::vector<std::string> chunks;
};

class FakeLinks : public IScriptLinks {
public:
    platform::Result Send(ScriptLink link, const std::string& bytes,
                          platform::Stamp* sentAt) override {
        *sentAt = platform::Stamp::Now();
        if (failOn == bytes)
            return platform::Result::Fail("Not connected: the line was not sent",
                                          "127.0.0.1:2001: Connection reset by peer");
        sent += std::string(link == ScriptLink::Serial ? "S:" : "N:") + bytes + "|";
        if (auto it = device.find(bytes); it != device.end() && runner) {
            int delay = 2;
            for (const std::string& chunk : it->second.chunks) {
                QTimer::singleShot(delay, runner, [this, a = it->second.link, chunk] {
                    runner->Traffic(Rx(a), platform::Stamp::Now(),
                                    reinterpret_cast<const unsigned char*>(chunk.data()),
                                    chunk.size());
                });
                delay += 3;
            }
        }
        return platform::Result::Ok();
    }
    bool IsUp(ScriptLink link) const override { return up[link == ScriptLink::Serial ? 0 : 1]; }

    ScriptRunner* runner = nullptr;
    std::map<std::string, Answer> device;
    std::string failOn;
    std::string sent;  // "S:bytes|N:bytes|..."
    bool up[2] = {true, true};
};

struct ScriptRun {
    FakeLinks links;
    ScriptRunner runner{links};
    std::vector<ScriptOutcome> outcomes;
    bool inStart = false;
    bool toldInStart = false;

    ScriptRun() {
        links.runner = &runner;
        QObject::connect(&runner, &ScriptRunner::finished, [this](const ScriptOutcome& o) {
            toldInStart = toldInStart || inStart;
            outcomes.push_back(o);
        });
    }
    void Start(const std::string& text) {
        const ScriptParse p = ParseScript(text, "s.vsk");
        ASSERT_TRUE(p.ok) << p.error;
        inStart = true;
        runner.Start(p.script);
        inStart = false;
    }
    const ScriptOutcome& Finish(int timeoutMs = 5000) {
        EXPECT_TRUE(WaitFor([&] { return !outcomes.empty(); }, timeoutMs));
        EXPECT_FALSE(toldInStart);
        if (outcomes.empty())
            outcomes.emplace_back();
        return outcomes.back();
    }
};

using State = ScriptOutcome::State;

TEST(ScriptRunner, RunsScriptsAgainstAScriptedDevice) {
    const std::string ff(70, 'A');
    struct Case {
        const char* name;
        std::string script;
        std::map<std::string, Answer> device;
        State state;
        std::vector<std::string> why;
        std::string sent;
        int64_t responses = 0;
    } cases[] = {
        {"an answer split across three reads",
         "send serial \"AT\\r\"\nexpect network \"OK\\r\\n\" 2s\n",
         {{"AT\r", {ScriptLink::Network, {"xxO", "K\r", "\nyy"}}}},
         State::Passed,
         {},
         "S:AT\r|"},
        {"a regex over binary bytes, 0x00 and 0xFF among them",
         "send serial \"\\x01\"\nexpect serial /\\x00[\\x80-\\xFF]+\\xff/ 2s\n",
         {{"\x01", {ScriptLink::Serial, {std::string("\x10\x00\x90", 3), "\xa0\xff\x01"}}}},
         State::Passed,
         {},
         "S:\x01|"},
        {"a responder and an expectation see the same bytes",
         "on serial \"PING\" send serial \"PONG\"\nsend network \"go\"\n"
         "expect serial \"PING\" 2s\nexpect network \"PONG\" 2s\n",
         {{"go", {ScriptLink::Serial, {"PI", "NG"}}}, {"PONG", {ScriptLink::Network, {"PONG"}}}},
         State::Passed,
         {},
         "N:go|S:PONG|",
         1},
        {"a miss names what it waited for and the last 64 bytes",
         "send network \"x\"\nexpect network \"OK\" 100ms\n",
         {{"x", {ScriptLink::Network, {"B" + ff}}}},
         State::Unmet,
         {"s.vsk:2: expected \"OK\" on network within 100ms",
          "last 64 bytes received on network: " +
              [] {
                  std::string hex = "41";
                  for (int i = 1; i < 64; ++i)
                      hex += " 41";
                  return hex;
              }() +
              " (" + std::string(64, 'A') + ")"},
         "N:x|"},
        {"a miss with a few bytes, some not printable",
         "send network \"x\"\nexpect network \"OK\" 100ms\n",
         {{"x", {ScriptLink::Network, {std::string("O\x00K", 3)}}}},
         State::Unmet,
         {"s.vsk:2: expected \"OK\" on network within 100ms",
          "last 3 bytes received on network: 4f 00 4b (O.K)"},
         "N:x|"},
        {"a miss after an expectation met on the same link",
         "send serial \"a\"\nexpect serial \"A\" 1s\nexpect serial /B/ 50ms\n",
         {{"a", {ScriptLink::Serial, {"A"}}}},
         State::Unmet,
         {"s.vsk:3: expected /B/ on serial within 50ms", "nothing received on serial since line 2"},
         "S:a|"},
        {"nested repeats",
         "repeat 3\n  repeat 2 every 1ms\n    send serial \"a\"\n  end\n  send network \"b\"\n"
         "end\n",
         {},
         State::Passed,
         {},
         "S:a|S:a|N:b|S:a|S:a|N:b|S:a|S:a|N:b|"},
        {"a failed send",
         "send serial \"a\"\nsend network \"b\"\nsend serial \"c\"\n",
         {},
         State::LinkFailed,
         {"s.vsk:2: Not connected: the line was not sent",
          "127.0.0.1:2001: Connection reset by peer"},
         "S:a|"},
        {"a responder answers each match, later",
         "on network /^Q[0-9]/ send serial \"R\" crc16-modbus after 20ms\n"
         "send serial \"go\"\nexpect network \"DONE\" 2s\n",
         {{"go", {ScriptLink::Network, {"Q1Q2"}}}, {"R\x3e\xbd", {ScriptLink::Network, {"DONE"}}}},
         State::Passed,
         {},
         "S:go|S:R\x3e\xbd|S:R\x3e\xbd|",
         2},
    };
    for (Case& c : cases) {
        ScriptRun run;
        if (c.state == State::LinkFailed)
            run.links.failOn = "b";
        run.links.device = c.device;
        run.Start(c.script);
        const ScriptOutcome& out = run.Finish();
        EXPECT_EQ(out.state, c.state) << c.name;
        EXPECT_EQ(out.why, c.why) << c.name;
        EXPECT_EQ(run.links.sent, c.sent) << c.name;
        EXPECT_EQ(out.responses, c.responses) << c.name;
        for (const ExpectFigures& e : out.expects)
            for (const int64_t ns : e.responseNs)
                EXPECT_GE(ns, 0) << c.name;
    }
}

TEST(ScriptRunner, FiguresOfExpectationsAndRepeats) {
    ScriptRun run;
    // "OK1" and "OK2" arrive together after the first send: the second expectation meets in
    // bytes that came before the latest send, and counts 0.
    run.links.device = {{"a", {ScriptLink::Serial, {"OK1OK2"}}}};
    run.Start(
        "send serial \"a\"\nexpect serial \"OK1\" 2s\nwait 20ms\nsend serial \"b\"\n"
        "expect serial \"OK2\" 2s\nrepeat 2\n  repeat 5 every 2ms\n    wait 0ms\n  end\nend\n");
    const ScriptOutcome& out = run.Finish();
    ASSERT_EQ(out.state, State::Passed);
    ASSERT_EQ(out.expects.size(), 2u);
    EXPECT_EQ(out.expects[0].line, 2);
    EXPECT_EQ(out.expects[0].written, "\"OK1\"");
    EXPECT_EQ(out.expects[0].met, 1);
    ASSERT_EQ(out.expects[0].responseNs.size(), 1u);
    EXPECT_GT(out.expects[0].responseNs[0], 0);
    ASSERT_EQ(out.expects[1].responseNs.size(), 1u);
    EXPECT_EQ(out.expects[1].responseNs[0], 0);
    ASSERT_EQ(out.repeats.size(), 1u);
    const RepeatFigures& r = out.repeats[0];
    EXPECT_EQ(r.line, 7);
    EXPECT_EQ(r.startNs.size(), 10u);
    EXPECT_EQ(r.runStarts, (std::vector<size_t>{0, 5}));
    // Never before its schedule: a period averages at least the period asked for.
    EXPECT_GE(r.MeanPeriodNs(), 2000000);
    EXPECT_EQ(out.sends, 2);

    RepeatFigures f;
    f.everyNs = 10;
    f.startNs = {0, 10, 21, 30, 1000, 1010};
    f.runStarts = {0, 4};
    EXPECT_EQ(f.MeanPeriodNs(), 10);
    EXPECT_EQ(f.P99JitterNs(), 1);
    EXPECT_EQ(PercentileNs({5, 1, 4, 2, 3}, 50), 3);
    EXPECT_EQ(PercentileNs({5, 1, 4, 2, 3}, 99), 5);
    EXPECT_EQ(PercentileNs({}, 99), 0);
}

TEST(ScriptRunner, LinksGoingDownStopAndRestart) {
    {
        ScriptRun run;
        run.Start("expect network \"X\" 10s\n");
        QTimer::singleShot(50, [&] { run.links.up[1] = false; });
        const ScriptOutcome& out = run.Finish();
        EXPECT_EQ(out.state, State::LinkFailed);
        EXPECT_EQ(out.why, std::vector<std::string>{"s.vsk:1: the network link went down"});
    }
    {
        ScriptRun run;
        run.links.up[0] = false;
        run.Start("wait 1ms\nsend serial \"a\"\n");
        EXPECT_EQ(run.Finish().why,
                  std::vector<std::string>{"s.vsk:1: the serial port is not open"});
    }
    {
        ScriptRun run;
        run.Start("wait 10s\n");
        testutil::Pump(20);
        run.runner.Stop();
        ASSERT_EQ(run.outcomes.size(), 1u);  // at once
        EXPECT_EQ(run.outcomes[0].state, State::Stopped);
        EXPECT_EQ(run.outcomes[0].why, std::vector<std::string>{"s.vsk:1: the script was stopped"});
        EXPECT_FALSE(run.runner.Running());
        // A new run while one is under way: the old one is told as stopped, after Start returns.
        run.Start("wait 10s\n");
        run.Start("send serial \"x\"\n");
        EXPECT_FALSE(run.toldInStart);
        EXPECT_TRUE(WaitFor([&] { return run.outcomes.size() == 3; }));
        EXPECT_EQ(run.outcomes[1].state, State::Stopped);
        EXPECT_EQ(run.outcomes[2].state, State::Passed);
        EXPECT_EQ(run.links.sent, "S:x|");
    }
    {
        // Chunks from another thread, many of them while the expectation waits.
        ScriptRun run;
        run.Start("expect serial \"END\" 10s\n");
        std::thread feeder([&] {
            for (int i = 0; i < 2000; ++i) {
                const std::string chunk = i == 1999 ? "EN" : "x";
                run.runner.Traffic(platform::TrafficKind::SerialRx, platform::Stamp::Now(),
                                   reinterpret_cast<const unsigned char*>(chunk.data()),
                                   chunk.size());
            }
            run.runner.Traffic(platform::TrafficKind::SerialRx, platform::Stamp::Now(),
                               reinterpret_cast<const unsigned char*>("D"), 1);
        });
        const ScriptOutcome& out = run.Finish();
        feeder.join();
        EXPECT_EQ(out.state, State::Passed);
        EXPECT_EQ(out.expects[0].met, 1);
    }
}

// The device: the program's serial port is a pty and its network link a loopback TCP connection,
// and between them the test's relay, which holds what goes from serial to network for 300 ms.
TEST(ScriptRunner, RunsOnARealEngine) {
    testutil::TempDir dir;
    const int port = testutil::FreePort();
    TerminalEngine engine;
    EngineScriptLinks links(engine);
    ScriptRunner runner(links);
    std::vector<ScriptOutcome> outcomes;
    QObject::connect(&runner, &ScriptRunner::finished,
                     [&](const ScriptOutcome& o) { outcomes.push_back(o); });
    engine.traffic.SetMeasure(&runner);
    auto run = [&](const std::string& text) {
        outcomes.clear();
        const ScriptParse p = ParseScript(text, "real.vsk");
        EXPECT_TRUE(p.ok) << p.error;
        runner.Start(p.script);
        EXPECT_TRUE(WaitFor([&] { return !outcomes.empty(); }, 10000));
        return outcomes.empty() ? ScriptOutcome{} : outcomes[0];
    };
    LineSettings settings;
    settings.baud = 115200;
    {
        SocatDevice device(dir.File("COM1"), SocatDevice::Mode::Listen, port);
        ASSERT_TRUE(device.Ready());
        ASSERT_TRUE(engine.serial.Open(dir.File("COM1"), settings).ok);
        ASSERT_TRUE(testutil::ConnectAndWait(engine.net, "127.0.0.1", port).ok);
        const ScriptOutcome out =
            run("send serial \"hello\\r\" crc16-modbus\n"
                "expect network /hello\\r[\\x00-\\xFF]{2}/ 3s\n"
                "send network \"\\x00\\xffback\"\n"
                "expect serial \"\\x00\\xffback\" 3s\n");
        EXPECT_EQ(out.state, ScriptOutcome::State::Passed) << (out.why.empty() ? "" : out.why[0]);
        EXPECT_EQ(out.sends, 2);
        engine.Shutdown();
    }
    {
        testutil::PtyPair pty;
        int listenPort = 0;
        const int listener = testutil::ListenLoopback(&listenPort);
        ASSERT_TRUE(engine.serial.Open(pty.slavePath, settings).ok);
        ASSERT_TRUE(testutil::ConnectAndWait(engine.net, "127.0.0.1", listenPort).ok);
        const int far = testutil::AcceptWithin(listener, 2000);
        ASSERT_GE(far, 0);
        RelayTiming late;
        late.delayMs = 300;
        TimingRelay relay(pty.master, far, late);
        ScriptOutcome out = run("send serial \"ping\"\nexpect network \"ping\" 100ms\n");
        EXPECT_EQ(out.state, ScriptOutcome::State::Unmet);
        EXPECT_EQ(out.why, (std::vector<std::string>{
                               "real.vsk:2: expected \"ping\" on network within 100ms",
                               "nothing received on network since the script started"}));
        testutil::Pump(500);  // the late answer comes and goes before the next run
        out = run("send serial \"pong\"\nexpect network \"pong\" 3s\n");
        EXPECT_EQ(out.state, ScriptOutcome::State::Passed);
        ASSERT_EQ(out.expects.size(), 1u);
        ASSERT_EQ(out.expects[0].responseNs.size(), 1u);
        EXPECT_GE(out.expects[0].responseNs[0], 250000000);  // the relay's 300 ms, generously
        engine.Shutdown();
        ::close(listener);
    }
    // The owner unhooks the runner before it goes.
    engine.traffic.SetMeasure(nullptr);
}

}  // namespace
