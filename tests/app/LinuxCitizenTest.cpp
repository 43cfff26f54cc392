// What a Linux user meets outside the build folder: COMn chosen from the devices that exist, the
// port list's tooltips, captures where the user may write, and names a screen reader can read.
#include <QAccessible>
#include <QComboBox>
#include <QLabel>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>

#include "app/SerialPortsDlg.h"
#include "platform/PortMap.h"
#include "support/app/DialogFixture.h"

namespace {

class LinuxCitizen : public DialogFixture {
protected:
    testutil::TempDir dev;
};

}  // namespace

// A pty standing in for /dev/ttyUSB0 is picked for COM1 in the Serial Ports dialog: no link in
// the program's folder, the status line still says COM1, Cancel changes nothing.
TEST_F(LinuxCitizen, PickingADeviceForCom1WithoutTouchingTheProgramFolder) {
    testutil::PtyPair usb;
    ASSERT_EQ(::symlink(usb.slavePath.c_str(), dev.File("ttyUSB0").c_str()), 0);
    {
        CSerialPortsDlg ports(dlg->Serial().Ports(), dlg.get(), dev.path);
        EXPECT_EQ(ports.DeviceBox(1)->accessibleName(), "COM1 device");
        EXPECT_EQ(ports.DeviceBox(1)->currentText(), "(default)");
        ports.DeviceBox(1)->setCurrentIndex(1);  // the first device that exists
        ports.reject();
    }
    EXPECT_EQ(dlg->Serial().Ports().Mapping(1), "");
    {
        CSerialPortsDlg ports(dlg->Serial().Ports(), dlg.get(), dev.path);
        ASSERT_EQ(ports.DeviceBox(1)->itemText(1).toStdString(), dev.File("ttyUSB0"));
        ports.DeviceBox(1)->setCurrentIndex(1);
        ports.accept();
    }
    EXPECT_EQ(dlg->Serial().Ports().Mapping(1), dev.File("ttyUSB0"));
    Click(IDC_BUTTON_OPEN);
    ASSERT_TRUE(dlg->SerialOpen()) << (seam.details.empty() ? "" : seam.details.back());
    EXPECT_EQ(Status(), " Connected : COM1,57600,8bit,1bit,none,none");
    usb.Write("hi");
    EXPECT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == "hi"; }));
    EXPECT_EQ(testutil::ListDir(dir.path), std::vector<std::string>{});  // nothing made there
}

TEST_F(LinuxCitizen, EveryControlHasANameAndTheStatusLineIsReadAsItsText) {
    for (const auto& w : dlg->findChildren<QWidget*>()) {
        if (w->objectName().startsWith("IDC_") && w->isVisibleTo(dlg.get())) {
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            ASSERT_NE(a, nullptr);
            auto* label = qobject_cast<QLabel*>(w);
            if (label && !label->text().isEmpty()) {
                EXPECT_EQ(a->text(QAccessible::Name), label->text()) << qPrintable(w->objectName());
            } else if (w->objectName() != "IDC_STATIC_STATUS") {
                EXPECT_FALSE(a->text(QAccessible::Name).isEmpty()) << qPrintable(w->objectName());
            }
        }
    }
    dlg->SetStatusText("Serial Timeout");
    QAccessibleInterface* status =
        QAccessible::queryAccessibleInterface(dlg->GetDlgItem(IDC_STATIC_STATUS));
    EXPECT_EQ(status->text(QAccessible::Name), "Serial Timeout");
    EXPECT_EQ(status->text(QAccessible::Description), "Status line");
    // The port list's tooltip names the device COM1 opens.
    EXPECT_EQ(Item<QComboBox>(IDC_COMBO_PORT)->itemData(0, Qt::ToolTipRole).toString(),
              "/dev/ttyS0");
}

// An installed program's folder cannot be written by its user: captures go to the documents
// folder under Vaskel/, created when needed. Checked as an unprivileged user (root may write
// anywhere).
TEST(CaptureFolder, AProgramFolderTheUserCannotWriteSendsCapturesToTheDocuments) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to an unprivileged user for this check";
    testutil::TempDir home, program;
    ASSERT_EQ(::chmod(home.path.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(program.path.c_str(), 0555), 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            _exit(2);
        ::setenv("HOME", home.path.c_str(), 1);
        ::unsetenv("XDG_DOCUMENTS_DIR");
        ::unsetenv("XDG_CONFIG_HOME");
        const std::string where = platform::CaptureDirectory(program.path);
        (void)!::write(fds[1], where.data(), where.size());
        _exit(0);
    }
    ::close(fds[1]);
    char buf[512] = {};
    const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string where(buf, n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_EQ(where, home.path + "Documents/Vaskel/");
    struct stat st {};
    EXPECT_EQ(::stat(where.c_str(), &st), 0);
    ::chmod(program.path.c_str(), 0755);
    std::filesystem::remove_all(home.path + "Documents");
}
