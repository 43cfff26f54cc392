// The window under a device that streams without pause on both links: it keeps handling events,
// never queues more than one refresh per console, and shows exactly the newest bytes afterwards.
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "app/RefreshPacer.h"
#include "display/ConsoleFormat.h"
#include "support/app/DialogFixture.h"

namespace {

// Writes pseudo-random bytes to fd as fast as it takes them until stopped; keeps the newest
// 2047 it wrote.
class Flood {
public:
    explicit Flood(int fd, unsigned seed) : m_thread([this, fd, seed] { Run(fd, seed); }) {}
    ~Flood() { Stop(); }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    std::string Newest() const { return m_tail.substr(m_tail.size() - RING_BUFFER_CAPACITY); }
    size_t Total() const { return m_total; }

private:
    void Run(int fd, unsigned seed) {
        std::string chunk = testutil::RandomBytes(4096, seed);
        while (!m_stop) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = ::write(fd, chunk.data(), chunk.size());
            if (n <= 0)
                continue;
            m_total += static_cast<size_t>(n);
            m_tail.append(chunk, 0, static_cast<size_t>(n));
            if (m_tail.size() > 8192)
                m_tail.erase(0, m_tail.size() - 4096);
            std::rotate(chunk.begin(), chunk.begin() + 7, chunk.end());
        }
    }
    std::atomic<bool> m_stop{false};
    std::string m_tail = std::string(RING_BUFFER_CAPACITY, '\0');
    size_t m_total = 0;
    std::thread m_thread;
};

std::string History(CRingBuffer& ring) {
    unsigned char out[RING_BUFFER_CAPACITY];
    const int n = ring.Snapshot(out);
    return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
}

class FloodTest : public DialogFixture {};

}  // namespace

TEST_F(FloodTest, WindowAnswersUnderADualFloodAndShowsTheNewestBytesAfter) {
    testutil::PtyPair pty;
    LinkPort(1, pty.slavePath);
    Select(IDC_COMBO_BAUD, 9);  // 230400: the pty takes whatever comes at once
    Click(IDC_BUTTON_OPEN);
    ASSERT_TRUE(dlg->SerialOpen());
    int port = 0;
    const int listener = testutil::ListenLoopback(&port);
    SetText(IDC_IP_ADDRESS, "127.0.0.1");
    SetText(IDC_EDIT_IP_PORT, std::to_string(port));
    Click(IDC_BUTTON_IP_CONNECT);
    const int far = testutil::AcceptWithin(listener, 2000);
    ASSERT_GE(far, 0);
    fcntl(far, F_SETFL, O_NONBLOCK);
    Click(IDC_CHECK_HEXVIEW);  // serial as hex, network as text

    // Announcements made by the receive thread and taken by the window.
    std::atomic<int> announced{0};
    int taken = 0, worstPending = 0;
    QObject::connect(&dlg->Serial(), &SerialConsole::received, [&] { ++announced; });
    QObject::connect(
        &dlg->Serial(), &SerialConsole::received, dlg.get(), [&] { ++taken; },
        Qt::QueuedConnection);

    std::vector<qint64> latencies;
    QElapsedTimer clock;
    clock.start();
    QTimer prober;
    QObject::connect(&prober, &QTimer::timeout, [&] {
        worstPending = std::max(worstPending, announced.load() - taken);
        const qint64 posted = clock.elapsed();
        QMetaObject::invokeMethod(
            dlg.get(), [&, posted] { latencies.push_back(clock.elapsed() - posted); },
            Qt::QueuedConnection);
    });
    prober.start(20);
    {
        Flood serial(pty.master, 1), network(far, 2);
        testutil::Pump(10000);
        serial.Stop();
        network.Stop();
        prober.stop();
        // Quiet again: the last bytes reach the histories, and both consoles show them.
        ASSERT_TRUE(testutil::WaitFor(
            [&] {
                return History(dlg->SerialRing()) == serial.Newest() &&
                       History(dlg->NetRing()) == network.Newest();
            },
            10000));
        EXPECT_GT(serial.Total(), 1u << 20);
        testutil::Pump(3 * CONSOLE_REFRESH_INTERVAL_MS + 50);
        std::string hex, text;
        FormatHexDump(reinterpret_cast<const unsigned char*>(serial.Newest().data()),
                      RING_BUFFER_CAPACITY, hex);
        FormatConsoleText(reinterpret_cast<const unsigned char*>(network.Newest().data()),
                          RING_BUFFER_CAPACITY, text);
        // What each console shows is what the exchange last gave it.
        EXPECT_TRUE(dlg->m_strSerialConsole == hex);
        EXPECT_TRUE(dlg->m_strNetConsole == text);
        EXPECT_TRUE(Console(IDC_REDIT_SERIAL_DEBUG) == ConsoleWidgetText(hex));
    }
    EXPECT_LE(worstPending, 1);
    ASSERT_GT(latencies.size(), 100u);
    std::sort(latencies.begin(), latencies.end());
    EXPECT_LT(latencies[latencies.size() * 99 / 100], 200) << "p99 of a posted event, ms";
    ::close(far);
    ::close(listener);
}
