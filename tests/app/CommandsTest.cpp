// The Commands window against real peers: a loopback TCP peer on the network console and a pty
// on the serial console. What goes on the wire, what the window tells, what it keeps.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <thread>

#include "app/CommandRuns.h"
#include "app/CommandsDlg.h"
#include "support/app/DialogFixture.h"

// Commands in a failure's message as the user knows them.
void PrintTo(const SavedCommand& c, std::ostream* os) {
    *os << "{" << c.name << ", " << ScriptLinkName(c.link) << ", " << c.data << ", "
        << (c.checksum ? checksum::NameOf(*c.checksum) : "no checksum") << ", "
        << LineEndingLabel(c.ending) << "}";
}

namespace {

checksum::Choice Sum(const char* name) {
    return *checksum::Find(name);
}

// The peer's side on a thread of its own: `n` bytes, or fewer when `stop` is set.
std::string ReadOnThread(int fd, size_t n, const std::atomic<bool>& stop) {
    std::string got;
    while (got.size() < n && !stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        char buf[64];
        const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
        if (r <= 0)
            break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

class Commands : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        LinkPort(1, pty.slavePath);
        FromMenu(QStringLiteral("Commands..."));
        win = dlg->Commands().Window();
        ASSERT_NE(win, nullptr);
    }
    void TearDown() override {
        if (far >= 0)
            ::close(far);
        if (listener >= 0)
            ::close(listener);
        DialogFixture::TearDown();
    }
    template <class T>
    T* Control(const char* name) {
        return win->findChild<T*>(QString::fromLatin1(name));
    }
    // Adds a command through the editor, as a user types it.
    void AddCommand(const SavedCommand& c) {
        win->OnAdd();
        Control<QLineEdit>("Name")->setText(QString::fromStdString(c.name));
        Control<QComboBox>("Link")->setCurrentIndex(c.link == ScriptLink::Serial ? 0 : 1);
        Control<QLineEdit>("Data")->setText(QString::fromStdString(c.data));
        auto* sum = Control<QComboBox>("Checksum");
        sum->setCurrentIndex(
            c.checksum ? sum->findText(QString::fromStdString(checksum::NameOf(*c.checksum))) : 0);
        Control<QComboBox>("Line ending")->setCurrentIndex(static_cast<int>(c.ending));
    }
    void OpenSerial() {
        Click(IDC_BUTTON_OPEN);
        ASSERT_TRUE(dlg->SerialOpen());
    }
    void ConnectNet() {
        int port = 0;
        listener = testutil::ListenLoopback(&port);
        SetText(IDC_IP_ADDRESS, "127.0.0.1");
        SetText(IDC_EDIT_IP_PORT, std::to_string(port));
        Click(IDC_BUTTON_IP_CONNECT);
        far = testutil::AcceptWithin(listener, 2000);
        ASSERT_GE(far, 0);
    }
    bool Finished() {
        return testutil::WaitFor([&] { return !win->Runs().Running(); }, 10000);
    }
    std::string FarRead(ScriptLink link, size_t n) {
        return link == ScriptLink::Serial ? pty.Read(n) : testutil::RecvSome(far, n);
    }

    testutil::PtyPair pty;
    int listener = -1;
    int far = -1;
    CCommandsDlg* win = nullptr;
};

const std::vector<SavedCommand> kSample = {
    {"Read register", ScriptLink::Serial, "\\x01\\x03\\x00\\x00\\x00\\x01", Sum("crc16-modbus"),
     LineEnding::None},
    {"Framed", ScriptLink::Network, "\\x01\\x03\\x00\\x00\\x00\\x01", Sum("crc16-modbus-be"),
     LineEnding::CRLF},
    {"AT", ScriptLink::Network, "AT+GMR", std::nullopt, LineEnding::CR},
    {"Binary \"quoted\"", ScriptLink::Serial, "a\\x5Cb\\x00\\xFF\\x0D", Sum("xor"), LineEnding::LF},
};

TEST_F(Commands, OneWindowEveryControlNamed) {
    FromMenu(QStringLiteral("Commands..."));
    EXPECT_EQ(dlg->Commands().Window(), win);
    EXPECT_TRUE(win->isVisible());
    EXPECT_FALSE(win->isModal());
    for (QWidget* w : win->findChildren<QWidget*>())
        if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
            qobject_cast<QComboBox*>(w) || qobject_cast<QListWidget*>(w) ||
            qobject_cast<QPlainTextEdit*>(w)) {
            EXPECT_FALSE(w->accessibleName().isEmpty()) << w->metaObject()->className();
        }
}

TEST_F(Commands, SendPutsPayloadChecksumThenEndingOnTheWire) {
    OpenSerial();
    ConnectNet();
    const std::string modbus("\x01\x03\x00\x00\x00\x01", 6);
    const struct {
        size_t entry;
        std::string wire;
    } cases[] = {
        {0, modbus + "\x84\x0A"},
        {1, modbus + "\x0A\x84\r\n"},
        {2, "AT+GMR\r"},
        {3, std::string("a\\b\x00\xFF\r\xAD\n", 8)},
    };
    for (const SavedCommand& c : kSample)
        AddCommand(c);
    for (const auto& t : cases) {
        win->findChild<QListWidget*>()->setCurrentRow(static_cast<int>(t.entry));
        Control<QPushButton>("Send")->click();
        EXPECT_EQ(FarRead(kSample[t.entry].link, t.wire.size()), t.wire) << t.entry;
        EXPECT_TRUE(win->StatusText().startsWith("Sent ")) << win->StatusText().toStdString();
    }
}

TEST_F(Commands, RepeatCountsAndShowsItsFigures) {
    ConnectNet();
    AddCommand(kSample[2]);
    Control<QLineEdit>("Every (ms)")->setText("5");
    Control<QLineEdit>("Count")->setText("40");
    Control<QPushButton>("Repeat")->click();
    ASSERT_TRUE(win->Runs().Running()) << win->ResultText().toStdString();
    ASSERT_TRUE(Finished());
    EXPECT_EQ(testutil::RecvSome(far, 40 * 7).size(), 40u * 7);
    const QRegularExpression figures(
        R"(^40 sent, mean period ([0-9]+\.[0-9]{3,6}) ms, p99 jitter ([0-9]+\.[0-9]{3,6}) ms$)");
    const auto m = figures.match(win->ResultText());
    ASSERT_TRUE(m.hasMatch()) << win->ResultText().toStdString();
    EXPECT_GT(m.captured(1).toDouble(), 0.0);  // never rounded to zero (speed is bench/'s)
}

TEST_F(Commands, RepeatRefusesPeriodsAndCountsOutOfRange) {
    AddCommand(kSample[0]);
    const struct {
        const char* every;
        const char* count;
        bool periodRefused;
    } cases[] = {{"0", "5", true},   {"3600001", "5", true}, {"1.5", "5", true},
                 {"abc", "5", true}, {"10", "0", false},     {"10", "1000000001", false},
                 {"10", "-3", false}};
    for (const auto& t : cases) {
        seam.messages.clear();
        Control<QLineEdit>("Every (ms)")->setText(t.every);
        Control<QLineEdit>("Count")->setText(t.count);
        Control<QPushButton>("Repeat")->click();
        ASSERT_EQ(seam.messages.size(), 1u) << t.every << " " << t.count;
        EXPECT_EQ(seam.messages[0],
                  t.periodRefused ? "The repeat period must be a whole number of milliseconds "
                                    "from 1 to 3600000 (one hour)."
                                  : "The repeat count must be a whole number from 1 to "
                                    "1000000000, or check Until stopped.");
        EXPECT_FALSE(win->Runs().Running());
    }
}

TEST_F(Commands, RepeatStopsAndSaysSoWhenItsLinkIsDown) {
    const struct {
        ScriptLink link;
        bool open;  // the link is up when the repeat starts, and closed while it runs
        const char* says;
    } cases[] = {
        {ScriptLink::Serial, false, "Repeat not started: the serial port is not open."},
        {ScriptLink::Network, false, "Repeat not started: the network link is not connected."},
        {ScriptLink::Serial, true, "the serial port closed."},
        {ScriptLink::Network, true, "the network link closed."},
    };
    for (const auto& t : cases) {
        SavedCommand c{"Poll", t.link, "P", std::nullopt, LineEnding::None};
        AddCommand(c);
        if (t.open)
            t.link == ScriptLink::Serial ? OpenSerial() : ConnectNet();
        Control<QLineEdit>("Every (ms)")->setText("2");
        Control<QCheckBox>("Until stopped")->setChecked(true);
        Control<QPushButton>("Repeat")->click();
        if (t.open) {
            ASSERT_TRUE(testutil::WaitFor([&] { return FarRead(t.link, 5).size() == 5; }));
            Click(t.link == ScriptLink::Serial ? IDC_BUTTON_OPEN : IDC_BUTTON_IP_CONNECT);
        }
        ASSERT_TRUE(Finished());
        const QString text = win->ResultText();
        EXPECT_TRUE(text.contains(t.says)) << text.toStdString();
        if (t.open) {
            EXPECT_TRUE(QRegularExpression(R"(^Repeat stopped after [1-9][0-9]* sends?: )")
                            .match(text)
                            .hasMatch())
                << text.toStdString();
        }
    }
}

TEST_F(Commands, ClosingTheWindowOrTheDialogStopsTheRepeat) {
    ConnectNet();
    AddCommand({"Poll", ScriptLink::Network, "P", std::nullopt, LineEnding::None});
    Control<QLineEdit>("Every (ms)")->setText("2");
    Control<QCheckBox>("Until stopped")->setChecked(true);
    for (bool dialog : {false, true}) {
        Control<QPushButton>("Repeat")->click();
        ASSERT_TRUE(testutil::WaitFor([&] { return testutil::RecvSome(far, 3, 50).size() > 0; }));
        dialog ? dlg->OnCancel() : static_cast<void>(win->close());
        EXPECT_FALSE(win->Runs().Running()) << dialog;
        EXPECT_TRUE(win->ResultText().startsWith("Stopped: ")) << win->ResultText().toStdString();
    }
}

TEST_F(Commands, ExportThenImportKeepsTheList) {
    for (const SavedCommand& c : kSample)
        AddCommand(c);
    ASSERT_EQ(win->Commands(), kSample);
    const std::string file = settings.File("commands.vsk");
    seam.nextSaveFile = ui::FileChoice{file, "commands.vsk"};
    win->OnExport();
    while (!win->Commands().empty())
        win->OnRemove();
    seam.nextFile = ui::FileChoice{file, "commands.vsk"};
    win->OnImport();
    ASSERT_TRUE(seam.messages.empty()) << seam.messages[0];
    EXPECT_EQ(win->Commands(), kSample) << testutil::ReadFile(file);

    // A file that does not parse is refused with the parser's place and reason.
    testutil::WriteFile(file, "# fine\nsend serial \"A\"\nsend modem \"B\"\n");
    win->OnImport();
    ASSERT_EQ(seam.messages.size(), 1u);
    EXPECT_TRUE(seam.messages[0].starts_with(file + ":3: ")) << seam.messages[0];
    EXPECT_EQ(win->Commands(), kSample);
}

TEST_F(Commands, TheListOutlivesTheDialog) {
    for (const SavedCommand& c : kSample)
        AddCommand(c);
    win->findChild<QListWidget*>()->setCurrentRow(3);
    win->OnMove(-1);
    std::vector<SavedCommand> expected = kSample;
    std::swap(expected[2], expected[3]);
    dlg.reset();
    dlg = std::make_unique<CTerminalDlg>();
    dlg->Settings().SetFile(settings.File("Vaskel.conf"));
    dlg->Create();
    FromMenu(QStringLiteral("Commands..."));
    ASSERT_NE(dlg->Commands().Window(), nullptr);
    EXPECT_EQ(dlg->Commands().Window()->Commands(), expected);
}

TEST_F(Commands, RunScriptReportsItsOutcomeAndFigures) {
    const std::string script = settings.File("ping.vsk");
    testutil::WriteFile(script,
                        "repeat 3 every 20ms\n"
                        "  send network \"PING\\r\\n\"\n"
                        "  expect network \"PONG\\r\\n\" 500ms\n"
                        "end\n");
    struct TrafficSink : platform::ITrafficObserver {
        void Traffic(platform::TrafficKind, const platform::Stamp&, const unsigned char*,
                     size_t) override {}
    } other;
    const struct {
        bool answer;
        bool otherMeasure;  // another measurement watches the received traffic
        const char* first;  // the outcome's first line begins so
    } cases[] = {
        {true, false, "ping.vsk passed: 3 sends"},
        {false, false, "ping.vsk failed: an expectation was not met"},
        {true, true, "The script was not run: another measurement is watching"},
    };
    ConnectNet();
    for (const auto& t : cases) {
        std::atomic<bool> done{false};
        std::thread peer([&] {
            for (int i = 0; i < 3 && t.answer && !done; ++i)
                if (ReadOnThread(far, 6, done) == "PING\r\n")
                    testutil::SendAll(far, "PONG\r\n");
        });
        if (t.otherMeasure)
            dlg->Engine().traffic.SetMeasure(&other);
        seam.nextFile = ui::FileChoice{script, "ping.vsk"};
        Control<QPushButton>("Run Script")->click();
        EXPECT_TRUE(Finished());
        done = true;
        peer.join();
        dlg->Engine().traffic.SetMeasure(nullptr);
        const QString text = win->ResultText();
        EXPECT_TRUE(text.startsWith(t.first)) << text.toStdString();
        if (!t.otherMeasure) {
            EXPECT_TRUE(QRegularExpression(
                            R"(line 3, expect on network "PONG\\r\\n": [0-3] met.*(p50 [0-9.]+ )"
                            R"(ms, p99 [0-9.]+ ms, max [0-9.]+ ms)?)")
                            .match(text)
                            .hasMatch())
                << text.toStdString();
        }
        testutil::RecvSome(far, 64, 100);  // what the failing run sent
    }
}

}  // namespace
