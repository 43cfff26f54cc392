// The line test's logic between a fake serial device (the modem-line seam) and a scripted RFC 2217
// device server, wired to each other as the case says: which line follows which is found, every
// change is counted and timed, and a lost or missing change is told.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "runner/LinesCheck.h"
#include "support/NetConnect.h"
#include "support/TestUtil.h"
#include "tests/runner/ScriptedComPortServer.h"

namespace {

using platform::ModemState;
using platform::Result;

// The serial side: outputs tell `outputsChanged`, inputs are set by the test (any thread).
class FakeModem : public platform::ModemIo {
public:
    std::function<void(const ModemState&)> outputsChanged;

    Result GetLines(ModemState& out) override {
        std::lock_guard<std::mutex> hold(m_lock);
        out = m_state;
        m_readAt = m_changes;
        return Result::Ok();
    }
    Result SetDtr(bool on) override { return SetOutput(&ModemState::dtr, on); }
    Result SetRts(bool on) override { return SetOutput(&ModemState::rts, on); }
    Result SetBreak(bool) override { return Result::Ok(); }
    Result GetCounters(platform::UartCounters&) override { return Result::Ok(); }
    Result WaitForChange(const platform::AbortSignal& abort) override {
        // Counts from the last read of the lines, so that a change made between that read and
        // this wait is not lost (the watch reads, posts, then waits again while the test, told
        // of the change, already makes the next one).
        std::unique_lock<std::mutex> hold(m_lock);
        m_changed.wait(hold, [&] { return m_changes != m_readAt || abort.IsRaised(); });
        return abort.IsRaised() ? Result::Fail("aborted", {}, ECANCELED) : Result::Ok();
    }
    void Interrupt() override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_changed.notify_all();
    }
    // The inputs as RFC 2217 modem-state bits.
    void SetInputs(uint8_t bits) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_state.cts = bits & comport::MODEM_CTS;
        m_state.dsr = bits & comport::MODEM_DSR;
        m_state.dcd = bits & comport::MODEM_DCD;
        m_state.ri = bits & comport::MODEM_RI;
        ++m_changes;
        m_changed.notify_all();
    }

private:
    Result SetOutput(bool ModemState::*line, bool on) {
        ModemState now;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_state.*line = on;
            now = m_state;
        }
        if (outputsChanged)
            outputsChanged(now);
        return Result::Ok();
    }
    std::mutex m_lock;
    std::condition_variable m_changed;
    ModemState m_state{.dtr = true, .rts = true};  // as an open leaves them
    uint64_t m_changes = 0;
    uint64_t m_readAt = 0;  // m_changes at the last GetLines
};

// Which inputs of the other side follow each output, as modem-state bits.
struct Wiring {
    uint8_t dtr, rts, remoteDtr, remoteRts;
};

// The delta bits of a change from `before` to `now`.
uint8_t Deltas(uint8_t before, uint8_t now) {
    const uint8_t changed = before ^ now;
    uint8_t d = 0;
    if (changed & comport::MODEM_CTS)
        d |= comport::MODEM_DELTA_CTS;
    if (changed & comport::MODEM_DSR)
        d |= comport::MODEM_DELTA_DSR;
    if (changed & comport::MODEM_DCD)
        d |= comport::MODEM_DELTA_DCD;
    if ((changed & comport::MODEM_RI) && !(now & comport::MODEM_RI))
        d |= comport::MODEM_RI_TRAILING_EDGE;
    return d;
}

constexpr uint8_t CTS = comport::MODEM_CTS, DSR = comport::MODEM_DSR, DCD = comport::MODEM_DCD,
                  RI = comport::MODEM_RI;

TEST(LinesCheck, FindsTheWiringCountsAndTimesEveryChange) {
    struct Case {
        const char* name;
        Wiring wiring;
        int dropNotification;  // the n-th notification caused by our outputs is lost; 0: none
        std::vector<std::string> summaries;
        bool ok;
    } cases[] = {
        {"null modem",
         {DSR | DCD, CTS, DSR | DCD, CTS},
         0,
         {"DTR -> remote DSR DCD: 6 of 6", "RTS -> remote CTS: 6 of 6",
          "remote DTR -> DSR DCD: 6 of 6", "remote RTS -> CTS: 6 of 6"},
         true},
        {"other wiring",
         {CTS, DCD, RI, DSR},
         0,
         {"DTR -> remote CTS: 6 of 6", "RTS -> remote DCD: 6 of 6", "remote DTR -> RI: 6 of 6",
          "remote RTS -> DSR: 6 of 6"},
         true},
        // The third change of RTS is not notified; the fourth one's delta bit still tells it.
        {"a notification lost",
         {DSR | DCD, CTS, DSR | DCD, CTS},
         9,
         {"DTR -> remote DSR DCD: 6 of 6", "RTS -> remote CTS: 5 of 6",
          "remote DTR -> DSR DCD: 6 of 6", "remote RTS -> CTS: 6 of 6"},
         false},
        {"a line nothing follows",
         {DSR | DCD, CTS, DSR | DCD, 0},
         0,
         {"DTR -> remote DSR DCD: 6 of 6", "RTS -> remote CTS: 6 of 6",
          "remote DTR -> DSR DCD: 6 of 6", "remote RTS -> nothing: 0 of 6 changes seen"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Wiring w = c.wiring;
        ModemLines lines;
        auto* fake = new FakeModem;
        NetConsole net;
        ScriptedComPortServer* server = nullptr;
        // The device server's inputs as last notified, and its outputs (server thread).
        std::mutex lock;
        uint8_t notified = 0;
        bool remoteDtr = false, remoteRts = false;
        int notifications = 0;
        auto remoteInputs = [&](const ModemState& ours) {
            return static_cast<uint8_t>((ours.dtr ? w.dtr : 0) | (ours.rts ? w.rts : 0));
        };
        fake->outputsChanged = [&](const ModemState& ours) {
            std::lock_guard<std::mutex> hold(lock);
            const uint8_t now = remoteInputs(ours);
            const uint8_t bits = now | Deltas(notified, now);
            notified = now;
            if (++notifications != c.dropNotification && server)
                server->NotifyModem(bits);
        };
        ScriptedComPortServer srv(true, [&](const telnet::Bytes& command) {
            if (command[0] == comport::SET_MODEMSTATE_MASK) {
                // The levels as they are, once notifications are asked for.
                ModemState ours;
                fake->GetLines(ours);
                std::lock_guard<std::mutex> hold(lock);
                notified = remoteInputs(ours);
                server->NotifyModem(notified);
            } else if (command[0] == comport::SET_CONTROL && command.size() == 2) {
                const uint8_t v = command[1];
                if (v == comport::CONTROL_DTR_ON || v == comport::CONTROL_DTR_OFF)
                    remoteDtr = v == comport::CONTROL_DTR_ON;
                if (v == comport::CONTROL_RTS_ON || v == comport::CONTROL_RTS_OFF)
                    remoteRts = v == comport::CONTROL_RTS_ON;
                fake->SetInputs(static_cast<uint8_t>((remoteDtr ? w.remoteDtr : 0) |
                                                     (remoteRts ? w.remoteRts : 0)));
            }
            return ScriptedComPortServer::Echo(command);
        });
        server = &srv;

        RemotePortOptions options;
        options.framing = LinkFraming::Rfc2217;
        net.SetRemotePortOptions(options);
        ASSERT_TRUE(testutil::ConnectAndWait(net, "127.0.0.1", static_cast<unsigned>(srv.Port())));
        ASSERT_TRUE(testutil::WaitFor([&] {
            return net.ComPort() && net.ComPort()->Option() == ComPortClient::OptionState::Agreed;
        }));
        ASSERT_TRUE(lines.Start(std::unique_ptr<platform::ModemIo>(fake)));
        // One change there and back first: under ThreadSanitizer the watch thread's first post
        // can take a good part of a second, which is the sanitizer's and not the check's.
        fake->SetInputs(CTS);
        ASSERT_TRUE(testutil::WaitFor([&] { return lines.ChangeCount(ModemLine::Cts) == 1; }));
        fake->SetInputs(0);
        ASSERT_TRUE(testutil::WaitFor([&] { return lines.ChangeCount(ModemLine::Cts) == 2; }));

        // A second for each change to show: a sanitizer's build may hold a thread that long.
        LinesCheck check(lines, net, 6, 1000);
        const LinesReport report = check.Run();
        ASSERT_EQ(report.lines.size(), 4u);
        for (size_t i = 0; i < 4; ++i) {
            const LineFollowReport& l = report.lines[i];
            EXPECT_EQ(l.Summary().rfind(c.summaries[i], 0), 0u) << l.Summary();
            EXPECT_EQ(l.delaysMs.size(), static_cast<size_t>(l.seen));
            EXPECT_LE(l.P50Ms(), l.MaxMs());
        }
        EXPECT_EQ(report.Ok(), c.ok);
        EXPECT_FALSE(report.linkLost);
        // The serial side's lines end as the test found them.
        EXPECT_TRUE(lines.Lines().dtr);
        EXPECT_TRUE(lines.Lines().rts);
        // The server goes first (it uses the fake), the fake last with the lines.
    }
}

}  // namespace
