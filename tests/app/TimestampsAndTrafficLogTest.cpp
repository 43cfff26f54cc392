// Timestamps in both consoles and the traffic log, through the dialog's context menu: the
// serial port on a pty, the network console on a loopback peer.
#include <QContextMenuEvent>
#include <QMenu>
#include <QRegularExpression>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <ctime>

#include "display/ConsoleFormat.h"
#include "support/app/DialogFixture.h"

namespace {

// 2023-11-14 22:13:20.123456789 UTC.
constexpr int64_t BASE_WALL_NS = 1'700'000'000'123'456'789;
constexpr int64_t MS = 1'000'000;

class TimestampsAndTrafficLog : public DialogFixture {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        savedTz = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
        DialogFixture::SetUp();
    }
    void TearDown() override {
        for (int fd : fds)
            ::close(fd);
        DialogFixture::TearDown();
        if (savedTz)
            setenv("TZ", savedTz->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    struct Entry {
        bool found = false;
        bool checkable = false;
        bool checked = false;
    };
    // Opens the context menu; while it is up, reads the entry whose text starts with `prefix`
    // and, when asked, triggers it.
    Entry Menu(const QString& prefix, bool trigger) {
        Entry seen;
        QTimer::singleShot(0, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* menu = qobject_cast<QMenu*>(w); menu && menu->isVisible()) {
                    for (QAction* a : menu->actions())
                        if (a->text().startsWith(prefix)) {
                            seen = {true, a->isCheckable(), a->isChecked()};
                            if (trigger)
                                a->trigger();
                        }
                    menu->close();
                }
        });
        QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5),
                             dlg->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(dlg.get(), &ev);
        return seen;
    }

    static void PutChunk(CRingBuffer& ring, const std::string& bytes, int64_t ms) {
        ring.Put(reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<int>(bytes.size()), {ms * MS, BASE_WALL_NS + ms * MS});
    }

    // Opens COM1 on the pty and connects the network console to a loopback peer; returns the
    // peer's socket.
    int OpenBothLinks() {
        LinkPort(1, pty.slavePath);
        Click(IDC_BUTTON_OPEN);
        int port = 0;
        const int listener = Track(testutil::ListenLoopback(&port));
        SetText(IDC_IP_ADDRESS, "127.0.0.1");
        SetText(IDC_EDIT_IP_PORT, std::to_string(port));
        Click(IDC_BUTTON_IP_CONNECT);
        EXPECT_TRUE(dlg->SerialOpen() && dlg->NetConnected()) << Status();
        return Track(testutil::AcceptWithin(listener, 2000));
    }
    int Track(int fd) {
        fds.push_back(fd);
        return fd;
    }

    std::optional<std::string> savedTz;
    testutil::PtyPair pty;
    std::vector<int> fds;
};

// Off, the consoles show exactly the plain forms; the menu's toggle and gap re-render both
// consoles at once, in either form.
TEST_F(TimestampsAndTrafficLog, ConsolesFollowTheTimestampEntries) {
    for (CRingBuffer* ring : {&dlg->SerialRing(), &dlg->NetRing()}) {
        PutChunk(*ring, "one", 0);
        PutChunk(*ring, "two", 30);
        PutChunk(*ring, "three", 60);
    }
    dlg->RefreshSerialConsole();
    dlg->RefreshNetConsole();
    const Entry off = Menu("Show Timestamps", false);
    EXPECT_TRUE(off.found && off.checkable && !off.checked);
    EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG), "onetwothree");
    EXPECT_EQ(Console(IDC_REDIT_NET_DEBUG), "onetwothree");

    struct Step {
        const char* what;
        std::function<void()> act;
        QString text;  // both consoles in the text form
        QString hex;   // the serial console in hex form
    };
    const QString all = "[22:13:20.123] one\n[22:13:20.153] two\n[22:13:20.183] three";
    const QString joined = "[22:13:20.123] onetwothree";
    const Step steps[] = {
        {"shown", [&] { Menu("Show Timestamps", true); }, all,
         "[22:13:20.123]\n0000 6F6E65\n[22:13:20.153]\n0003" + QString(7, ' ') +
             "74 776F\n"
             "[22:13:20.183]\n0006" +
             QString(14, ' ') + "7468 726565"},
        {"a gap longer than the pauses",
         [&] {
             seam.nextNumber = 31;
             Menu("Timestamp Gap", true);
         },
         joined, "[22:13:20.123]\n0000 6F6E6574 776F7468 726565"},
        {"a gap of the pauses",
         [&] {
             seam.nextNumber = 30;
             Menu("Timestamp Gap", true);
         },
         all,
         {}},
        {"hidden", [&] { Menu("Show Timestamps", true); }, "onetwothree",
         "0000 6F6E6574 776F7468 726565"},
    };
    for (const Step& step : steps) {
        step.act();
        EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG).toStdString(), step.text.toStdString())
            << step.what;
        EXPECT_EQ(Console(IDC_REDIT_NET_DEBUG).toStdString(), step.text.toStdString()) << step.what;
        if (step.hex.isEmpty())
            continue;
        Click(IDC_CHECK_HEXVIEW);
        EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG).toStdString(), step.hex.toStdString())
            << step.what;
        Click(IDC_CHECK_HEXVIEW);
    }
    ASSERT_EQ(seam.numbersAsked.size(), 2u);
    EXPECT_EQ(seam.numbersAsked[0].value, 20);  // the default
    EXPECT_EQ(seam.numbersAsked[0].min, 0);
    EXPECT_EQ(seam.numbersAsked[0].max, 60000);
    EXPECT_EQ(seam.numbersAsked[1].value, 31);
    EXPECT_TRUE(seam.messages.empty());
}

// "Decode Modbus": a line after each frame, chosen for each console on its own from the menu.
// The serial console reads RTU (a request split over two reads, an exception with a bad CRC, an
// answer), the network console MBAP (two frames in one read).
TEST_F(TimestampsAndTrafficLog, DecodeModbusFollowsEachFrameWithItsLine) {
    PutChunk(dlg->SerialRing(), std::string("\x01\x03\x00", 3), 0);
    PutChunk(dlg->SerialRing(), std::string("\x6B\x00\x03\x74\x17", 5), 0);
    PutChunk(dlg->SerialRing(), std::string("\x01\x83\x0B\x00\x00", 5), 30);
    // An answer read from the same line: cut by its own length, not a request's.
    PutChunk(dlg->SerialRing(), std::string("\x01\x03\x06\x02\x2B\x00\x00\x00\x64\x05\x7A", 11),
             60);
    PutChunk(dlg->NetRing(),
             std::string("\x00\x07\x00\x00\x00\x06\x11\x03\x00\x6B\x00\x03"
                         "\x00\x07\x00\x00\x00\x03\x11\x83\x0A",
                         21),
             0);
    auto choose = [&](const QString& entry) {
        QTimer::singleShot(0, [&] {
            auto* menu = dlg->findChild<QMenu*>("DecodeModbusMenu");
            ASSERT_TRUE(menu);
            EXPECT_EQ(menu->accessibleName(), "Decode Modbus");
            menu->parentWidget()->close();
            for (QAction* a : menu->actions())
                if (a->objectName() == entry)
                    a->trigger();
        });
        QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5),
                             dlg->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(dlg.get(), &ev);
    };
    const std::string request = "[modbus] unit 1 read holding registers 0x006B count 3 (CRC good)";
    choose("Serial Console: RTU");
    const std::string serial = Console(IDC_REDIT_SERIAL_DEBUG).toStdString();
    EXPECT_NE(serial.find("\x03\x74\x17\n" + request + "\n"), std::string::npos) << serial;
    EXPECT_NE(serial.find("[modbus] unit 1 exception 0x0B Gateway Target Device Failed to Respond"),
              std::string::npos)
        << serial;
    EXPECT_NE(serial.find("(CRC bad: 0x0000, expected 0x"), std::string::npos) << serial;
    EXPECT_NE(serial.find("[modbus] unit 1 answer: 3 registers 0x022B 0x0000 0x0064 (CRC good)"),
              std::string::npos)
        << serial;
    EXPECT_EQ(Console(IDC_REDIT_NET_DEBUG).toStdString().find("[modbus]"), std::string::npos);

    choose("Network Console: TCP");
    const std::string net = Console(IDC_REDIT_NET_DEBUG).toStdString();
    EXPECT_NE(net.find("[modbus] tid 7 unit 17 read holding registers 0x006B count 3\n"),
              std::string::npos)
        << net;
    EXPECT_NE(net.find("[modbus] tid 7 unit 17 exception 0x0A Gateway Path Unavailable"),
              std::string::npos)
        << net;
    choose("Serial Console: Off");
    EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG).toStdString().find("[modbus]"), std::string::npos);
}

// A log started from the menu holds what both links received; while it is behind, the status
// line's tooltip says so (its text stays); the entry stops it.
TEST_F(TimestampsAndTrafficLog, LogTrafficWritesWhatBothLinksReceived) {
    const int peer = OpenBothLinks();
    ASSERT_GE(peer, 0);
    const std::string path = dir.File("both.log");
    seam.nextSaveFile = ui::FileChoice{path, "both.log"};
    EXPECT_FALSE(Menu("Log Traffic...", true).checked);
    ASSERT_EQ(seam.saveDirectories.size(), 1u);
    EXPECT_EQ(seam.saveDirectories[0], dir.path);  // the capture folder
    EXPECT_TRUE(QRegularExpression("^traffic_\\d{8}_\\d{6}\\.log$")
                    .match(QString::fromStdString(seam.saveNames[0]))
                    .hasMatch())
        << seam.saveNames[0];
    EXPECT_TRUE(Menu("Log Traffic...", false).checked);

    pty.Write("hello serial");
    testutil::SendAll(peer, "hello net");
    ASSERT_TRUE(testutil::WaitFor([&] {
        return Console(IDC_REDIT_SERIAL_DEBUG) == "hello serial" &&
               Console(IDC_REDIT_NET_DEBUG) == "hello net";
    }));

    // Chunks received on the links carry their times into the consoles.
    Menu("Show Timestamps", true);
    const QRegularExpression stamp("\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] ");
    EXPECT_TRUE(QRegularExpression("^" + stamp.pattern() + "hello serial$")
                    .match(Console(IDC_REDIT_SERIAL_DEBUG))
                    .hasMatch())
        << Console(IDC_REDIT_SERIAL_DEBUG).toStdString();
    testutil::Pump(40);
    pty.Write("\r\nline 2\r\n");
    testutil::SendAll(peer, "\r\nline 2\r\n");
    Click(IDC_CHECK_HEXVIEW_NET);
    ASSERT_TRUE(testutil::WaitFor([&] {
        return Console(IDC_REDIT_SERIAL_DEBUG).count(stamp) == 2 &&
               Console(IDC_REDIT_NET_DEBUG).count(stamp) == 0 &&
               Console(IDC_REDIT_NET_DEBUG)
                       .count(QRegularExpression("^\\[", QRegularExpression::MultilineOption)) == 2;
    })) << Console(IDC_REDIT_SERIAL_DEBUG).toStdString()
        << Console(IDC_REDIT_NET_DEBUG).toStdString();
    // A few more for the picture: answers that come in two reads, the second right after.
    for (const char* reply : {"OK 21.5 C", "OK 21.6 C", "ERR 3"}) {
        testutil::Pump(30);
        pty.Write(reply);
        testutil::SendAll(peer, reply);
        testutil::Pump(2);
        pty.Write("\r\n");
        testutil::SendAll(peer, "\r\n");
    }
    testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG).endsWith("ERR 3\n"); });
    dlg->grab().save(QStringLiteral(VASKEL_ARTIFACTS "/timestamps.png"));

    const std::string status = Status();
    emit dlg->Engine().trafficLog.fellBehind(1234);
    testutil::Pump(20);
    EXPECT_TRUE(dlg->GetDlgItem(IDC_STATIC_STATUS)->toolTip().contains("1234 bytes not logged"));
    EXPECT_EQ(Status(), status);

    Menu("Log Traffic...", true);
    EXPECT_FALSE(Menu("Log Traffic...", false).checked);
    ASSERT_TRUE(testutil::WaitFor(
        [&] { return !dlg->GetDlgItem(IDC_STATIC_STATUS)->toolTip().contains("not logged"); }));
    const std::string log = testutil::ReadFile(path);
    EXPECT_NE(log.find(" serial-rx 12 68 65 6C 6C 6F 20 73 65 72 69 61 6C |hello serial|\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" net-rx 9 68 65 6C 6C 6F 20 6E 65 74 |hello net|\n"), std::string::npos)
        << log;
    EXPECT_TRUE(seam.messages.empty());
}

// A log that cannot be created or written: its message, the entry unchecked, the links go on.
TEST_F(TimestampsAndTrafficLog, LogThatCannotBeWrittenStopsWithItsMessage) {
    const int peer = OpenBothLinks();
    ASSERT_GE(peer, 0);
    testutil::TempDir removed;
    const std::string gone = removed.path + "sub/";
    ::mkdir(gone.c_str(), 0755);
    ::rmdir(gone.c_str());
    struct Case {
        std::string path;
        std::string text;
        std::string detail;  // a part of it
    };
    const Case cases[] = {
        {gone + "traffic.log", "Can't create the traffic log", gone + "traffic.log: "},
        {"/dev/full", "Can't write the traffic log", "/dev/full: "},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        seam.messages.clear();
        seam.details.clear();
        seam.nextSaveFile = ui::FileChoice{c.path, "traffic.log"};
        Menu("Log Traffic...", true);
        const std::string line = "round " + std::to_string(++round);
        pty.Write(line);
        testutil::SendAll(peer, line);
        ASSERT_TRUE(testutil::WaitFor([&] { return !seam.messages.empty(); }));
        EXPECT_EQ(seam.messages[0], c.text);
        EXPECT_NE(seam.details[0].find(c.detail), std::string::npos) << seam.details[0];
        EXPECT_FALSE(Menu("Log Traffic...", false).checked);
        EXPECT_FALSE(dlg->Engine().trafficLog.Active());
        ASSERT_TRUE(testutil::WaitFor([&] {
            return Console(IDC_REDIT_SERIAL_DEBUG).endsWith(QString::fromStdString(line)) &&
                   Console(IDC_REDIT_NET_DEBUG).endsWith(QString::fromStdString(line));
        }));
        EXPECT_TRUE(dlg->SerialOpen() && dlg->NetConnected());
    }
    // Nothing reached the full device: nothing is told stored.
    EXPECT_NE(seam.details[0].find(" 0 chunks (0 bytes of traffic) were stored."),
              std::string::npos)
        << seam.details[0];
}

}  // namespace
