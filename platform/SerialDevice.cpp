#include "platform/SerialDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/PortMap.h"
#include "platform/SerialBaud.h"

namespace platform {
namespace {

// How long a wait on a hung-up device pauses before it reports back, so that a receive loop
// around it runs a handful of times a second instead of spinning.
constexpr int kHangupBackoffMs = 200;

// A device without modem lines (a pty, a USB gadget) answers the modem ioctls with one of these.
bool IsNoModemLines(int err) {
    return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP || err == 515 /* ENOIOCTLCMD */;
}

int SetModemLine(int fd, int line, bool raise) {
    if (ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &line) == 0)
        return 0;
    return IsNoModemLines(errno) ? 0 : errno;
}

}  // namespace

CSerialDevice::CSerialDevice() {
    EnsureWakeFds();
}

CSerialDevice::~CSerialDevice() {
    Close();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool CSerialDevice::EnsureWakeFds() {
    if (m_wakeFd < 0)
        m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return m_wakeFd >= 0 && m_abort.Fd() >= 0;
}

void CSerialDevice::DrainEventFd(int fd) {
    if (fd < 0)
        return;
    uint64_t value;
    while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

void CSerialDevice::SetError(const std::string& what, int err) {
    m_lastError = what + ": " + std::strerror(err);
    m_lastErrno = err;
}

bool CSerialDevice::Open(const std::string& portName) {
    m_hint.clear();
    if (m_fd >= 0) {
        SetError(m_path, EBUSY);
        m_hint = m_path + " is already open in this program.";
        return false;
    }
    m_path = m_portMap.ResolvePortName(portName);
    if (!EnsureWakeFds()) {
        SetError("eventfd", errno);
        return false;
    }
    DrainEventFd(m_wakeFd);
    m_abort.Reset();

    // open() follows a COMn symlink, so the locks below land on the device itself.
    int fd;
    do {
        fd = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        SetError(m_path, err);
        if (err == EACCES)
            m_hint = PermissionHint(m_path);
        else if (err == EBUSY)  // another opener set TIOCEXCL
            m_hint = BusyHint(m_path);
        return false;
    }
    // flock first: it is what keeps out a second opener even for root, who ignores TIOCEXCL.
    // Taking it before TIOCEXCL also means a failed attempt never touches the exclusive flag of
    // a tty that someone else holds.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);  // before looking for the holder, so that it is not found in us
        SetError(m_path, err);
        if (err == EBUSY)
            m_hint = BusyHint(m_path);
        return false;
    }
    // Not a tty (ENOTTY) is not decided here: the settings are refused later.
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        const int err = errno;
        ::close(fd);
        SetError(m_path, err);
        return false;
    }
    m_mask.store(0);
    m_bModesKnown = false;
    m_fd = fd;
    m_bDuplicate = false;
    m_lastError.clear();
    return true;
}

bool CSerialDevice::OpenDuplicate(const CSerialDevice& opener) {
    m_hint.clear();
    if (m_fd >= 0) {
        SetError(m_path, EBUSY);
        return false;
    }
    m_path = opener.m_path;
    if (!EnsureWakeFds()) {
        SetError("eventfd", errno);
        return false;
    }
    DrainEventFd(m_wakeFd);
    m_abort.Reset();
    const int fd = opener.m_fd >= 0 ? fcntl(opener.m_fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (fd < 0) {
        SetError(m_path, opener.m_fd >= 0 ? errno : EBADF);
        return false;
    }
    m_mask.store(0);
    m_bModesKnown = false;
    m_fd = fd;
    m_bDuplicate = true;
    m_lastError.clear();
    return true;
}

void CSerialDevice::Abort() {
    m_abort.Raise();
}

bool CSerialDevice::IsAborted() {
    return m_abort.IsRaised();
}

void CSerialDevice::Close() {
    if (m_fd < 0)
        return;
    Abort();
    if (!m_bDuplicate) {
        ioctl(m_fd, TIOCNXCL);  // the flag outlives us on a tty that someone else keeps open
        // Released explicitly: a duplicate that a reader thread still holds keeps the open file
        // (and with it the lock) alive, and the port must open again at once.
        flock(m_fd, LOCK_UN);
    }
    ::close(m_fd);
    m_fd = -1;
    m_bDuplicate = false;
    m_bModesKnown = false;
    m_mask.store(0);
    m_abort.Reset();
    DrainEventFd(m_wakeFd);
}

Result CSerialDevice::Fail(const std::string& what, int err) {
    SetError(what, err);
    return Result::Fail(m_lastError, m_lastError, err);
}

template <class Change>
Result CSerialDevice::ChangeModes(const std::string& what, Change change) {
    if (m_fd < 0)
        return Fail(what, EBADF);
    if (!m_bModesKnown) {
        if (int err = GetTtyModes(m_fd, m_appliedModes))
            return Fail(m_path, err);  // ENOTTY: no tty, so no line settings
        m_bModesKnown = true;
    }
    TtyModes next = m_appliedModes;
    if (int err = change(next))
        return Fail(m_path + " (" + what + ")", err);
    if (int err = SetTtyModes(m_fd, next))
        return Fail(m_path + " (" + what + ")", err);
    m_appliedModes = next;
    m_lastError.clear();
    m_lastErrno = 0;
    return Result::Ok();
}

Result CSerialDevice::SetRaw() {
    return ChangeModes("raw line", [](TtyModes& m) {
        // Xon/Xoff (IXON, IXOFF), the start and stop characters, RTS/CTS (CRTSCTS) and the
        // parity check of received bytes (INPCK) stay as they are: the first three are flow
        // control's, the last the tty's own.
        m.iflag &=
            ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY | IMAXBEL);
        m.oflag &= ~OPOST;
        m.lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
        m.cflag |= CLOCAL | CREAD;
        m.vmin = 0;
        m.vtime = 0;
        return 0;
    });
}

Result CSerialDevice::SetBaud(uint32_t baud) {
    const std::string what = std::to_string(baud) + " baud";
    if (m_fd < 0)
        return Fail(what, EBADF);
    if (int err = SetTtyBaud(m_fd, baud))  // EINVAL for 0: B0 would hang up the line
        return Fail(m_path + " (" + what + ")", err);
    m_lastError.clear();
    m_lastErrno = 0;
    return Result::Ok();
}

Result CSerialDevice::SetDataBits(int bits) {
    return ChangeModes(std::to_string(bits) + " data bits", [bits](TtyModes& m) {
        tcflag_t size;
        switch (bits) {
            case 5:
                size = CS5;
                break;
            case 6:
                size = CS6;
                break;
            case 7:
                size = CS7;
                break;
            case 8:
                size = CS8;
                break;
            default:
                return EINVAL;
        }
        m.cflag = (m.cflag & ~CSIZE) | size;
        return 0;
    });
}

Result CSerialDevice::SetParity(Parity parity) {
    return ChangeModes("parity", [parity](TtyModes& m) {
        tcflag_t flags;
        switch (parity) {
            case Parity::None:
                flags = 0;
                break;
            case Parity::Odd:
                flags = PARENB | PARODD;
                break;
            case Parity::Even:
                flags = PARENB;
                break;
            case Parity::Mark:
                flags = PARENB | CMSPAR | PARODD;
                break;
            case Parity::Space:
                flags = PARENB | CMSPAR;
                break;
            default:
                return EINVAL;
        }
        m.cflag = (m.cflag & ~(PARENB | PARODD | CMSPAR)) | flags;
        return 0;
    });
}

Result CSerialDevice::SetStopBits(StopBits stopBits) {
    return ChangeModes("stop bits", [stopBits](TtyModes& m) {
        switch (stopBits) {
            case StopBits::One:
                m.cflag &= ~CSTOPB;
                return 0;
            case StopBits::Two:
                m.cflag |= CSTOPB;  // with 5 data bits a UART sends 1.5 stop bits for this
                return 0;
        }
        return EINVAL;
    });
}

Result CSerialDevice::SetFlowControl(FlowControl flow) {
    Result r = ChangeModes("flow control", [flow](TtyModes& m) {
        switch (flow) {
            case FlowControl::XonXoff:
                m.iflag |= IXON | IXOFF;
                m.vstart = XON_CHAR;
                m.vstop = XOFF_CHAR;
                return 0;
            case FlowControl::Hardware:
                // Linux has one flag for both halves of the RTS/CTS handshake: with it the
                // kernel waits for CTS before sending and drives RTS from the room in its input
                // buffer.
                m.cflag |= CRTSCTS;
                return 0;
            case FlowControl::None:
                m.iflag &= ~(IXON | IXOFF);
                m.cflag &= ~CRTSCTS;
                m.vstart = 0;  // no start and stop characters at all
                m.vstop = 0;
                return 0;
        }
        return EINVAL;
    });
    if (!r || flow == FlowControl::XonXoff)
        return r;
    // Hardware: Linux has no DTR/DSR input handshake, so DTR is raised and left up, which tells
    // the peer we are ready, as the handshake does while our buffer has room; under CRTSCTS the
    // kernel drives RTS, and raising it here is what the kernel does anyway. None: both dropped.
    // A pty has no modem lines at all; that is not a failure.
    const bool raise = flow == FlowControl::Hardware;
    int err = SetModemLine(m_fd, TIOCM_DTR, raise);
    if (!err)
        err = SetModemLine(m_fd, TIOCM_RTS, raise);
    if (err)
        return Fail(m_path + " (modem lines)", err);
    return r;
}

bool CSerialDevice::SetCommMask(uint32_t mask) {
    // Called by the receive thread too, so it records no error text.
    if (m_fd < 0)
        return false;
    m_mask.store(mask);
    m_maskGeneration.fetch_add(1);
    const uint64_t one = 1;
    while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    return true;
}

bool CSerialDevice::PurgeComm(uint32_t flags) {
    if (m_fd < 0) {
        SetError("PurgeComm", EBADF);
        return false;
    }
    const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
    const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
    if (!tx && !rx)
        return true;
    if (tcflush(m_fd, tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH)) != 0) {
        SetError(m_path, errno);
        return false;
    }
    return true;
}

bool CSerialDevice::WaitForWake(uint64_t generation, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {m_abort.Fd(), POLLIN, 0}};
        const int rc = poll(fds, 2, static_cast<int>(left));
        if (rc < 0 && errno != EINTR)
            return false;
        if (rc <= 0)
            continue;
        if (fds[1].revents)
            return true;
        if (fds[0].revents) {
            DrainEventFd(m_wakeFd);
            if (m_maskGeneration.load() != generation)
                return true;
        }
    }
}

void CSerialDevice::WaitForAbort() {
    while (!IsAborted()) {
        pollfd fd{m_abort.Fd(), POLLIN, 0};
        if (poll(&fd, 1, -1) < 0 && errno != EINTR)
            return;
        if (fd.revents)
            return;
    }
}

bool CSerialDevice::WaitCommEvent(uint32_t& mask) {
    mask = 0;
    m_hangupReason.clear();
    const uint64_t generation = m_maskGeneration.load();
    if (m_fd < 0) {
        WaitForWake(generation, kHangupBackoffMs);  // misuse, but never a spin
        return false;
    }
    for (;;) {
        if (IsAborted())
            return true;
        const bool wantRx = (m_mask.load() & EV_RXCHAR) != 0;
        pollfd fds[3] = {{m_wakeFd, POLLIN, 0}, {m_abort.Fd(), POLLIN, 0}, {m_fd, POLLIN, 0}};
        const int rc = poll(fds, wantRx ? 3 : 2, -1);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            WaitForWake(generation, kHangupBackoffMs);
            return false;
        }
        if (fds[1].revents)
            return true;
        if (fds[0].revents) {
            // A wake from a mask change made before this wait began (the receive thread's own
            // SetCommMask, say) does not end it.
            DrainEventFd(m_wakeFd);
            if (m_maskGeneration.load() != generation)
                return true;
            continue;
        }
        if (!wantRx || !fds[2].revents)
            continue;
        const bool hungUp = fds[2].revents & (POLLHUP | POLLERR | POLLNVAL);
        if (!hungUp && QueuedInput() > 0) {
            mask = EV_RXCHAR;
            return true;
        }
        // Hung up, or readable with nothing to read (a pty whose master has gone says POLLIN
        // forever): pause before answering, unless the mask changes or the port closes.
        if (WaitForWake(generation, kHangupBackoffMs))
            return true;
        if (QueuedInput() > 0) {
            mask = EV_RXCHAR;
            return true;
        }
        if (hungUp) {
            m_hangupReason = "device hung up";
        } else {
            // Readable with nothing to read: hung up when the tty no longer answers (EIO).
            termios tio{};
            if (tcgetattr(m_fd, &tio) != 0)
                m_hangupReason = std::string("device hung up (") + std::strerror(errno) + ")";
        }
        return false;
    }
}

uint32_t CSerialDevice::QueuedInput() {
    int queued = 0;
    if (m_fd < 0 || ioctl(m_fd, FIONREAD, &queued) != 0 || queued < 0)
        return 0;
    return static_cast<uint32_t>(queued);
}

int CSerialDevice::Read(void* buf, uint32_t capacity) {
    if (m_fd < 0)
        return -1;
    const size_t count = std::min<uint32_t>(capacity, INT_MAX);
    for (;;) {
        const ssize_t n = ::read(m_fd, buf, count);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        return errno == EAGAIN ? 0 : -1;
    }
}

int CSerialDevice::Write(const void* buf, uint32_t length, int64_t timeLimitMs,
                         const AbortSignal* abort) {
    if (m_fd < 0)
        return -1;
    using Clock = std::chrono::steady_clock;
    const bool bounded = timeLimitMs >= 0;
    const int64_t limitMs = bounded ? timeLimitMs : 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    const auto* bytes = static_cast<const unsigned char*>(buf);
    const uint32_t total = std::min<uint32_t>(length, INT_MAX);
    uint32_t done = 0;
    while (done < total && !IsAborted() && !(abort && abort->IsRaised())) {
        const Stamp before = Stamp::Now();  // a write is stamped as it starts
        const ssize_t n = ::write(m_fd, bytes + done, total - done);
        if (n > 0) {
            m_traffic.Report(TrafficKind::SerialTx, before, bytes + done, static_cast<size_t>(n));
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return done > 0 ? static_cast<int>(done) : -1;
        // The output queue is full (or flow control holds it): wait for room, the time limit
        // or Abort().
        int waitMs = -1;
        if (bounded) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0)
                break;
            waitMs = static_cast<int>(std::min<long long>(left, INT_MAX));
        }
        pollfd fds[3] = {{m_fd, POLLOUT, 0}, {m_abort.Fd(), POLLIN, 0}, {-1, POLLIN, 0}};
        if (abort)
            fds[2].fd = abort->Fd();
        const int rc = poll(fds, 3, waitMs);
        if (rc < 0 && errno != EINTR)
            break;
        if (rc > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) &&
            !(fds[0].revents & POLLOUT))
            return done > 0 ? static_cast<int>(done) : -1;
    }
    return static_cast<int>(done);
}

}  // namespace platform
