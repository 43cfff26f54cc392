// The modem lines of a port: input changes reported once each with their time, the outputs,
// the break and its end, and a device without modem lines, through a fake ModemIo; then a pty,
// which has none.
#include "serial/ModemLines.h"

#include <gtest/gtest.h>

#include <functional>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/Retirer.h"
#include "serial/SerialConsole.h"
#include "support/TestUtil.h"

using platform::ModemState;
using platform::Result;

namespace {

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What the fake saw and what it answers with. Shared by the test and the fake, which the
// ModemLines owns.
struct FakeLines {
    std::mutex lock;
    std::condition_variable changed;
    ModemState state;
    uint64_t version = 0;  // bumped by every change of an input line
    int error = 0;         // answered by every call when not 0
    std::vector<std::string> calls;
    int getLinesCalls = 0;
    // A driver's wait (TIOCMIWAIT) counts changes from when it is entered, not from the last
    // read; with this set, the fake's wait does the same.
    bool waitCountsFromEntry = false;
    // A driver whose wait the interrupt does not end: only a change does.
    bool waitIgnoresAbort = false;
    bool inWait = false;
    // Called once, right after the next read, with the lock held: a change that comes between
    // a read and the wait after it.
    std::function<void(ModemState&)> afterNextRead;

    void Set(void (*change)(ModemState&)) {
        {
            std::lock_guard g(lock);
            change(state);
            ++version;
        }
        changed.notify_all();
    }
    std::vector<std::string> Calls() {
        std::lock_guard g(lock);
        return calls;
    }
};

class FakeModemIo : public platform::ModemIo {
public:
    explicit FakeModemIo(FakeLines& f) : m_f(f) {}
    Result GetLines(ModemState& state) override {
        std::lock_guard g(m_f.lock);
        ++m_f.getLinesCalls;
        if (m_f.error)
            return Fail();
        state = m_f.state;
        m_seen = m_f.version;
        if (m_f.afterNextRead) {
            m_f.afterNextRead(m_f.state);
            m_f.afterNextRead = nullptr;
            ++m_f.version;
        }
        return Result::Ok();
    }
    Result SetDtr(bool on) override { return Record(on ? "DTR on" : "DTR off"); }
    Result SetRts(bool on) override { return Record(on ? "RTS on" : "RTS off"); }
    Result SetBreak(bool on) override { return Record(on ? "break on" : "break off"); }
    Result WaitForChange(const platform::AbortSignal& abort) override {
        std::unique_lock g(m_f.lock);
        const uint64_t since = m_f.waitCountsFromEntry ? m_f.version : m_seen;
        m_f.inWait = true;
        m_f.changed.notify_all();
        m_f.changed.wait(
            g, [&] { return (abort.IsRaised() && !m_f.waitIgnoresAbort) || m_f.version != since; });
        m_f.inWait = false;
        if (abort.IsRaised())
            return Result::Fail("aborted", {}, ECANCELED);
        return Result::Ok();
    }
    void Interrupt() override {
        { std::lock_guard g(m_f.lock); }
        m_f.changed.notify_all();
    }
    Result GetCounters(platform::UartCounters& counters) override {
        std::lock_guard g(m_f.lock);
        if (m_f.error)
            return Fail();
        counters = {1, 2, 3, 4, 5};
        return Result::Ok();
    }

private:
    Result Fail() { return Result::Fail(platform::kNotSupportedText, "modem lines", m_f.error); }
    Result Record(const char* what) {
        std::lock_guard g(m_f.lock);
        if (m_f.error)
            return Fail();
        m_f.calls.push_back(what);
        return Result::Ok();
    }
    FakeLines& m_f;
    uint64_t m_seen = 0;
};

}  // namespace

TEST(ModemLines, EachInputChangeIsReportedOnceWithItsTime) {
    FakeLines fake;
    fake.state.dsr = true;
    ModemLines lines;
    std::vector<ModemLineChange> seen;
    QObject::connect(&lines, &ModemLines::lineChanged,
                     [&](const ModemLineChange& c) { seen.push_back(c); });
    ASSERT_TRUE(lines.Start(std::make_unique<FakeModemIo>(fake)).ok);
    EXPECT_TRUE(lines.Lines().dsr);

    struct Case {
        void (*change)(ModemState&);
        ModemLine line;
        bool on;
    } cases[] = {
        {[](ModemState& s) { s.cts = true; }, ModemLine::Cts, true},
        {[](ModemState& s) { s.dsr = false; }, ModemLine::Dsr, false},
        {[](ModemState& s) { s.dcd = true; }, ModemLine::Dcd, true},
        {[](ModemState& s) { s.ri = true; }, ModemLine::Ri, true},
        {[](ModemState& s) { s.ri = false; }, ModemLine::Ri, false},
    };
    for (const Case& c : cases) {
        const size_t before = seen.size();
        const int64_t changedAt = SteadyNs();
        const QDateTime wallBefore = QDateTime::currentDateTimeUtc();
        fake.Set(c.change);
        ASSERT_TRUE(testutil::WaitFor([&] { return seen.size() > before; }))
            << ModemLineName(c.line);
        testutil::Pump(30);  // nothing more comes for the same change
        ASSERT_EQ(seen.size(), before + 1) << ModemLineName(c.line);
        const ModemLineChange& got = seen.back();
        EXPECT_EQ(got.line, c.line);
        EXPECT_EQ(got.on, c.on);
        EXPECT_GE(got.steadyNs, changedAt);
        EXPECT_LE(got.steadyNs, SteadyNs());
        EXPECT_GE(got.wall.toMSecsSinceEpoch(), wallBefore.toMSecsSinceEpoch());
        EXPECT_EQ(got.wall.timeSpec(), Qt::UTC);
    }
    EXPECT_EQ(lines.ChangeCount(ModemLine::Cts), 1);
    EXPECT_EQ(lines.ChangeCount(ModemLine::Ri), 2);
    EXPECT_EQ(lines.Lines(), (ModemState{true, false, true, false, false, false}));

    // Two lines changing at once: one event each, with the same time.
    const size_t before = seen.size();
    fake.Set([](ModemState& s) {
        s.cts = false;
        s.dcd = false;
    });
    ASSERT_TRUE(testutil::WaitFor([&] { return seen.size() >= before + 2; }));
    testutil::Pump(30);
    ASSERT_EQ(seen.size(), before + 2);
    EXPECT_EQ(seen[before].steadyNs, seen[before + 1].steadyNs);

    lines.Stop();  // ends the watch thread, waiting in the fake
    EXPECT_FALSE(lines.Running());
}

TEST(ModemLines, OutputsBreakAndCountersReachTheDevice) {
    FakeLines fake;
    ModemLines lines;
    int breakEnded = 0;
    QObject::connect(&lines, &ModemLines::breakEnded, [&] { ++breakEnded; });
    ASSERT_TRUE(lines.Start(std::make_unique<FakeModemIo>(fake)).ok);

    EXPECT_TRUE(lines.SetDtr(true).ok);
    EXPECT_TRUE(lines.SetRts(true).ok);
    EXPECT_TRUE(lines.SetRts(false).ok);
    EXPECT_TRUE(lines.Lines().dtr);
    EXPECT_FALSE(lines.Lines().rts);

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(lines.SendBreak(60).ok);
    EXPECT_TRUE(lines.BreakOn());
    EXPECT_EQ(lines.SendBreak().error, EBUSY);  // one break at a time
    EXPECT_EQ(fake.Calls().back(), "break on");
    ASSERT_TRUE(testutil::WaitFor([&] { return breakEnded == 1; }));
    EXPECT_GE(testutil::MsSince(start), 60);
    EXPECT_EQ(fake.Calls(),
              (std::vector<std::string>{"DTR on", "RTS on", "RTS off", "break on", "break off"}));

    platform::UartCounters counters;
    ASSERT_TRUE(lines.Counters(counters).ok);
    EXPECT_EQ(counters, (platform::UartCounters{1, 2, 3, 4, 5}));

    // A break still on when the port closes is ended then.
    ASSERT_TRUE(lines.SendBreak(10000).ok);
    lines.Stop();
    EXPECT_EQ(fake.Calls().back(), "break off");
    EXPECT_EQ(breakEnded, 1);
}

TEST(ModemLines, ADeviceWithoutLinesSaysSoOnceAndRefusesQuietly) {
    for (int err : {ENOTTY, EINVAL}) {
        FakeLines fake;
        fake.error = err;
        ModemLines lines;
        QStringList told;
        QObject::connect(&lines, &ModemLines::notSupported,
                         [&](const QString& text) { told << text; });
        const Result started = lines.Start(std::make_unique<FakeModemIo>(fake));
        EXPECT_FALSE(started.ok);
        EXPECT_EQ(started.error, err);
        EXPECT_FALSE(lines.Supported());

        platform::UartCounters counters;
        for (const Result& r : {lines.SetDtr(true), lines.SetRts(false), lines.SendBreak(),
                                lines.Counters(counters)}) {
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.text, "not supported by this device");
        }
        testutil::Pump(30);
        EXPECT_EQ(told, QStringList{"not supported by this device"});
        EXPECT_EQ(fake.getLinesCalls, 1);  // no watch thread asking again
        lines.Stop();
    }
}

// A pty has no modem lines: the console opens, says so once, and sends and receives as before.
TEST(ModemLines, APtyHasNoLinesAndThePortWorksOn) {
    testutil::PtyPair pty;
    SerialConsole console;
    QStringList told;
    QObject::connect(&console.Modem(), &ModemLines::notSupported,
                     [&](const QString& text) { told << text; });
    LineSettings settings;
    settings.baud = 115200;
    ASSERT_TRUE(console.Open(pty.slavePath, settings).ok);
    EXPECT_EQ(told, QStringList{"not supported by this device"});
    EXPECT_EQ(console.Modem().SetDtr(true).text, "not supported by this device");
    EXPECT_EQ(console.Modem().SendBreak().text, "not supported by this device");

    EXPECT_TRUE(console.Send("ping").ok);
    EXPECT_EQ(pty.Read(4), "ping");
    pty.Write("pong");
    unsigned char out[RING_BUFFER_CAPACITY];
    EXPECT_TRUE(testutil::WaitFor([&] { return console.Ring().Snapshot(out) == 4; }));
    testutil::Pump(30);
    EXPECT_EQ(told.size(), 1);
    console.Close();
}

// A change that comes after the lines were read and before the next wait began is not lost,
// although the driver's wait only counts changes from its own start.
TEST(ModemLines, AChangeBetweenAReadAndTheNextWaitIsReported) {
    FakeLines fake;
    fake.waitCountsFromEntry = true;
    ModemLines lines;
    std::vector<ModemLineChange> seen;
    QObject::connect(&lines, &ModemLines::lineChanged,
                     [&](const ModemLineChange& c) { seen.push_back(c); });
    ASSERT_TRUE(lines.Start(std::make_unique<FakeModemIo>(fake)).ok);
    testutil::Pump(50);  // the watch waits
    {
        std::lock_guard g(fake.lock);
        fake.afterNextRead = [](ModemState& s) { s.dsr = true; };
    }
    fake.Set([](ModemState& s) { s.cts = true; });
    ASSERT_TRUE(testutil::WaitFor([&] { return seen.size() >= 2; }, 2000)) << seen.size();
    EXPECT_EQ(seen[0].line, ModemLine::Cts);
    EXPECT_EQ(seen[1].line, ModemLine::Dsr);
    EXPECT_TRUE(lines.Lines().dsr);
    lines.Stop();
}

// With a retirer, stopping a watch whose wait does not end at once returns without waiting: the
// watch thread ends later, after its owner is gone, touching nothing of it and reporting nothing.
TEST(ModemLines, StopHandsAStuckWatchToTheRetirer) {
    FakeLines fake;
    fake.waitIgnoresAbort = true;
    platform::Retirer retirer;
    int changes = 0;
    {
        ModemLines lines;
        lines.SetRetirer(&retirer);
        QObject::connect(&lines, &ModemLines::lineChanged, [&] { ++changes; });
        ASSERT_TRUE(lines.Start(std::make_unique<FakeModemIo>(fake)).ok);
        {
            std::unique_lock g(fake.lock);
            ASSERT_TRUE(
                fake.changed.wait_for(g, std::chrono::seconds(10), [&] { return fake.inWait; }));
        }
        lines.Stop();
        EXPECT_FALSE(lines.Running());
        EXPECT_EQ(retirer.Pending(), 1u);  // still in its wait
    }
    fake.Set([](ModemState& s) { s.cts = true; });  // ends the wait, after the owner is gone
    EXPECT_TRUE(retirer.WaitIdle(std::chrono::seconds(10)));
    testutil::Pump(30);
    EXPECT_EQ(changes, 0);
}
