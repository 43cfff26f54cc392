// Line settings through the kernel's termios2 interface, which takes any rate in bits per second
// (BOTHER), not only the B-constants of <termios.h>: 14400 and 28800 have none.
//
// Each change goes to the kernel in one TCSETS2, not through glibc's tcsetattr: that one re-reads
// the result and fails with EINVAL when the driver kept none of a change, which a pty does with
// data bits and parity (it always reports CS8 without PARENB). A driver adjusting a setting it
// cannot do is not a refusal.
//
// Kept apart from SerialDevice.cpp because <asm/termbits.h>, which declares termios2, clashes
// with <termios.h>.
#pragma once

#include <cstdint>

namespace platform {

// The termios fields the serial device sets, with the flag values of <termios.h> (the kernel's
// are the same numbers).
struct TtyModes {
    uint32_t iflag = 0;
    uint32_t oflag = 0;
    uint32_t cflag = 0;  // the speed bits are ignored when set: the rate is set on its own
    uint32_t lflag = 0;
    uint8_t vmin = 0;
    uint8_t vtime = 0;
    uint8_t vstart = 0;
    uint8_t vstop = 0;
};

// Reads the tty's current modes (the speed bits of cflag included). Returns 0 or an errno
// (ENOTTY for a device that is no tty).
int GetTtyModes(int fd, TtyModes& modes);

// Applies the modes and keeps the tty's rate as it is. Returns 0 or an errno.
int SetTtyModes(int fd, const TtyModes& modes);

// Sets the output and input speed of the tty `fd` to `baud`. Rates with a B-constant are set
// through it (so tcgetattr/cfgetospeed read them back as usual); any other rate as BOTHER.
// Returns 0, or the errno of the failing ioctl.
int SetTtyBaud(int fd, uint32_t baud);

// Reads back the output speed in bits per second (c_ospeed, so custom rates read back too).
// Returns 0, or the errno of the failing ioctl.
int GetTtyBaud(int fd, uint32_t& baud);

}  // namespace platform
