#include "platform/PortMap.h"

#include <QSettings>
#include <QString>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/Paths.h"

namespace platform {
namespace {

// The INI file `file`, or the user's settings when it is empty.
std::unique_ptr<QSettings> OpenSettings(const std::string& file) {
    if (!file.empty())
        return std::make_unique<QSettings>(QString::fromStdString(file), QSettings::IniFormat);
    return std::make_unique<QSettings>(QStringLiteral("Vaskel"), QStringLiteral("Vaskel"));
}

QString MappingKey(int n) {
    return QStringLiteral("ports/COM%1").arg(n);
}

bool IsDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

// A run of decimal digits as a number; -1 when it is not one or does not fit an int.
int ToInt(const std::string& s) {
    if (!IsDigits(s) || s.size() > 9)
        return -1;
    return std::stoi(s);
}

// The names in `dir`, without "." and ".."; empty when it cannot be read.
std::vector<std::string> DirNames(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(d);
    return names;
}

bool IsCharDevice(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// A ttyS node exists for every UART the driver could have; the kernel's serial core says in sysfs
// which of them has a UART behind it: <sysRoot>/class/tty/ttySN/type is the type it found,
// PORT_UNKNOWN (0) for a place no UART answered. A ttyS that has no type there (a driver outside
// the serial core) is there when it has a device behind it (the "device" link). The node itself
// is never opened: opening a tty raises DTR and RTS and closing it drops them, which resets or
// confuses the board attached.
bool UartPresent(const std::string& sysRoot, const std::string& name) {
    const std::string dir = sysRoot + "/class/tty/" + name;
    std::ifstream in(dir + "/type");
    std::string type;
    if (in && std::getline(in, type)) {
        const int value = ToInt(type);
        return value >= 0 && value != PORT_UNKNOWN;
    }
    struct stat st {};
    return stat((dir + "/device").c_str(), &st) == 0;
}

std::string GroupName(gid_t gid) {
    std::vector<char> buf(16384);
    group gr{};
    group* result = nullptr;
    if (getgrgid_r(gid, &gr, buf.data(), buf.size(), &result) == 0 && result)
        return result->gr_name;
    return std::to_string(gid);
}

// Whether this process has `gid` now (effective group or a supplementary one).
bool SessionHasGroup(gid_t gid) {
    if (getegid() == gid)
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// Whether the group database lists the user of this process as a member of `gid`, which a
// session started before the user was added does not have yet.
bool DatabaseHasGroup(gid_t gid) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &result) != 0 || !result)
        return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(result->pw_name, result->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(result->pw_name, result->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    return std::find(groups.begin(), groups.begin() + count, gid) != groups.begin() + count;
}

// "path" or, when it is a link (a by-id name, a COMn link), "path (/dev/ttyUSB0)".
std::string NodeName(const std::string& path) {
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) && path != real)
        return path + " (" + real + ")";
    return path;
}

// The pids whose open descriptors include the node `target` describes.
void FindHoldersByFd(const struct stat& target, const std::string& procRoot, std::set<int>& pids) {
    const bool device = S_ISCHR(target.st_mode) || S_ISBLK(target.st_mode);
    for (const std::string& entry : DirNames(procRoot)) {
        const int pid = ToInt(entry);
        if (pid <= 0)
            continue;
        const std::string fdDir = procRoot + "/" + entry + "/fd";
        for (const std::string& fd : DirNames(fdDir)) {
            const std::string link = fdDir + "/" + fd;
            // Sockets, pipes and anonymous inodes are never the device; skipping them saves a
            // stat each.
            char text[PATH_MAX];
            const ssize_t len = readlink(link.c_str(), text, sizeof text - 1);
            if (len <= 0 || text[0] != '/')
                continue;
            struct stat st {};
            if (stat(link.c_str(), &st) != 0)
                continue;
            const bool same = device ? (st.st_mode & S_IFMT) == (target.st_mode & S_IFMT) &&
                                           st.st_rdev == target.st_rdev
                                     : st.st_dev == target.st_dev && st.st_ino == target.st_ino;
            if (same) {
                pids.insert(pid);
                break;
            }
        }
    }
}

// The pids holding a lock on the node itself, from <procRoot>/locks, which also shows the
// processes of other users whose descriptors we may not look at. A line reads
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF" (major:minor in hex, inode in decimal).
void FindHoldersByLock(const struct stat& target, const std::string& procRoot,
                       std::set<int>& pids) {
    std::ifstream in(procRoot + "/locks");
    std::string line;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(target.st_dev), minor(target.st_dev),
                  static_cast<unsigned long long>(target.st_ino));
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, node;
        if (!(fields >> number >> kind))
            continue;
        if (kind == "->")  // a waiter, listed under the lock it waits for
            fields >> kind;
        if (!(fields >> mode >> access >> pid >> node))
            continue;
        if (node == id && ToInt(pid) > 0)
            pids.insert(ToInt(pid));
    }
}

}  // namespace

std::string PortMap::ProgramDirectory() const {
    return m_programDir.empty() ? platform::ProgramDirectory() : m_programDir;
}

std::string PortMap::Mapping(int n) const {
    if (n < 1)
        return {};
    return OpenSettings(m_mapFile)->value(MappingKey(n)).toString().toStdString();
}

bool PortMap::SetMapping(int n, const std::string& path) const {
    if (n < 1)
        return false;
    auto settings = OpenSettings(m_mapFile);
    if (path.empty())
        settings->remove(MappingKey(n));
    else
        settings->setValue(MappingKey(n), QString::fromStdString(path));
    settings->sync();
    return settings->status() == QSettings::NoError;
}

std::string PortMap::ResolveComPort(int n) const {
    std::string mapped = Mapping(n);
    if (!mapped.empty())
        return mapped;
    // lstat, not stat: a dangling symlink the user made is still the port they meant, and the
    // open then reports what is wrong with it.
    const std::string local = ProgramDirectory() + "COM" + std::to_string(n);
    struct stat st {};
    if (lstat(local.c_str(), &st) == 0)
        return local;
    return "/dev/ttyS" + std::to_string(n - 1);
}

std::string PortMap::ResolvePortName(const std::string& name) const {
    const bool isComName = name.size() >= 4 && name.size() <= 6 &&
                           std::tolower(static_cast<unsigned char>(name[0])) == 'c' &&
                           std::tolower(static_cast<unsigned char>(name[1])) == 'o' &&
                           std::tolower(static_cast<unsigned char>(name[2])) == 'm' &&
                           name[3] >= '1' && name[3] <= '9' && IsDigits(name.substr(3));
    return isComName ? ResolveComPort(std::stoi(name.substr(3))) : name;
}

std::string PortMap::DescribeTarget(int n) const {
    if (n < 1)
        return {};
    const std::string mapped = Mapping(n);
    if (!mapped.empty())
        return mapped + " (your mapping)";
    const std::string path = ResolveComPort(n);
    struct stat st {};
    char target[PATH_MAX];
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        const ssize_t len = readlink(path.c_str(), target, sizeof target - 1);
        if (len > 0)
            return path + " -> " + std::string(target, static_cast<size_t>(len));
    }
    return path;
}

std::string SerialPortEntry::Label() const {
    return target.empty() ? path : path + " -> " + target;
}

bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            // Compare the digit runs by value: without leading zeros, the longer is larger.
            size_t ia = i, jb = j;
            while (ia < a.size() && a[ia] == '0')
                ++ia;
            while (jb < b.size() && b[jb] == '0')
                ++jb;
            size_t ea = ia, eb = jb;
            while (ea < a.size() && std::isdigit(static_cast<unsigned char>(a[ea])))
                ++ea;
            while (eb < b.size() && std::isdigit(static_cast<unsigned char>(b[eb])))
                ++eb;
            if (ea - ia != eb - jb)
                return ea - ia < eb - jb;
            const int cmp = a.compare(ia, ea - ia, b, jb, eb - jb);
            if (cmp != 0)
                return cmp < 0;
            i = ea;
            j = eb;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size())
        return j < b.size();
    return a < b;  // equal but for leading zeros: still a strict order
}

std::vector<SerialPortEntry> ListSerialPorts(const std::string& devRoot,
                                             const std::string& sysRoot) {
    std::string root = devRoot;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    std::string sys = sysRoot;
    while (sys.size() > 1 && sys.back() == '/')
        sys.pop_back();
    std::vector<SerialPortEntry> ports;

    const std::string byId = root + "/serial/by-id";
    std::vector<std::string> names = DirNames(byId);
    std::sort(names.begin(), names.end(), NaturalLess);
    for (const std::string& name : names) {
        const std::string path = byId + "/" + name;
        char real[PATH_MAX];
        if (realpath(path.c_str(), real) && IsCharDevice(real))
            ports.push_back({path, real});
    }

    names = DirNames(root);
    std::sort(names.begin(), names.end(), NaturalLess);
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        const std::string p = prefix;
        for (const std::string& name : names) {
            if (name.compare(0, p.size(), p) != 0 || !IsDigits(name.substr(p.size())))
                continue;
            const std::string path = root + "/" + name;
            if (!IsCharDevice(path))
                continue;
            if (p == "ttyS" && !UartPresent(sys, name))
                continue;
            ports.push_back({path, {}});
        }
    }
    return ports;
}

std::string PermissionHint(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno == EACCES)
            return "A directory on the way to " + path + " does not let your user through.";
        return {};
    }
    const std::string group = GroupName(st.st_gid);
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const std::string node =
        NodeName(path) + " belongs to group '" + group + "' (mode " + mode + ")";
    if (!(st.st_mode & S_IRGRP) || !(st.st_mode & S_IWGRP))
        return node +
               ": it is not open to its group for reading and writing, so joining the group "
               "does not help; the administrator can give the group access (a udev rule with "
               "MODE=\"0660\").";
    if (st.st_gid == 0)
        return node +
               ": only root may open it; the administrator can give it a group for serial "
               "devices such as 'dialout' (a udev rule with GROUP=\"dialout\").";
    if (SessionHasGroup(st.st_gid))
        return node +
               ": this session is in that group already, so something else refuses "
               "access (an access control list or a security module).";
    if (DatabaseHasGroup(st.st_gid))
        return node + ": you are a member of '" + group +
               "', but not in this session yet: log out and in again (or start the program "
               "from 'newgrp " +
               group + "').";
    return node + ": add your user to the '" + group + "' group (sudo usermod -aG " + group +
           " $USER) and log in again.";
}

std::string BusyHint(const std::string& path, const std::string& procRoot) {
    const std::string plain = path + " is in use by another program.";
    struct stat target {};
    if (stat(path.c_str(), &target) != 0)
        return plain;
    std::set<int> pids;
    FindHoldersByFd(target, procRoot, pids);
    FindHoldersByLock(target, procRoot, pids);
    const int self = getpid();
    const bool bySelf = pids.erase(self) > 0;
    if (pids.empty())
        return bySelf ? path + " is already open in this program." : plain;
    std::string holders;
    for (int pid : pids) {
        if (!holders.empty())
            holders += ", ";
        const std::string comm = ReadFirstLine(procRoot + "/" + std::to_string(pid) + "/comm");
        holders += comm.empty() ? "pid " + std::to_string(pid)
                                : comm + " (pid " + std::to_string(pid) + ")";
    }
    std::string hint = path + " is in use by " + holders + ".";
    if (bySelf)
        hint += " This program has it open too.";
    return hint;
}

}  // namespace platform
