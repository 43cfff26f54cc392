// termios2 speed setting. Deliberately does not include <termios.h> (see SerialBaud.h).
#include "platform/SerialBaud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <cerrno>

namespace platform {
namespace {

struct BaudCode {
    uint32_t baud;
    tcflag_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600},
};

tcflag_t CodeFor(uint32_t baud) {
    for (const auto& entry : kBaudCodes)
        if (entry.baud == baud)
            return entry.code;
    return BOTHER;
}

int IoctlRetry(int fd, unsigned long request, termios2* tio) {
    int rc;
    do {
        rc = ioctl(fd, request, tio);
    } while (rc < 0 && errno == EINTR);
    return rc < 0 ? errno : 0;
}

void PutBaud(termios2& tio, uint32_t baud) {
    // Input speed bits 0 mean "same as output", so one code sets both directions.
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CodeFor(baud);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
}

}  // namespace

int GetTtyModes(int fd, TtyModes& modes) {
    termios2 tio{};
    if (int err = IoctlRetry(fd, TCGETS2, &tio))
        return err;
    modes.iflag = tio.c_iflag;
    modes.oflag = tio.c_oflag;
    modes.cflag = tio.c_cflag;
    modes.lflag = tio.c_lflag;
    modes.vmin = tio.c_cc[VMIN];
    modes.vtime = tio.c_cc[VTIME];
    modes.vstart = tio.c_cc[VSTART];
    modes.vstop = tio.c_cc[VSTOP];
    return 0;
}

int SetTtyModes(int fd, const TtyModes& modes) {
    termios2 tio{};
    if (int err = IoctlRetry(fd, TCGETS2, &tio))
        return err;
    // The speed bits and the two rates stay as the tty has them.
    const tcflag_t speedBits = CBAUD | (CBAUD << IBSHIFT);
    tio.c_iflag = modes.iflag;
    tio.c_oflag = modes.oflag;
    tio.c_cflag = (tio.c_cflag & speedBits) | (modes.cflag & ~speedBits);
    tio.c_lflag = modes.lflag;
    tio.c_cc[VMIN] = modes.vmin;
    tio.c_cc[VTIME] = modes.vtime;
    tio.c_cc[VSTART] = modes.vstart;
    tio.c_cc[VSTOP] = modes.vstop;
    return IoctlRetry(fd, TCSETS2, &tio);
}

int SetTtyBaud(int fd, uint32_t baud) {
    if (baud == 0)
        return EINVAL;  // B0 would hang up the line, it is not a speed
    termios2 tio{};
    if (int err = IoctlRetry(fd, TCGETS2, &tio))
        return err;
    PutBaud(tio, baud);
    return IoctlRetry(fd, TCSETS2, &tio);
}

int GetTtyBaud(int fd, uint32_t& baud) {
    termios2 tio{};
    if (int err = IoctlRetry(fd, TCGETS2, &tio))
        return err;
    baud = tio.c_ospeed;
    return 0;
}

}  // namespace platform
