// Where "COMn" points, the list of present serial devices (on a fake /dev tree of links to ptys),
// and the hints for a device that refuses to open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <functional>
#include <string>
#include <vector>

#include "platform/Paths.h"
#include "platform/PortMap.h"
#include "platform/SerialDevice.h"
#include "support/TestUtil.h"

using namespace platform;
using testutil::PtyPair;
using testutil::TempDir;

namespace {

// A port map whose mappings and program directory are a temporary directory of one test.
struct IsolatedPorts {
    TempDir dir;
    PortMap map{dir.File("Vaskel.conf"), dir.path};
};

// A child process that runs `body` with the write end of a pipe; killed and reaped at the end.
struct ForkedChild {
    explicit ForkedChild(const std::function<void(int)>& body) {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            body(fds[1]);
            _exit(0);
        }
        close(fds[1]);
        out = fds[0];
    }
    ~ForkedChild() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
    }
    // Everything the child writes until it closes the pipe (or `count` bytes).
    std::string Read(size_t count = 4096) {
        std::string text;
        char buf[512];
        ssize_t n;
        while (text.size() < count &&
               (n = read(out, buf, std::min(sizeof buf, count - text.size()))) > 0)
            text.append(buf, static_cast<size_t>(n));
        return text;
    }
    pid_t pid = -1;
    int out = -1;
};

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

std::vector<std::string> Labels(const std::vector<SerialPortEntry>& ports) {
    std::vector<std::string> labels;
    for (const auto& p : ports)
        labels.push_back(p.Label());
    return labels;
}

// <sysRoot>/class/tty/<name> as the kernel shows it: a "type" file when `type` is not empty, a
// "device" link when `device` is not empty.
void FakeSysTty(const TempDir& sys, const std::string& name, const std::string& type,
                const std::string& device = "") {
    const std::string dir = sys.File("class/tty/" + name);
    ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
    if (!type.empty())
        testutil::WriteFile(dir + "/type", type);
    if (!device.empty()) {
        const std::string target = sys.File("class/" + device.substr(6));  // past "../../"
        ASSERT_EQ(system(("mkdir -p '" + target + "'").c_str()), 0);
        ASSERT_EQ(symlink(device.c_str(), (dir + "/device").c_str()), 0);
    }
}

}  // namespace

TEST(PortMapping, StoresRemovesAndReportsAFailedWrite) {
    IsolatedPorts iso;
    const PortMap& map = iso.map;
    EXPECT_EQ(map.Mapping(1), "");
    ASSERT_TRUE(map.SetMapping(1, "/dev/ttyUSB0"));
    ASSERT_TRUE(map.SetMapping(12, "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0"));
    EXPECT_EQ(map.Mapping(1), "/dev/ttyUSB0");
    EXPECT_EQ(map.Mapping(12), "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0");
    EXPECT_NE(testutil::ReadFile(iso.dir.File("Vaskel.conf")).find("COM1=/dev/ttyUSB0"),
              std::string::npos);
    ASSERT_TRUE(map.SetMapping(1, ""));  // removes it
    EXPECT_EQ(map.Mapping(1), "");
    EXPECT_EQ(map.Mapping(12), "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0");
    EXPECT_FALSE(map.SetMapping(0, "/dev/ttyUSB0"));
    EXPECT_EQ(map.Mapping(0), "");
    // A settings file that cannot be written is a failure, not a silent loss.
    testutil::WriteFile(iso.dir.File("plain"), "x");
    const PortMap unwritable(iso.dir.File("plain/Vaskel.conf"), iso.dir.path);
    EXPECT_FALSE(unwritable.SetMapping(2, "/dev/ttyUSB1"));
}

TEST(PortMapping, ComNamesResolveMappingThenProgramDirectoryThenTtyS) {
    IsolatedPorts iso;
    ASSERT_EQ(symlink("/dev/null", iso.dir.File("COM1").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", iso.dir.File("COM2").c_str()), 0);
    ASSERT_TRUE(iso.map.SetMapping(1, "/dev/ttyUSB0"));
    ASSERT_TRUE(iso.map.SetMapping(4, "/dev/ttyACM1"));
    struct Case {
        const char* name;
        int n;
        std::string opens;
        std::string described;
    };
    const Case cases[] = {
        {"com1", 1, "/dev/ttyUSB0", "/dev/ttyUSB0 (your mapping)"},  // before the link
        {"COM2", 2, iso.dir.File("COM2"), iso.dir.File("COM2") + " -> /dev/zero"},
        {"COM3", 3, "/dev/ttyS2", "/dev/ttyS2"},
        {"COM4", 4, "/dev/ttyACM1", "/dev/ttyACM1 (your mapping)"},
        {"COM12", 12, "/dev/ttyS11", "/dev/ttyS11"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(iso.map.ResolvePortName(c.name), c.opens) << c.name;
        EXPECT_EQ(iso.map.DescribeTarget(c.n), c.described) << c.name;
    }
}

TEST(PortMapping, MappedComNameOpensTheDeviceBehindAByIdLink) {
    IsolatedPorts iso;
    PtyPair pty;
    const std::string byId = iso.dir.File("usb-Vendor_Adapter_0001-if00-port0");
    ASSERT_EQ(symlink(pty.slavePath.c_str(), byId.c_str()), 0);
    ASSERT_TRUE(iso.map.SetMapping(1, byId));
    CSerialDevice dev;
    dev.SetPortMap(iso.map);
    ASSERT_TRUE(dev.Open("COM1")) << dev.LastError();
    EXPECT_EQ(dev.DevicePath(), byId);
    pty.Write("ping");
    char buf[8] = {};
    for (int i = 0; i < 100 && dev.QueuedInput() < 4; ++i)
        usleep(10000);
    EXPECT_EQ(dev.Read(buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "ping");
}

TEST(SerialPortList, ListsByIdUsbAcmAndTtySWithAUartInNaturalOrder) {
    TempDir dev, sys;
    PtyPair a, b, c, d;
    ASSERT_EQ(mkdir(dev.File("serial").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dev.File("serial/by-id").c_str(), 0755), 0);
    struct Link {
        std::string name;
        std::string target;
    };
    const Link links[] = {
        {"serial/by-id/usb-FTDI_FT232R_A10-if00-port0", b.slavePath},
        {"serial/by-id/usb-FTDI_FT232R_A2-if00-port0", a.slavePath},
        {"serial/by-id/usb-Gone_Adapter-if00-port0", "/nonexistent/ttyUSB9"},  // stale
        {"ttyUSB10", b.slavePath},
        {"ttyUSB2", a.slavePath},
        {"ttyUSBx", a.slavePath},  // not a ttyUSB<number>
        {"ttyACM0", c.slavePath},
        {"ttyS0", d.slavePath},  // a UART behind it
        {"ttyS1", d.slavePath},  // a place where no UART answered
        {"ttyXYZ", a.slavePath},
    };
    for (const Link& l : links)
        ASSERT_EQ(symlink(l.target.c_str(), dev.File(l.name).c_str()), 0) << l.name;
    testutil::WriteFile(dev.File("ttyS2"), "");  // no device at all
    FakeSysTty(sys, "ttyS0", "4\n");
    FakeSysTty(sys, "ttyS1", "0\n");
    FakeSysTty(sys, "ttyS2", "4\n");

    const std::string root = dev.path.substr(0, dev.path.size() - 1);
    const std::vector<std::string> expected = {
        root + "/serial/by-id/usb-FTDI_FT232R_A2-if00-port0 -> " + a.slavePath,
        root + "/serial/by-id/usb-FTDI_FT232R_A10-if00-port0 -> " + b.slavePath,
        root + "/ttyUSB2",
        root + "/ttyUSB10",
        root + "/ttyACM0",
        root + "/ttyS0",
    };
    const auto ports = ListSerialPorts(root, sys.path);
    EXPECT_EQ(Labels(ports), expected);
    // The trailing '/' makes no difference; a by-id entry is stored and opened by its own path.
    EXPECT_EQ(Labels(ListSerialPorts(dev.path, sys.path)), expected);
    ASSERT_FALSE(ports.empty());
    EXPECT_EQ(ports[0].path, root + "/serial/by-id/usb-FTDI_FT232R_A2-if00-port0");
    EXPECT_EQ(ports[0].target, a.slavePath);
    EXPECT_TRUE(ListSerialPorts(dev.File("missing"), sys.path).empty());
}

// The ttyS ports come from what the kernel says in sysfs; none of them is opened, since opening
// a tty raises DTR and RTS and closing it drops them, which resets the board attached.
TEST(SerialPortList, TtySPortsAreFoundInSysfsWithoutOpeningAny) {
    TempDir dev, sys;
    PtyPair ptys[6];
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    for (int i = 0; i < 6; ++i) {
        const std::string name = "ttyS" + std::to_string(i);
        ASSERT_EQ(symlink(ptys[i].slavePath.c_str(), dev.File(name).c_str()), 0);
        ASSERT_GE(inotify_add_watch(watch, ptys[i].slavePath.c_str(), IN_OPEN), 0);
    }
    FakeSysTty(sys, "ttyS0", "4\n");  // a 16550A
    FakeSysTty(sys, "ttyS1", "0\n");  // PORT_UNKNOWN: nothing answered there
    FakeSysTty(sys, "ttyS2", "");     // no type, no device
    FakeSysTty(sys, "ttyS3", "", "../../devices/pnp0/00:05");  // no type, but a device
    FakeSysTty(sys, "ttyS4", "0\n", "../../devices/platform/serial8250");
    FakeSysTty(sys, "ttyS5", "12\n", "../../devices/pci0000:00/0000:00:16.3");
    const std::string root = dev.path.substr(0, dev.path.size() - 1);
    const std::vector<std::string> expected = {root + "/ttyS0", root + "/ttyS3", root + "/ttyS5"};
    EXPECT_EQ(Labels(ListSerialPorts(root, sys.path)), expected);
    char events[4096];
    EXPECT_EQ(read(watch, events, sizeof events), -1) << "a listed or unlisted ttyS was opened";
    close(watch);
}

TEST(SerialDeviceHints, BusyDeviceNamesTheProgramThatHoldsIt) {
    PtyPair pty;
    close(pty.slave);  // only the holder below keeps the device open
    pty.slave = -1;
    const std::string path = pty.slavePath;
    ForkedChild holder([&](int out) {
        prctl(PR_SET_NAME, "portholder");
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        WriteAll(out, fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? "1" : "0");
        pause();
    });
    ASSERT_GT(holder.pid, 0);
    ASSERT_EQ(holder.Read(1), "1");

    CSerialDevice dev;
    ASSERT_FALSE(dev.Open(path));
    EXPECT_EQ(dev.LastError(), path + ": Device or resource busy");  // unchanged by the hint
    EXPECT_EQ(dev.Hint(),
              path + " is in use by portholder (pid " + std::to_string(holder.pid) + ").");
}

TEST(SerialDeviceHints, BusyHintSources) {
    PtyPair pty;
    close(pty.slave);
    pty.slave = -1;
    const std::string path = pty.slavePath;
    // A /proc of its own: one process with the device among its descriptors.
    TempDir proc;
    ASSERT_EQ(mkdir(proc.File("4242").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(proc.File("4242/fd").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/dev/null", proc.File("4242/fd/0").c_str()), 0);
    ASSERT_EQ(symlink(path.c_str(), proc.File("4242/fd/3").c_str()), 0);
    testutil::WriteFile(proc.File("4242/comm"), "minicom\n");
    TempDir emptyProc;

    CSerialDevice first, second;
    ASSERT_TRUE(first.Open(path)) << first.LastError();
    ASSERT_FALSE(second.Open(path));
    EXPECT_EQ(second.Hint(), path + " is already open in this program.");
    ASSERT_FALSE(first.Open(path));  // the same object twice
    EXPECT_EQ(first.Hint(), path + " is already open in this program.");
    first.Close();

    struct Case {
        const char* what;
        std::string node;
        std::string procRoot;
        std::string hint;
    };
    const Case cases[] = {
        {"holder found", path, proc.path, path + " is in use by minicom (pid 4242)."},
        {"nobody to be seen", path, emptyProc.path, path + " is in use by another program."},
        {"no such node", "/nonexistent/tty", proc.path,
         "/nonexistent/tty is in use by another program."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BusyHint(c.node, c.procRoot), c.hint) << c.what;
    // A successful open leaves no hint behind.
    ASSERT_TRUE(second.Open(path)) << second.LastError();
    EXPECT_EQ(second.Hint(), "");
}

TEST(SerialDeviceHints, PermissionDeniedNamesTheGroupAndWhatToDo) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the test hands a pty to another owner and group and opens "
                        "it as uid 65534";
    const group* dialout = getgrnam("dialout");
    // Debian's base system has the group; its absence is a broken machine, not a reason to skip.
    ASSERT_NE(dialout, nullptr) << "this system has no 'dialout' group to give the device to";
    const gid_t dialoutGid = dialout->gr_gid;
    struct Case {
        gid_t gid;
        mode_t mode;
        std::string advice;  // after "<path> belongs to group '...' (mode ...)"
    };
    const Case cases[] = {
        {dialoutGid, 0660,
         " belongs to group 'dialout' (mode 0660): add your user to the 'dialout' group (sudo "
         "usermod -aG dialout $USER) and log in again."},
        {dialoutGid, 0600,
         " belongs to group 'dialout' (mode 0600): it is not open to its group for reading and "
         "writing, so joining the group does not help; the administrator can give the group "
         "access (a udev rule with MODE=\"0660\")."},
        {0, 0660,
         " belongs to group 'root' (mode 0660): only root may open it; the administrator can "
         "give it a group for serial devices such as 'dialout' (a udev rule with "
         "GROUP=\"dialout\")."},
    };
    for (const Case& c : cases) {
        PtyPair pty;
        const std::string path = pty.slavePath;
        ASSERT_EQ(chown(path.c_str(), 0, c.gid), 0);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        // The child drops to nobody/nogroup without supplementary groups, tries the port and
        // sends back "<opened>\n<LastError>\n<Hint>".
        ForkedChild child([&](int out) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
                WriteAll(out, "cannot drop privileges");
                return;
            }
            CSerialDevice dev;
            const bool opened = dev.Open(path);
            WriteAll(out,
                     std::string(opened ? "1" : "0") + "\n" + dev.LastError() + "\n" + dev.Hint());
        });
        ASSERT_GT(child.pid, 0);
        const std::string report = child.Read();
        EXPECT_EQ(report, "0\n" + path + ": Permission denied\n" + path + c.advice)
            << std::oct << c.mode;
    }
}
