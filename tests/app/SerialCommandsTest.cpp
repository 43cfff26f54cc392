// The serial console's commands on a real pty: the program opens the pty as "COM1".
#include <QFontMetrics>
#include <QPushButton>
#include <QScrollBar>

#include <unistd.h>
#include "display/ConsoleFormat.h"

#include "support/app/DialogFixture.h"

namespace {

bool FixedPitch(const QFont& font) {
    QFontMetrics fm(font);
    return fm.horizontalAdvance(QLatin1Char('i')) == fm.horizontalAdvance(QLatin1Char('W'));
}

class SerialCommands : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        LinkPort(1, pty.slavePath);
    }
    testutil::PtyPair pty;
    const int lists[6] = {IDC_COMBO_PORT, IDC_COMBO_BAUD,   IDC_COMBO_DATA,
                          IDC_COMBO_STOP, IDC_COMBO_PARITY, IDC_COMBO_FLOW};
};

TEST_F(SerialCommands, OpenAndCloseWithTheDefaults) {
    Click(IDC_BUTTON_OPEN);
    EXPECT_TRUE(seam.messages.empty());
    EXPECT_EQ(Status(), " Connected : COM1,57600,8bit,1bit,none,none");
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_OPEN)->text(), "Close");
    EXPECT_EQ(dlg->SerialOpen(), 1);
    for (int id : lists)
        EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_FALSE(Enabled(IDC_BTN_FILE_SEND_SERIAL));  // the network is not connected

    pty.Write("kept");
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == "kept"; }));
    Click(IDC_BUTTON_OPEN);
    EXPECT_EQ(Status(), " Disconnected : COM1");
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_OPEN)->text(), "Open");
    EXPECT_EQ(dlg->SerialOpen(), 0);
    for (int id : lists)
        EXPECT_TRUE(Enabled(id)) << id;
    // Closing keeps the console and its history.
    EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG), "kept");
    EXPECT_EQ(dlg->SerialRing().GetCount(), 4);
}

// The device behind COM1 goes away: the window says so and is back as after Close, no box; a
// device back at COM1 opens again.
TEST_F(SerialCommands, ALostPortIsShownAndTheControlsReturnToClosed) {
    Click(IDC_BUTTON_OPEN);
    ASSERT_EQ(dlg->SerialOpen(), 1);
    pty.CloseMaster();
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->SerialOpen() == 0; }, 3000));
    EXPECT_EQ(Status(), " Port lost : COM1 (device hung up)");
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_OPEN)->text(), "Open");
    for (int id : lists)
        EXPECT_TRUE(Enabled(id)) << id;
    EXPECT_FALSE(Enabled(IDC_BTN_FILE_SEND_SERIAL));
    EXPECT_FALSE(Enabled(IDC_BTN_FILE_SEND_NETWORK));
    EXPECT_TRUE(seam.messages.empty());

    testutil::PtyPair back;
    LinkPort(1, back.slavePath);
    Click(IDC_BUTTON_OPEN);
    EXPECT_EQ(Status(), " Connected : COM1,57600,8bit,1bit,none,none");
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_OPEN)->text(), "Close");
    Click(IDC_BUTTON_OPEN);
}

TEST_F(SerialCommands, StatusNamesTheChosenSettings) {
    LinkPort(2, pty.slavePath);
    Select(IDC_COMBO_PORT, 1);
    Select(IDC_COMBO_BAUD, 2);
    Select(IDC_COMBO_DATA, 3);
    Select(IDC_COMBO_PARITY, 0);
    Select(IDC_COMBO_STOP, 1);
    Select(IDC_COMBO_FLOW, 1);
    Click(IDC_BUTTON_OPEN);
    EXPECT_EQ(Status(), " Connected : COM2,9600,8bit,2bit,even,software");
    Click(IDC_BUTTON_OPEN);
    EXPECT_EQ(Status(), " Disconnected : COM2");

    Select(IDC_COMBO_FLOW, 2);
    Select(IDC_COMBO_PARITY, 1);
    Select(IDC_COMBO_DATA, 0);
    Select(IDC_COMBO_BAUD, 5);
    Click(IDC_BUTTON_OPEN);
    EXPECT_EQ(Status(), " Connected : COM2,28800,5bit,2bit,odd,hardware");
    Click(IDC_BUTTON_OPEN);
}

TEST_F(SerialCommands, FailedOpenTellsTheUserAndChangesNothingElse) {
    LinkPort(3, "/dev/null");           // not a serial device: settings refused
    LinkPort(4, dir.path + "nothing");  // missing device
    dlg->SetStatusText(" before");
    dlg->SerialRing().Put('z');
    dlg->m_strSerialConsole = "old";
    dlg->UpdateData(false);
    for (int port : {2, 3}) {
        Select(IDC_COMBO_PORT, port);
        Click(IDC_BUTTON_OPEN);
        ASSERT_FALSE(seam.messages.empty());
        EXPECT_EQ(seam.messages.back(), "Can't open PORT");
        EXPECT_FALSE(seam.details.back().empty());  // the system's reason
        EXPECT_EQ(Status(), " before");
        EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_OPEN)->text(), "Open");
        EXPECT_EQ(dlg->SerialOpen(), 0);
        for (int id : lists)
            EXPECT_TRUE(Enabled(id));
        EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG), "");  // emptied all the same
        EXPECT_EQ(dlg->SerialRing().GetCount(), 1);      // but the history is not
    }
    // A port that another program holds is busy.
    CSerialPort holder;
    ASSERT_EQ(holder.Open(pty.slavePath, LineSettings{9600}), 1);
    Select(IDC_COMBO_PORT, 0);
    Click(IDC_BUTTON_OPEN);
    EXPECT_EQ(dlg->SerialOpen(), 0);
    EXPECT_EQ(seam.messages.back(), "Can't open PORT");
    holder.Close();
    Click(IDC_BUTTON_OPEN);
    EXPECT_EQ(dlg->SerialOpen(), 1);
}

TEST_F(SerialCommands, FileSendFollowsBothLinks) {
    int port = 0;
    const int listener = testutil::ListenLoopback(&port);
    SetText(IDC_IP_ADDRESS, "127.0.0.1");
    SetText(IDC_EDIT_IP_PORT, std::to_string(port));
    Click(IDC_BUTTON_IP_CONNECT);
    ASSERT_TRUE(dlg->NetConnected());
    Click(IDC_BUTTON_OPEN);
    EXPECT_TRUE(Enabled(IDC_BTN_FILE_SEND_SERIAL));
    EXPECT_TRUE(Enabled(IDC_BTN_FILE_SEND_NETWORK));
    Click(IDC_BUTTON_OPEN);
    EXPECT_FALSE(Enabled(IDC_BTN_FILE_SEND_SERIAL));
    EXPECT_FALSE(Enabled(IDC_BTN_FILE_SEND_NETWORK));
    Click(IDC_BUTTON_IP_CONNECT);
    ::close(listener);
}

// The device does not read (the pty's master takes nothing): the Send that finds the port full
// says so in the status line after its bound, instead of freezing the window.
TEST_F(SerialCommands, ASendThePortDoesNotTakeSaysSo) {
    Click(IDC_BUTTON_OPEN);
    const std::string line(1000, 'x');
    for (int i = 0; i < 200 && Status() != " Send incomplete : the port does not take the bytes";
         ++i) {
        SetText(IDC_EDIT_SEND, line);
        Click(IDC_BUTTON_SEND);
    }
    EXPECT_EQ(Status(), " Send incomplete : the port does not take the bytes");
    EXPECT_EQ(dlg->SerialOpen(), 1);
    Click(IDC_BUTTON_OPEN);
}

TEST_F(SerialCommands, SendWritesExactlyTheEncodedBytes) {
    Click(IDC_BUTTON_OPEN);
    SetText(IDC_EDIT_SEND, "AT\\x0D\\x0a ");
    Click(IDC_BUTTON_SEND);
    EXPECT_EQ(pty.Read(5, 2000), std::string("AT\r\n "));
    EXPECT_EQ(Item<QLineEdit>(IDC_EDIT_SEND)->text(), "");
    EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG), "");  // nothing is echoed

    SetText(IDC_EDIT_SEND, "");
    Click(IDC_BUTTON_SEND);
    SetText(IDC_EDIT_SEND, "\xED\x95\x9C");  // beyond ASCII: its UTF-8 bytes
    Click(IDC_BUTTON_SEND);
    EXPECT_EQ(pty.Read(3, 2000), std::string("\xED\x95\x9C"));

    Click(IDC_BUTTON_OPEN);  // closed: the line is discarded
    SetText(IDC_EDIT_SEND, "lost");
    Click(IDC_BUTTON_SEND);
    EXPECT_EQ(Item<QLineEdit>(IDC_EDIT_SEND)->text(), "");
}

TEST_F(SerialCommands, ReceivedBytesShowAsTextOrHex) {
    Click(IDC_BUTTON_OPEN);
    auto* console = Item<QPlainTextEdit>(IDC_REDIT_SERIAL_DEBUG);
    std::string bytes;
    for (int c = 0x41; c <= 0x54; ++c)
        bytes += static_cast<char>(c);
    pty.Write(bytes);
    ASSERT_TRUE(
        testutil::WaitFor([&] { return console->toPlainText() == "ABCDEFGHIJKLMNOPQRST"; }));
    EXPECT_FALSE(FixedPitch(console->font()));

    Click(IDC_CHECK_HEXVIEW);  // re-renders the same history at once
    EXPECT_EQ(console->toPlainText(), "0000 41424344 45464748 494A4B4C 4D4E4F50\n0010 51525354");
    EXPECT_TRUE(FixedPitch(console->font()));

    pty.Write(std::string("\0", 1));
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->SerialRing().GetCount() == 21; }));
    testutil::Pump(50);
    EXPECT_TRUE(console->toPlainText().endsWith("51525354 00"));
    Click(IDC_CHECK_HEXVIEW);
    EXPECT_EQ(console->toPlainText(), "ABCDEFGHIJKLMNOPQRST");  // 0x00 vanishes in text
}

TEST_F(SerialCommands, BurstKeepsTheNewest2047InOrderAndScrollsToTheEnd) {
    Click(IDC_BUTTON_OPEN);
    Click(IDC_CHECK_HEXVIEW);
    std::string burst;
    for (int i = 0; i < 5000; ++i)
        burst += static_cast<char>('a' + i % 26);
    pty.Write(burst);
    ASSERT_TRUE(testutil::WaitFor([&] {
        return dlg->SerialRing().GetCount() == 2047 &&
               Console(IDC_REDIT_SERIAL_DEBUG).size() == 5372 - 127;
    }));
    unsigned char history[RING_BUFFER_CAPACITY];
    ASSERT_EQ(dlg->SerialRing().Snapshot(history), 2047);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(history), 2047), burst.substr(5000 - 2047));
    testutil::Pump(50);
    auto* bar = Item<QPlainTextEdit>(IDC_REDIT_SERIAL_DEBUG)->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_GT(bar->maximum(), 0);
    // A Hex View toggle replaces the whole text: it shows from its top, not scrolled to its end.
    for (int toggle = 0; toggle < 2; ++toggle) {
        bar->setValue(bar->maximum());
        Click(IDC_CHECK_HEXVIEW);
        EXPECT_EQ(bar->value(), 0) << toggle;
    }
}

TEST_F(SerialCommands, ClearAndOpenEmptyTheConsole) {
    Click(IDC_BUTTON_OPEN);
    pty.Write("abc");
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == "abc"; }));
    Click(IDC_BUTTON_CLEAR);
    EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG), "");
    EXPECT_EQ(dlg->SerialRing().GetCount(), 0);
    Click(IDC_CHECK_HEXVIEW);  // an empty history leaves the console alone
    EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG), "");
    pty.Write("d");
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == "0000 64"; }));

    Click(IDC_BUTTON_OPEN);  // close: kept
    EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG), "0000 64");
    Click(IDC_BUTTON_OPEN);  // open: emptied, history too
    EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG), "");
    EXPECT_EQ(dlg->SerialRing().GetCount(), 0);
}

TEST_F(SerialCommands, TeardownClosesThePort) {
    Click(IDC_BUTTON_OPEN);
    dlg->DestroyWindow();
    EXPECT_EQ(dlg->SerialOpen(), 0);
    EXPECT_EQ(Status(), " Disconnected : COM1");
    // The device is free again for anyone else.
    CSerialPort port;
    EXPECT_EQ(port.Open(pty.slavePath, LineSettings{9600}), 1);
    port.Close();
}

}  // namespace

namespace {

// A pasted line longer than the limit is cut at whole characters: no half emoji goes out as '?'.
TEST_F(SerialCommands, ALongPastedLineIsCutAtWholeCharacters) {
    Click(IDC_BUTTON_OPEN);
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");  // U+1F600: two UTF-16 units
    QString pasted = QStringLiteral("a");
    for (int i = 0; i < 600; ++i)
        pasted += emoji;
    auto* line = Item<QLineEdit>(IDC_EDIT_SEND);
    line->insert(pasted);  // a paste: cut at the 1024-unit limit
    ASSERT_FALSE(line->text().isEmpty());
    EXPECT_FALSE(line->text().back().isHighSurrogate());
    EXPECT_EQ(line->text().size(), 1023);
    Click(IDC_BUTTON_SEND);
    std::string expected = "a";
    for (int i = 0; i < 511; ++i)
        expected += "\xF0\x9F\x98\x80";
    EXPECT_EQ(pty.Read(expected.size()), expected);
    EXPECT_EQ(pty.Read(1, 200), "");  // nothing more: no '?'
}

}  // namespace
