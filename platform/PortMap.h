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
#include <vector>

namespace platform {

// The user's device path for COMn; empty when there is none (or n < 1).
std::string PortMapping(int n);
// Stores `path` as the device of COMn; an empty path removes the mapping. False when n < 1 or
// the settings could not be written.
bool SetPortMapping(int n, const std::string& path);
// Keeps the mappings in the INI file `path` instead of the user's settings (for tests); an
// empty path restores the user's settings.
void SetPortMapFile(const std::string& path);

// The device path COMn (n >= 1) opens, in the order above.
std::string ResolveComPort(int n);
// What COMn opens right now, for a tooltip: "/dev/ttyUSB0 (your mapping)",
// "<program directory>/COM1 -> /dev/ttyUSB0" (a link there, with where it points) or
// "/dev/ttyS0".
std::string DescribePortTarget(int n);

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
