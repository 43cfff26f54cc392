// The send side of both consoles through the window: the history of each send line, the line
// ending, Send as Hex and Show Sent, with the bytes checked at a real pty and a loopback peer.
#include <QTest>

#include <unistd.h>

#include "support/app/DialogFixture.h"

namespace {

struct Line {
    int edit, button;
    SendLine which;
};
constexpr Line SERIAL{IDC_EDIT_SEND, IDC_BUTTON_SEND, SendLine::Serial};
constexpr Line NETWORK{IDC_EDIT_IP_MESSAGE, IDC_BUTTON_IP_SEND, SendLine::Network};

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
    QLineEdit* Edit(const Line& line) { return Item<QLineEdit>(line.edit); }
    // Opens the context menu; returns the checked entries of its "Line Ending" submenu, then
    // chooses the entry `choose` there (if given).
    QStringList Endings(const QString& choose = {}) {
        QStringList checked;
        QTimer::singleShot(0, [&] {
            auto* menu = dlg->findChild<QMenu*>("LineEndingMenu");
            ASSERT_TRUE(menu && menu->parentWidget()->isVisible());
            EXPECT_EQ(menu->accessibleName(), "Line Ending");
            menu->parentWidget()->close();
            for (QAction* a : menu->actions())
                if (a->isChecked())
                    checked << a->text();
            for (QAction* a : menu->actions())
                if (a->text() == choose)
                    a->trigger();
        });
        QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5),
                             dlg->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(dlg.get(), &ev);
        return checked;
    }
    // The serial console on a pty, the network console a client of a loopback peer.
    void ConnectBoth() {
        LinkPort(1, pty.slavePath);
        Click(IDC_BUTTON_OPEN);
        int port = 0;
        const int listener = fds.emplace_back(testutil::ListenLoopback(&port));
        SetText(IDC_IP_ADDRESS, "127.0.0.1");
        SetText(IDC_EDIT_IP_PORT, std::to_string(port));
        Click(IDC_BUTTON_IP_CONNECT);
        peer = fds.emplace_back(testutil::AcceptWithin(listener, 2000));
        ASSERT_TRUE(dlg->SerialOpen() && peer >= 0);
    }
    std::unique_ptr<CTerminalDlg> Restarted() {
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
    for (const Line& line : {SERIAL, NETWORK}) {
        // No link: the lines are not sent, but they are the lines the user sent.
        for (const char* text : {"one", "two", "two", "a, \"quoted\" three"})
            Send(line, text);
        SetText(line.edit, "half typed");
        const std::pair<Qt::Key, QString> steps[] = {{Qt::Key_Up, "a, \"quoted\" three"},
                                                     {Qt::Key_Up, "two"},
                                                     {Qt::Key_Up, "one"},
                                                     {Qt::Key_Up, "one"},  // the oldest stays
                                                     {Qt::Key_Down, "two"},
                                                     {Qt::Key_Down, "a, \"quoted\" three"},
                                                     {Qt::Key_Down, "half typed"},
                                                     {Qt::Key_Down, "half typed"},
                                                     {Qt::Key_Up, "a, \"quoted\" three"},
                                                     {Qt::Key_Up, "two"}};
        for (const auto& [key, shown] : steps) {
            QTest::keyClick(Edit(line), key);
            EXPECT_EQ(Edit(line)->text(), shown);
        }
        // A recalled line changed and sent (by Enter) is a new line; the one recalled stays.
        Edit(line)->setFocus();
        QTest::keyClicks(Edit(line), "!");
        QTest::keyClick(Edit(line), Qt::Key_Return);
        EXPECT_EQ(Edit(line)->text(), "");
        EXPECT_EQ(dlg->SendSide().History(line.which).Lines(),
                  QStringList({"two!", "a, \"quoted\" three", "two", "one"}));
    }
    // The newest SEND_HISTORY_LIMIT lines are kept, and kept across a restart.
    for (int i = 0; i < SEND_HISTORY_LIMIT + 20; ++i)
        Send(SERIAL, "line " + std::to_string(i));
    const QStringList& kept = dlg->SendSide().History(SendLine::Serial).Lines();
    ASSERT_EQ(kept.size(), SEND_HISTORY_LIMIT);
    EXPECT_EQ(kept.front(), "line 119");
    EXPECT_EQ(kept.back(), "line 20");
    auto restarted = Restarted();
    for (const Line& line : {SERIAL, NETWORK})
        EXPECT_EQ(restarted->SendSide().History(line.which).Lines(),
                  dlg->SendSide().History(line.which).Lines());
}

TEST_F(SendSide, TheLineEndingFollowsTheTypedLineOnBothLinks) {
    ConnectBoth();
    const std::tuple<QString, std::string, QString> endings[] = {
        {"CR", "\r", "None"}, {"LF", "\n", "CR"}, {"CR LF", "\r\n", "LF"}, {"None", "", "CR LF"}};
    for (const auto& [entry, ending, before] : endings) {
        EXPECT_EQ(Endings(entry), QStringList{before});
        // Escapes decoded; the network line loses its trailing blanks, the serial one does not.
        Send(SERIAL, "AT\\x21 ");
        Send(NETWORK, "AT\\x21  ");
        const std::string serial = "AT! " + ending, network = "AT!" + ending;
        EXPECT_EQ(pty.Read(serial.size()), serial) << entry.toStdString();
        EXPECT_EQ(testutil::RecvSome(peer, network.size()), network) << entry.toStdString();
    }
    Endings("CR LF");
    EXPECT_EQ(Restarted()->SendSide().Ending(), LineEnding::CRLF);
}

TEST_F(SendSide, SendAsHexSendsPairsAndRefusesAnythingElse) {
    ConnectBoth();
    FromMenu("Send as Hex");
    Endings("CR");
    Send(SERIAL, "01 03 00 0a");
    Send(NETWORK, "0103000A  ");
    EXPECT_EQ(pty.Read(5), std::string("\x01\x03\x00\x0A\r", 5));
    EXPECT_EQ(testutil::RecvSome(peer, 5), std::string("\x01\x03\x00\x0A\r", 5));
    const std::pair<std::string, std::string> refused[] = {
        {"0G", " Send as Hex : \"0G\" is not a hex pair (position 2)"},
        {"01 0 02", " Send as Hex : \"0\" is half a hex pair (position 4)"},
        {"41 x", " Send as Hex : \"x\" is not a hex pair (position 4)"}};
    for (const Line& line : {SERIAL, NETWORK}) {
        for (const auto& [text, status] : refused) {
            Send(line, text);
            EXPECT_EQ(Status(), status);
            EXPECT_EQ(Edit(line)->text().toStdString(), text);  // kept to be put right
        }
        Send(line, "7E");
    }
    // Nothing of the refused lines went out, nor into the history.
    EXPECT_EQ(pty.Read(3, 300), "\x7E\r");
    EXPECT_EQ(testutil::RecvSome(peer, 3, 300), "\x7E\r");
    EXPECT_EQ(dlg->SendSide().History(SendLine::Serial).Lines(),
              QStringList({"7E", "01 03 00 0a"}));
    EXPECT_TRUE(Restarted()->SendSide().SendAsHex());
}

TEST_F(SendSide, ShowSentMarksTheSentLinesWithoutTouchingTheHistory) {
    ConnectBoth();
    FromMenu("Show Sent");
    Endings("CR LF");
    pty.Write("OK\r\n");
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->SerialRing().GetCount() == 4; }));
    Send(SERIAL, "AT");
    EXPECT_EQ(pty.Read(4), "AT\r\n");
    pty.Write("READY");
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->SerialRing().GetCount() == 9; }));
    const QString views[] = {
        "OK\n[sent] AT\\r\\n\nREADY",
        // The row "READY" starts in is split at the sent line; its bytes keep their columns.
        "0000 4F4B0D0A\nsent 41540D0A\n0004          52454144 59", "OK\n[sent] AT\\r\\n\nREADY"};
    for (const QString& shown : views) {
        EXPECT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == shown; }))
            << Console(IDC_REDIT_SERIAL_DEBUG).toStdString();
        Click(IDC_CHECK_HEXVIEW);
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
    EXPECT_TRUE(
        testutil::WaitFor([&] { return Console(IDC_REDIT_NET_DEBUG) == "[sent] hello\\r\\n\n"; }));
    EXPECT_EQ(dlg->NetRing().GetCount(), 0);
}

}  // namespace
