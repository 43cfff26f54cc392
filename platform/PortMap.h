// Which device a port name "COMn" opens, the serial devices present on this machine, and hints
// for a device that refuses to open.
//
// "COMn" (n >= 1) resolves, first match wins, to:
//   1. the user's mapping, kept in the program's settings (QSettings, organisation and
//      application "Vaskel", key "ports/COMn" = device path);
//   2. <program directory>/COMn when that exists (typically a symlink: ln -s /dev/ttyUSB0 COM1);
//   3. /dev/ttyS{n-1}.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

// Where the names "COMn" lead for one user of the serial device (a console, a test): the file
// that keeps the user's mappings and the program directory to look for COMn links in. A value:
// each owner has its own, and two of them in one process resolve independently.
class PortMap {
public:
    // The user's settings and the real program directory.
    PortMap() = default;
    // `mapFile`: an INI file instead of the user's settings (empty: the user's settings).
    // `programDir`: a directory ending in '/' instead of the real one (empty: the real one).
    PortMap(std::string mapFile, std::string programDir)
        : m_mapFile(std::move(mapFile)), m_programDir(std::move(programDir)) {}

    void SetMapFile(std::string path) { m_mapFile = std::move(path); }
    void SetProgramDirectory(std::string dir) { m_programDir = std::move(dir); }
    const std::string& MapFile() const { return m_mapFile; }
    // The program directory this map looks in, with its trailing '/'.
    std::string ProgramDirectory() const;

    // The user's device path for COMn; empty when there is none (or n < 1).
    std::string Mapping(int n) const;
    // Stores `path` as the device of COMn; an empty path removes the mapping. False when n < 1
    // or the settings could not be written.
    bool SetMapping(int n, const std::string& path) const;

    // The device path COMn (n >= 1) opens, in the order above.
    std::string ResolveComPort(int n) const;
    // Resolves "COMn" (n >= 1, any letter case) as ResolveComPort does; other names are used as
    // paths unchanged.
    std::string ResolvePortName(const std::string& name) const;
    // What COMn opens right now, for a tooltip: "/dev/ttyUSB0 (your mapping)",
    // "<program directory>/COM1 -> /dev/ttyUSB0" (a link there, with where it points) or
    // "/dev/ttyS0".
    std::string DescribeTarget(int n) const;

private:
    std::string m_mapFile;
    std::string m_programDir;
};

// A serial device present now.
struct SerialPortEntry {
    std::string path;    // what to open or store: "/dev/ttyUSB0", "/dev/serial/by-id/usb-..."
    std::string target;  // for a by-id link the device node it points to, else empty
    // "path -> target" for a by-id link, else the path.
    std::string Label() const;
};

// The serial devices under `devRoot` (no trailing '/' needed): the links in serial/by-id, then
// ttyUSB*, ttyACM*, then those ttyS* that sysfs under `sysRoot` shows with a UART behind them.
// Each group in natural order (ttyUSB2 before ttyUSB10). Dangling links and nodes that are not
// character devices are left out. No device is opened.
std::vector<SerialPortEntry> ListSerialPorts(const std::string& devRoot = "/dev",
                                             const std::string& sysRoot = "/sys");

// Natural order of names: runs of digits compare by value ("ttyUSB2" < "ttyUSB10").
bool NaturalLess(const std::string& a, const std::string& b);

// Why opening `path` was refused with EACCES and what to do about it: the group that owns the
// node, its mode, and whether adding the user to that group, or logging in again, helps.
std::string PermissionHint(const std::string& path);
// Who holds `path` (an EBUSY open or a lock that a second opener cannot take): the programs and
// pids with the same device open, found through `procRoot`/<pid>/fd; "this program" when it is
// this process; a plain "in use by another program" when no holder can be seen.
std::string BusyHint(const std::string& path, const std::string& procRoot = "/proc");

}  // namespace platform
