// The window's side of a network link that speaks Telnet with the Com Port Control option: the
// Network Options dialog, what the window tells of the device server's answers, and the device
// server's lines in the Line Signals window. The device servers are scripted here, on loopback.
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTimer>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/LineSignalsDlg.h"
#include "app/NetworkOptionsDlg.h"
#include "support/FloodingDeviceServer.h"
#include "support/app/DialogFixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t COM_PORT = 44;

// What a scripted device server does.
enum class Script {
    Rfc2217,  // agrees; acknowledges baud, data size and control, answers parity with odd,
              // never answers the stop size, notifies its modem lines once asked to
    Silent,   // a raw TCP peer: reads and never answers anything
    Refuses,  // answers the option with DONT
};

// A device server on a loopback port, run on a thread of its own: it takes one client, answers
// as its script says and records each subnegotiation it received (payload after the option).
class ScriptedServer {
public:
    explicit ScriptedServer(Script script) : m_script(script) {
        m_listener = testutil::ListenLoopback(&port);
        m_thread = std::thread([this] { Run(); });
    }
    ~ScriptedServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    // Bytes sent to the client as they are (the thread sends them within 10 ms).
    void Push(const Bytes& bytes) {
        std::lock_guard g(m_lock);
        m_out.insert(m_out.end(), bytes.begin(), bytes.end());
    }
    std::vector<Bytes> Received() {
        std::lock_guard g(m_lock);
        return m_subs;
    }
    bool Got(const Bytes& payload) {
        for (const Bytes& b : Received())
            if (b == payload)
                return true;
        return false;
    }
    static Bytes Sub(const Bytes& payload) {
        Bytes out = {IAC, SB, COM_PORT};
        for (uint8_t b : payload) {
            out.push_back(b);
            if (b == IAC)
                out.push_back(IAC);
        }
        out.insert(out.end(), {IAC, SE});
        return out;
    }

    int port = 0;

private:
    void Run() {
        int fd = -1;
        while (!m_stop && fd < 0) {
            pollfd p{m_listener, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0)
                fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        }
        while (!m_stop && fd >= 0) {
            {
                std::lock_guard g(m_lock);
                if (!m_out.empty() && ::send(fd, m_out.data(), m_out.size(), MSG_NOSIGNAL) > 0)
                    m_out.clear();
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0)
                continue;
            uint8_t buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i)
                Feed(buf[i]);
        }
        if (fd >= 0)
            ::close(fd);
    }

    // Telnet commands out of the byte stream, one byte at a time.
    void Feed(uint8_t b) {
        switch (m_state) {
            case 0:  // data
                if (b == IAC)
                    m_state = 1;
                break;
            case 1:  // after IAC
                if (b == SB) {
                    m_state = 3;
                    m_sub.clear();
                } else if (b >= WILL && b <= DONT) {
                    m_verb = b;
                    m_state = 2;
                } else {
                    m_state = 0;
                }
                break;
            case 2:  // the option of a negotiation
                OnNegotiation(m_verb, b);
                m_state = 0;
                break;
            case 3:  // subnegotiation
                if (b == IAC)
                    m_state = 4;
                else
                    m_sub.push_back(b);
                break;
            case 4:  // IAC within a subnegotiation
                if (b == SE) {
                    OnSub();
                    m_state = 0;
                } else {
                    m_sub.push_back(b);
                    m_state = 3;
                }
                break;
        }
    }

    void OnNegotiation(uint8_t verb, uint8_t option) {
        if (m_script == Script::Silent)
            return;
        if (option == COM_PORT && verb == WILL) {
            if (m_script == Script::Refuses) {
                Push({IAC, DONT, COM_PORT});
                return;
            }
            Push({IAC, DO, COM_PORT});
            Bytes signature = {100};
            for (char c : std::string("Scripted device server"))
                signature.push_back(static_cast<uint8_t>(c));
            Push(Sub(signature));
        } else if (verb == WILL) {
            Push({IAC, DONT, option});
        } else if (verb == DO) {
            Push({IAC, WONT, option});
        }
    }

    void OnSub() {
        if (m_sub.size() < 2 || m_sub[0] != COM_PORT)
            return;
        const Bytes payload(m_sub.begin() + 1, m_sub.end());
        {
            std::lock_guard g(m_lock);
            m_subs.push_back(payload);
        }
        Bytes answer = payload;
        answer[0] = static_cast<uint8_t>(answer[0] + 100);
        switch (payload[0]) {
            case 3:  // SET-PARITY: odd, whatever was asked
                answer.resize(1);
                answer.push_back(2);
                break;
            case 4:  // SET-STOPSIZE: never answered
                return;
            default:
                break;
        }
        Push(Sub(answer));
        if (payload[0] == 11)  // SET-MODEMSTATE-MASK: the lines as they are, CTS and DCD changed
            Push(Sub({107, 0x80 | 0x10 | 0x08 | 0x01}));
        if (payload[0] == 10)  // SET-LINESTATE-MASK: a break was received
            Push(Sub({106, 0x10}));
    }

    const Script m_script;
    int m_listener = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;  // guards m_out and m_subs
    Bytes m_out;
    std::vector<Bytes> m_subs;
    // The parser's state (server thread only).
    int m_state = 0;
    uint8_t m_verb = 0;
    Bytes m_sub;
};

class RemotePortWindow : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        SetText(IDC_IP_ADDRESS, "127.0.0.1");
    }
    // Opens Network Options from the menu, lets `edit` set its controls, and ends it with OK
    // (or Cancel).
    void SetNetworkOptions(const std::function<void(CNetworkOptionsDlg*)>& edit, bool ok = true) {
        bool seen = false;
        // Looks for the dialog until it is up (it runs its own loop once the menu has gone).
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* options = qobject_cast<CNetworkOptionsDlg*>(w);
                    options && options->isVisible() && !seen) {
                    seen = true;
                    poll.stop();
                    edit(options);
                    options->findChild<QPushButton*>(ok ? "OK" : "Cancel")->click();
                }
        });
        poll.start(10);
        FromMenu("Network Options...");
        EXPECT_TRUE(seen);
    }
    static void Check(CNetworkOptionsDlg* w, const char* name, bool on) {
        QAbstractButton* b = w->findChild<QAbstractButton*>(name);
        ASSERT_NE(b, nullptr) << name;
        if (b->isChecked() != on)
            b->click();
    }
    void UseRfc2217(bool askLists = true, int answerTimeS = 2) {
        SetNetworkOptions([askLists, answerTimeS](CNetworkOptionsDlg* w) {
            Check(w, "Telnet with Com Port Control (RFC 2217)", true);
            Check(w, askLists ? "Set it to the serial console's settings" : "Leave it as it is",
                  true);
            w->findChild<QSpinBox*>("Answer time")->setValue(answerTimeS);
        });
    }
    CLineSignalsDlg* OpenLineSignals() {
        FromMenu("Line Signals...");
        return dlg->LineSignals().Window();
    }
    void ConnectTo(int port) {
        SetText(IDC_EDIT_IP_PORT, std::to_string(port));
        Click(IDC_BUTTON_IP_CONNECT);
        ASSERT_TRUE(dlg->NetConnected());
    }
    QString Text(QWidget* w, const char* name) {
        auto* label = w->findChild<QLabel*>(QString::fromLatin1(name));
        return label ? label->text() : QStringLiteral("(no %1)").arg(name);
    }
    std::string Tip() { return Item<QLabel>(IDC_STATIC_STATUS)->toolTip().toStdString(); }
};

TEST_F(RemotePortWindow, MenuEntryChoosesTheNextLinksFraming) {
    // The lists as the dialog starts: 57600 baud, 8 data bits, one stop bit, no parity, no flow.
    LineSettings lists;
    lists.baud = 57600;
    EXPECT_EQ(dlg->Net().RemoteOptions(), RemotePortOptions());  // raw TCP until chosen

    constexpr auto Raw = LinkFraming::Raw;
    constexpr auto Rfc2217 = LinkFraming::Rfc2217;
    struct Case {
        NetworkOptions choice;  // framing, ask the lists, notifications
        bool ok;
        RemotePortOptions expected;
    };
    const Case cases[] = {
        {{Rfc2217, true, true, 2}, true, {Rfc2217, lists, true, 2000}},
        {{Rfc2217, false, false, 30}, true, {Rfc2217, std::nullopt, false, 30000}},
        {{Raw, true, true, 1}, false, {Rfc2217, std::nullopt, false, 30000}},  // Cancel keeps
        {{Raw, true, true, 1}, true, {Raw, std::nullopt, true, 1000}},  // raw TCP asks nothing
        {{Rfc2217, true, true, 2}, true, {Rfc2217, lists, true, 2000}},
    };
    for (const Case& c : cases) {
        const bool rfc2217 = c.choice.framing == Rfc2217;
        SetNetworkOptions(
            [&](CNetworkOptionsDlg* w) {
                for (QWidget* child : w->findChildren<QWidget*>())
                    if (qobject_cast<QAbstractButton*>(child)) {
                        EXPECT_FALSE(child->accessibleName().isEmpty())
                            << child->objectName().toStdString();
                    }
                Check(w, "Telnet with Com Port Control (RFC 2217)", true);
                Check(w,
                      c.choice.askSerialSettings ? "Set it to the serial console's settings"
                                                 : "Leave it as it is",
                      true);
                Check(w, "Ask for modem and line state notifications", c.choice.notifications);
                auto* answerTime = w->findChild<QSpinBox*>("Answer time");
                ASSERT_NE(answerTime, nullptr);
                EXPECT_EQ(answerTime->minimum(), 1);
                EXPECT_EQ(answerTime->maximum(), 30);
                answerTime->setValue(c.choice.answerTimeoutS);
                Check(w, rfc2217 ? "Telnet with Com Port Control (RFC 2217)" : "Raw TCP", true);
                // The device server's port is only reached in RFC 2217 framing.
                EXPECT_EQ(w->findChild<QWidget*>("Device server's serial port")->isEnabled(),
                          rfc2217);
                EXPECT_EQ(w->Options(), c.choice);
                if (&c == &cases[0])
                    w->grab().save(QStringLiteral(VASKEL_ARTIFACTS "/network-options.png"));
            },
            c.ok);
        EXPECT_EQ(dlg->Net().RemoteOptions(), c.expected) << (rfc2217 ? "RFC 2217" : "raw");
        if (c.ok) {
            EXPECT_EQ(dlg->DeviceServer().Options(), c.choice);
        }
    }
    // The lists as they stand when the link is made are what the device server is asked.
    Select(IDC_COMBO_BAUD, 8);
    EXPECT_EQ(dlg->Net().RemoteOptions().settings->baud, 115200u);
}

TEST_F(RemotePortWindow, NamesWhatTheDeviceServerDidNotApplyAndShowsItsLines) {
    ScriptedServer server(Script::Rfc2217);
    UseRfc2217();
    Select(IDC_COMBO_PARITY, 0);  // "Even": the server answers odd
    CLineSignalsDlg* w = OpenLineSignals();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(Text(w, "Device server option"), "No network link");
    ConnectTo(server.port);
    const std::string status = Status();

    // The report comes once the stop size has had its 2 s: one box, the failures named.
    ASSERT_TRUE(testutil::WaitFor([&] { return !seam.messages.empty(); }, 6000));
    testutil::Pump(100);
    ASSERT_EQ(seam.messages.size(), 1u);
    EXPECT_EQ(seam.messages[0], "The device server did not apply every serial setting");
    for (const std::string& text : {seam.details[0], Tip()}) {
        EXPECT_NE(text.find("parity"), std::string::npos) << text;
        EXPECT_NE(text.find("odd"), std::string::npos) << text;
        EXPECT_NE(text.find("stop bits"), std::string::npos) << text;
        EXPECT_EQ(text.find("baud rate"), std::string::npos) << text;
    }
    EXPECT_EQ(Status(), status);  // the status text stays; the tooltip tells
    EXPECT_TRUE(dlg->Net().Rfc2217());

    // The device server's side of the Line Signals window.
    EXPECT_EQ(Text(w, "Device server option"), "RFC 2217 agreed");
    EXPECT_EQ(Text(w, "Device server signature"), "Signature: Scripted device server");
    const std::pair<const char*, const char*> shown[] = {
        {"Device server CTS", "on"},
        {"Device server DCD", "on"},
        {"Device server DSR", "off"},
        {"Device server CTS changes", "1"},
        {"Device server DSR changes", "0"},
        {"Device server breaks", "1"},
        {"Device server baud rate", "57600"},
        {"Device server baud rate answer", "applied"},
        {"Device server parity answer", "applied odd instead of even"},
        {"Device server stop bits answer", "no answer within 2 s"},
    };
    for (const auto& [name, text] : shown)
        EXPECT_EQ(Text(w, name), text) << name;
    EXPECT_EQ(Text(w, "Device server CTS last change").size(), 12);  // HH:MM:SS.mmm
    for (QWidget* child : w->findChildren<QWidget*>())
        if (qobject_cast<QAbstractButton*>(child) || qobject_cast<QLabel*>(child)) {
            if (child->objectName().startsWith("Device server")) {
                EXPECT_FALSE(child->accessibleName().isEmpty())
                    << child->objectName().toStdString();
            }
        }

    // The lamps follow the server's next notification.
    server.Push(ScriptedServer::Sub({107, 0x80 | 0x01}));  // CTS dropped
    EXPECT_TRUE(testutil::WaitFor([&] { return Text(w, "Device server CTS") == "off"; }));
    EXPECT_EQ(Text(w, "Device server CTS changes"), "2");
    EXPECT_EQ(Text(w, "Device server DCD changes"), "1");
    EXPECT_EQ(w->findChild<QLabel*>("Device server CTS")->accessibleName(),
              "Device server CTS: off");

    // The remote DTR and break are asked of the server and show its answers.
    w->findChild<QPushButton*>("Device server DTR")->click();
    EXPECT_TRUE(
        testutil::WaitFor([&] { return Text(w, "Device server DTR answer") == "applied"; }));
    EXPECT_TRUE(server.Got({5, 8}));  // SET-CONTROL DTR on
    // The window's break length serves the device server's break while the serial port is closed.
    ASSERT_TRUE(w->findChild<QSpinBox*>("Break length")->isEnabled());
    w->findChild<QSpinBox*>("Break length")->setValue(20);
    w->findChild<QPushButton*>("Device server break")->click();
    EXPECT_TRUE(testutil::WaitFor([&] { return server.Got({5, 6}); }));  // break on, then off
    EXPECT_TRUE(server.Got({5, 5}));
    w->grab().save(QStringLiteral(VASKEL_ARTIFACTS "/line-signals-device-server.png"));

    // A change of the serial lists asks the device server again.
    Select(IDC_COMBO_BAUD, 9);
    EXPECT_TRUE(testutil::WaitFor([&] { return server.Got({1, 0x00, 0x03, 0x84, 0x00}); }));
    EXPECT_TRUE(dlg->NetConnected());
}

// A peer that does not speak the option is told once, by name, and the link stays up.
TEST_F(RemotePortWindow, TellsAPeerWithoutTheOptionOnce) {
    struct Case {
        Script script;
        bool askLists;
        const char* why;
    };
    for (const Case& c :
         {Case{Script::Silent, true, "within 2 s"}, Case{Script::Refuses, true, "refused"},
          Case{Script::Silent, false, "within 2 s"}}) {
        SCOPED_TRACE(c.why + std::string(c.askLists ? " asking the lists" : " asking nothing"));
        seam.messages.clear();
        seam.details.clear();
        ScriptedServer server(c.script);
        UseRfc2217(c.askLists);
        CLineSignalsDlg* w = OpenLineSignals();
        ConnectTo(server.port);
        ASSERT_TRUE(testutil::WaitFor([&] { return !seam.messages.empty(); }, 6000));
        testutil::Pump(200);
        ASSERT_EQ(seam.messages.size(), 1u);
        EXPECT_EQ(seam.messages[0], "The device server is not an RFC 2217 server");
        EXPECT_NE(seam.details[0].find(c.why), std::string::npos) << seam.details[0];
        EXPECT_NE(seam.details[0].find("RFC 2217 (Telnet Com Port Control) mode"),
                  std::string::npos);
        EXPECT_NE(Tip().find("not an RFC 2217 server"), std::string::npos) << Tip();
        EXPECT_EQ(Status().rfind(" Connected : 127.0.0.1:", 0), 0u) << Status();
        EXPECT_TRUE(dlg->NetConnected());
        EXPECT_EQ(Text(w, "Device server option").indexOf("not an RFC 2217 server"), 0)
            << Text(w, "Device server option").toStdString();
        EXPECT_FALSE(w->findChild<QPushButton*>("Device server DTR")->isEnabled());
        Click(IDC_BUTTON_IP_CONNECT);  // disconnect
        EXPECT_TRUE(testutil::WaitFor([&] {
            return Text(w, "Device server option") == "No network link";
        })) << Text(w, "Device server option").toStdString();
    }
}

// With an answer time of 1 s the stop size's missing answer is a failure at 1 s; its answer
// after that clears the failure, the tooltip and the Line Signals window say how late it came,
// and no second box opens.
TEST_F(RemotePortWindow, ALateAnswerClearsItsFailure) {
    ScriptedServer server(Script::Rfc2217);
    UseRfc2217(true, 1);
    Select(IDC_COMBO_PARITY, 0);  // "Even": the server answers odd
    CLineSignalsDlg* w = OpenLineSignals();
    ConnectTo(server.port);
    ASSERT_TRUE(testutil::WaitFor([&] { return !seam.messages.empty(); }, 4000));
    EXPECT_NE(seam.details[0].find("stop bits 1: no answer within 1 s"), std::string::npos)
        << seam.details[0];
    EXPECT_EQ(Text(w, "Device server stop bits answer"), "no answer within 1 s");

    server.Push(ScriptedServer::Sub({104, 1}));  // SET-STOPSIZE answered: 1 stop bit
    ASSERT_TRUE(testutil::WaitFor([&] {
        return Tip().find("answered after") != std::string::npos;
    })) << Tip();
    EXPECT_EQ(Tip().find("no answer"), std::string::npos) << Tip();
    EXPECT_NE(Tip().find("parity: the device server applied odd instead of even"),
              std::string::npos)
        << Tip();
    EXPECT_TRUE(QString::fromStdString(Tip()).contains(
        QRegularExpression(QStringLiteral("\\nstop bits: answered after 1\\.[0-9] s"))))
        << Tip();
    EXPECT_TRUE(Text(w, "Device server stop bits answer")
                    .contains(QRegularExpression(QStringLiteral("^answered after 1\\.[0-9] s$"))))
        << Text(w, "Device server stop bits answer").toStdString();
    testutil::Pump(100);
    EXPECT_EQ(seam.messages.size(), 1u);
}

// A device server that agrees, then floods requests without reading the replies is dropped once
// they fill the gate: the status line says why, the tooltip gives the count.
TEST_F(RemotePortWindow, ADeviceServerThatDoesNotReadIsDropped) {
    UseRfc2217(false);
    int port = 0;
    const int listener = testutil::ListenLoopback(&port);
    ConnectTo(port);
    const int fd = testutil::AcceptWithin(listener, 2000);
    ASSERT_GE(fd, 0);
    const std::string doComPort = {'\xFF', '\xFD', 44};
    testutil::SendAll(fd, doComPort);
    ASSERT_TRUE(testutil::WaitFor([&] {
        return dlg->Net().ComPort() &&
               dlg->Net().ComPort()->Option() == ComPortClient::OptionState::Agreed;
    }));
    {
        FloodingDeviceServer flood(fd);
        testutil::WaitFor([&] { return !dlg->NetConnected(); }, 20000);
    }
    EXPECT_EQ(Status(), " Disconnected : the device server does not read");
    EXPECT_TRUE(QString::fromStdString(Tip()).contains(QRegularExpression(
        QStringLiteral("^Link dropped: the device server does not read: [0-9]+ bytes waiting\\n"))))
        << Tip();
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->text(), "Connect");
    EXPECT_TRUE(seam.messages.empty());
    ::close(fd);
    ::close(listener);
}

}  // namespace
