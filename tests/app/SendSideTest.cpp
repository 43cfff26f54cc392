// The send side of both consoles through the window: the history of each send line, the line
// ending, Send as Hex and Show Sent, with the bytes checked at a real pty and a loopback peer.
#include <QTest>

#include <sys/socket.h>
#include <unistd.h>

#include "support/app/DialogFixture.h"

namespace {

struct Line {
    int edit;
    int button;
};
constexpr Line SERIAL{IDC_EDIT_SEND, IDC_BUTTON_SEND};
constexpr Line NETWORK{IDC_EDIT_IP_MESSAGE, IDC_BUTTON_IP_SEND};

class SendSide : public DialogFixture {
protected:
    void TearDown() override {
        for (int fd : fds)
            ::close(fd);
        DialogFixture::TearDown();
    }
    void Send(const Line& line, const std::string& text) {
        SetText(line.edit, text);
        Click(line.button);
    }
    QString Typed(const Line& line) { return Item<QLineEdit>(line.edit)->text(); }
    void Key(const Line& line, Qt::Key key) { QTest::keyClick(Item<QLineEdit>(line.edit), key); }
    // Opens the context menu and hands its "Line Ending" submenu to `use` while it is open.
    void WithEndings(const std::function<void(QMenu&)>& use) {
        QTimer::singleShot(0, [use] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* menu = qobject_cast<QMenu*>(w);
                    menu && menu->objectName() == "SystemMenu" && menu->isVisible()) {
                    for (QAction* a : menu->actions())
                        if (a->text() == "Line Ending" && a->menu())
                            use(*a->menu());
                    menu->close();
                }
        });
        QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5),
                             dlg->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(dlg.get(), &ev);
    }
    void ChooseEnding(const QString& text) {
        WithEndings([text](QMenu& endings) {
            for (QAction* a : endings.actions())
                if (a->text() == text)
                    a->trigger();
        });
    }
    QStringList CheckedEndings() {
        QStringList checked;
        WithEndings([&checked](QMenu& endings) {
            EXPECT_EQ(endings.accessibleName(), "Line Ending");
            for (QAction* a : endings.actions())
                if (a->isChecked())
                    checked << a->text();
        });
        return checked;
    }
    // The serial console on a pty, the network console a client of a loopback peer; the device
    // ends of both.
    void ConnectBoth() {
        LinkPort(1, pty.slavePath);
        Click(IDC_BUTTON_OPEN);
        ASSERT_TRUE(dlg->SerialOpen());
        int port = 0;
        const int listener = fds.emplace_back(testutil::ListenLoopback(&port));
        SetText(IDC_IP_ADDRESS, "127.0.0.1");
        SetText(IDC_EDIT_IP_PORT, std::to_string(port));
        Click(IDC_BUTTON_IP_CONNECT);
        peer = fds.emplace_back(testutil::AcceptWithin(listener, 2000));
        ASSERT_GE(peer, 0);
    }
    std::unique_ptr<CTerminalDlg> SecondDialog() {
        auto second = std::make_unique<CTerminalDlg>();
        second->Settings().SetFile(dlg->Settings().File());
        second->Create();
        return second;
    }

    testutil::PtyPair pty;
    int peer = -1;
    std::vector<int> fds;
};

TEST_F(SendSide, EachSendLineHasItsOwnHistoryKeptAcrossRestarts) {
    const struct {
        Line line;
        SendLine which;
    } lines[] = {{SERIAL, SendLine::Serial}, {NETWORK, SendLine::Network}};
    for (const auto& [line, which] : lines) {
        // No link: the lines are not sent, but they are the lines the user sent.
        for (const char* text : {"one", "two", "two", "a, \"quoted\" three"})
            Send(line, text);
        SetText(line.edit, "half typed");
        const struct {
            Qt::Key key;
            QString shown;
        } steps[] = {
            {Qt::Key_Up, "a, \"quoted\" three"},
            {Qt::Key_Up, "two"},
            {Qt::Key_Up, "one"},
            {Qt::Key_Up, "one"},  // the oldest stays
            {Qt::Key_Down, "two"},
            {Qt::Key_Down, "a, \"quoted\" three"},
            {Qt::Key_Down, "half typed"},
            {Qt::Key_Down, "half typed"},
        };
        for (const auto& step : steps) {
            Key(line, step.key);
            EXPECT_EQ(Typed(line), step.shown);
        }
        // A recalled line changed and sent (by Enter) is a new line; the one recalled stays.
        Key(line, Qt::Key_Up);
        Key(line, Qt::Key_Up);
        Item<QLineEdit>(line.edit)->setFocus();
        QTest::keyClicks(Item<QLineEdit>(line.edit), "!");
        QTest::keyClick(Item<QLineEdit>(line.edit), Qt::Key_Return);
        EXPECT_EQ(Typed(line), "");
        EXPECT_EQ(dlg->SendSide().History(which).Lines(),
                  QStringList({"two!", "a, \"quoted\" three", "two", "one"}));
    }
    auto second = SecondDialog();
    EXPECT_EQ(second->SendSide().History(SendLine::Serial).Lines(),
              dlg->SendSide().History(SendLine::Serial).Lines());
    EXPECT_EQ(second->SendSide().History(SendLine::Network).Lines(),
              dlg->SendSide().History(SendLine::Network).Lines());

    // The newest SEND_HISTORY_LIMIT lines are kept.
    for (int i = 0; i < SEND_HISTORY_LIMIT + 20; ++i)
        Send(SERIAL, "line " + std::to_string(i));
    const QStringList& kept = dlg->SendSide().History(SendLine::Serial).Lines();
    ASSERT_EQ(kept.size(), SEND_HISTORY_LIMIT);
    EXPECT_EQ(kept.front(), "line 119");
    EXPECT_EQ(kept.back(), "line 20");
    EXPECT_EQ(SecondDialog()->SendSide().History(SendLine::Serial).Lines(), kept);
}

TEST_F(SendSide, TheLineEndingFollowsTheTypedLineOnBothLinks) {
    ConnectBoth();
    EXPECT_EQ(CheckedEndings(), QStringList{"None"});
    const struct {
        QString entry;
        std::string ending;
    } endings[] = {{"CR", "\r"}, {"LF", "\n"}, {"CR LF", "\r\n"}, {"None", ""}};
    for (const auto& [entry, ending] : endings) {
        ChooseEnding(entry);
        EXPECT_EQ(CheckedEndings(), QStringList{entry});
        // Escapes decoded; the network line loses its trailing blanks, the serial one does not.
        Send(SERIAL, "AT\\x21 ");
        Send(NETWORK, "AT\\x21  ");
        const std::string serial = "AT! " + ending, network = "AT!" + ending;
        EXPECT_EQ(pty.Read(serial.size()), serial) << entry.toStdString();
        EXPECT_EQ(testutil::RecvSome(peer, network.size()), network) << entry.toStdString();
    }
    ChooseEnding("CR LF");
    EXPECT_EQ(SecondDialog()->SendSide().Ending(), LineEnding::CRLF);
}

TEST_F(SendSide, SendAsHexSendsPairsAndRefusesAnythingElse) {
    ConnectBoth();
    FromMenu("Send as Hex");
    ChooseEnding("CR");
    Send(SERIAL, "01 03 00 0a");
    Send(NETWORK, "0103000A  ");
    EXPECT_EQ(pty.Read(5), std::string("\x01\x03\x00\x0A\r", 5));
    EXPECT_EQ(testutil::RecvSome(peer, 5), std::string("\x01\x03\x00\x0A\r", 5));

    const struct {
        std::string line;
        std::string status;
    } refused[] = {
        {"0G", " Send as Hex : \"0G\" is not a hex pair (position 2)"},
        {"01 0 02", " Send as Hex : \"0\" is half a hex pair (position 4)"},
        {"41 x", " Send as Hex : \"x\" is not a hex pair (position 4)"},
    };
    for (const Line& line : {SERIAL, NETWORK}) {
        for (const auto& [text, status] : refused) {
            Send(line, text);
            EXPECT_EQ(Status(), status);
            EXPECT_EQ(Typed(line).toStdString(), text);  // kept to be put right
        }
        Send(line, "7E");
    }
    // Nothing of the refused lines went out: the next bytes are the good line's.
    EXPECT_EQ(pty.Read(3, 300), "\x7E\r");
    EXPECT_EQ(testutil::RecvSome(peer, 3, 300), "\x7E\r");
    EXPECT_EQ(dlg->SendSide().History(SendLine::Serial).Lines(),
              QStringList({"7E", "01 03 00 0a"}));
    EXPECT_TRUE(SecondDialog()->SendSide().SendAsHex());
    EXPECT_TRUE(seam.messages.empty());
}

TEST_F(SendSide, ShowSentMarksTheSentLinesWithoutTouchingTheHistory) {
    ConnectBoth();
    FromMenu("Show Sent");
    ChooseEnding("CR LF");
    pty.Write("OK\r\n");
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->SerialRing().GetCount() == 4; }));
    Send(SERIAL, "AT");
    EXPECT_EQ(pty.Read(4), "AT\r\n");
    pty.Write("READY");
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->SerialRing().GetCount() == 9; }));
    const struct {
        bool hex;
        QString shown;
    } views[] = {
        {false, "OK\n[sent] AT\\r\\n\nREADY"},
        // The row "READY" starts in is split at the sent line; its bytes keep their columns.
        {true, "0000 4F4B0D0A\nsent 41540D0A\n0004          52454144 59"},
    };
    for (const auto& [hex, shown] : views) {
        if (Item<QCheckBox>(IDC_CHECK_HEXVIEW)->isChecked() != hex)
            Click(IDC_CHECK_HEXVIEW);
        EXPECT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == shown; }))
            << Console(IDC_REDIT_SERIAL_DEBUG).toStdString();
    }
    // The history holds the received bytes only.
    unsigned char history[RING_BUFFER_CAPACITY];
    const int n = dlg->SerialRing().Snapshot(history);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(history), static_cast<size_t>(n)), "OK\r\nREADY");

    // Off, the console is the history alone again; a line sent with nothing received shows too.
    Click(IDC_CHECK_HEXVIEW);
    FromMenu("Show Sent");
    EXPECT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == "OK\nREADY"; }));
    FromMenu("Show Sent");
    Send(NETWORK, "hello");
    EXPECT_TRUE(testutil::WaitFor([&] {
        return Console(IDC_REDIT_NET_DEBUG) == "[sent] hello\\r\\n\n";
    })) << Console(IDC_REDIT_NET_DEBUG).toStdString();
    EXPECT_EQ(dlg->NetRing().GetCount(), 0);
}

}  // namespace
