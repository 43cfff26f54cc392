// The window against ser2net's Telnet port with the Com Port Control option: the serial lists
// chosen in the window become the device server's serial settings, and its quirks show as the
// answers it gives (none, for DTR and RTS on a pty).
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

#include "app/LineSignalsDlg.h"
#include "support/Ser2netDevice.h"
#include "support/app/DialogFixture.h"

namespace {

class RemotePortSer2net : public DialogFixture {
protected:
    QString Text(QWidget* w, const char* name) {
        auto* label = w->findChild<QLabel*>(QString::fromLatin1(name));
        return label ? label->text() : QStringLiteral("(no %1)").arg(name);
    }
};

TEST_F(RemotePortSer2net, TheListsBecomeTheDeviceServersSettings) {
    Ser2netDevice device(dir.File("COM1"));
    ASSERT_TRUE(device.Ready()) << device.Log();
    // The options as the Network Options dialog leaves them for RFC 2217 with the lists asked.
    QTimer poll;
    bool seen = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QDialog*>(w);
                d && d->objectName() == "NetworkOptions" && d->isVisible() && !seen) {
                seen = true;
                d->findChild<QAbstractButton*>("Telnet with Com Port Control (RFC 2217)")->click();
                d->findChild<QAbstractButton*>("OK")->click();
            }
    });
    poll.start(10);
    FromMenu("Network Options...");
    poll.stop();
    ASSERT_TRUE(seen);
    FromMenu("Line Signals...");
    CLineSignalsDlg* w = dlg->LineSignals().Window();
    ASSERT_NE(w, nullptr);

    Select(IDC_COMBO_BAUD, 6);  // 38400: not ser2net's configured 115200
    SetText(IDC_IP_ADDRESS, "127.0.0.1");
    SetText(IDC_EDIT_IP_PORT, std::to_string(device.TelnetPort()));
    Click(IDC_BUTTON_IP_CONNECT);
    ASSERT_TRUE(dlg->NetConnected()) << device.Log();
    EXPECT_TRUE(testutil::WaitFor([&] { return device.ServedSpeed() == 38400; }, 3000))
        << device.ServedSpeed();
    EXPECT_TRUE(testutil::WaitFor(
        [&] { return Text(w, "Device server baud rate answer") == "applied"; }, 3000))
        << Text(w, "Device server baud rate answer").toStdString();
    EXPECT_EQ(Text(w, "Device server option"), "RFC 2217 agreed");
    testutil::Pump(2500);  // every answer in, or its time over
    EXPECT_TRUE(seam.messages.empty()) << seam.messages[0] << "\n" << seam.details[0];

    // A change of the lists while the link is up goes to the device server too.
    Select(IDC_COMBO_BAUD, 4);  // 19200
    EXPECT_TRUE(testutil::WaitFor([&] { return device.ServedSpeed() == 19200; }, 3000))
        << device.ServedSpeed();

    // ser2net does not answer DTR control on a pty: told, not waited for.
    w->findChild<QPushButton*>("Device server DTR")->click();
    EXPECT_TRUE(testutil::WaitFor(
        [&] { return Text(w, "Device server DTR answer") == "no answer within 2 s"; }, 4000))
        << Text(w, "Device server DTR answer").toStdString();
    EXPECT_TRUE(dlg->NetConnected());
    w->grab().save(QStringLiteral(VASKEL_ARTIFACTS "/line-signals-ser2net.png"));
}

}  // namespace
