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
#include <map>

#include "platform/PortMap.h"
#include "platform/SerialBaud.h"

namespace platform {
namespace {

// How long a wait on a hung-up device pauses before it reports back, so that a receive loop
// around it runs a handful of times a second instead of spinning.
constexpr int kHangupBackoffMs = 200;

// The DCB fields termios cannot hold, remembered per device so that they keep the values the
// program last gave them, as a Windows driver keeps them between opens.
struct RememberedState {
    std::mutex lock;
    std::map<std::string, DCB> byDevice;
};

RememberedState& Remembered() {
    static RememberedState state;
    return state;
}

bool LookupRemembered(const std::string& key, DCB& dcb) {
    auto& state = Remembered();
    std::lock_guard lock(state.lock);
    auto it = state.byDevice.find(key);
    if (it == state.byDevice.end())
        return false;
    dcb = it->second;
    return true;
}

void StoreRemembered(const std::string& key, const DCB& dcb) {
    auto& state = Remembered();
    std::lock_guard lock(state.lock);
    state.byDevice[key] = dcb;
}

// A device without modem lines (a pty, a USB gadget) answers the modem ioctls with one of these.
bool IsNoModemLines(int err) {
    return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP || err == 515 /* ENOIOCTLCMD */;
}

int SetModemLine(int fd, int line, bool raise) {
    if (ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &line) == 0)
        return 0;
    return IsNoModemLines(errno) ? 0 : errno;
}

tcflag_t ByteSizeFlag(uint8_t byteSize) {
    switch (byteSize) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

uint8_t ByteSizeFromFlags(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

bool IsValidLineSetting(const DCB& dcb) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY)
        return false;
    if (dcb.StopBits == ONE5STOPBITS)
        return dcb.ByteSize == 5;  // a UART gives 1.5 stop bits only with 5 data bits
    return dcb.StopBits == ONESTOPBIT || dcb.StopBits == TWOSTOPBITS;
}

}  // namespace

std::string ResolvePortName(const std::string& name) {
    const bool isComName = name.size() >= 4 && name.size() <= 6 &&
                           std::tolower(static_cast<unsigned char>(name[0])) == 'c' &&
                           std::tolower(static_cast<unsigned char>(name[1])) == 'o' &&
                           std::tolower(static_cast<unsigned char>(name[2])) == 'm' &&
                           name[3] >= '1' && name[3] <= '9' &&
                           std::all_of(name.begin() + 3, name.end(), [](char c) {
                               return std::isdigit(static_cast<unsigned char>(c)) != 0;
                           });
    return isComName ? ResolveComPort(std::stoi(name.substr(3))) : name;
}

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
    m_path = ResolvePortName(portName);
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
    struct stat st {};
    fstat(fd, &st);
    char real[PATH_MAX];
    const std::string canonical = realpath(m_path.c_str(), real) ? real : m_path;
    m_deviceKey = canonical + "|" + std::to_string(st.st_rdev) + "|" +
                  std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
    m_mask.store(0);
    m_fd = fd;
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
    ioctl(m_fd, TIOCNXCL);  // the flag outlives us on a tty that someone else keeps open
    ::close(m_fd);          // also releases the flock
    m_fd = -1;
    m_mask.store(0);
    m_abort.Reset();
    DrainEventFd(m_wakeFd);
}

// The device's current termios; false with the reason set when it is closed or not a tty.
bool CSerialDevice::ReadTermios(const char* operation, termios& tio) {
    if (m_fd < 0) {
        SetError(operation, EBADF);
        return false;
    }
    if (tcgetattr(m_fd, &tio) != 0) {
        SetError(m_path, errno);
        return false;
    }
    return true;
}

bool CSerialDevice::GetCommState(DCB& dcb) {
    termios tio{};
    if (!ReadTermios("GetCommState", tio))
        return false;
    DCB out;
    if (!LookupRemembered(m_deviceKey, out)) {
        // First sight of this device: the line levels are the driver's DTR/RTS setting.
        int lines = 0;
        if (ioctl(m_fd, TIOCMGET, &lines) == 0) {
            out.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            out.fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        }
    }
    out.DCBlength = dcb.DCBlength;
    uint32_t baud = 0;
    if (GetTtyBaud(m_fd, baud) == 0 && baud != 0)
        out.BaudRate = baud;
    out.fBinary = 1;  // the line is always raw
    out.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    out.ByteSize = ByteSizeFromFlags(tio.c_cflag);
    if (!(tio.c_cflag & PARENB))
        out.Parity = NOPARITY;
    else if (tio.c_cflag & CMSPAR)
        out.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        out.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(tio.c_cflag & CSTOPB))
        out.StopBits = ONESTOPBIT;
    else if (out.StopBits != ONE5STOPBITS)
        out.StopBits = TWOSTOPBITS;
    out.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    out.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    out.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    out.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    // CRTSCTS is both directions of the RTS/CTS handshake; the record keeps which half the
    // program asked for while the flag agrees with it.
    if (tio.c_cflag & CRTSCTS) {
        if (!out.fOutxCtsFlow && out.fRtsControl != RTS_CONTROL_HANDSHAKE) {
            out.fOutxCtsFlow = 1;
            out.fRtsControl = RTS_CONTROL_HANDSHAKE;
        }
    } else {
        out.fOutxCtsFlow = 0;
        if (out.fRtsControl == RTS_CONTROL_HANDSHAKE)
            out.fRtsControl = RTS_CONTROL_ENABLE;
    }
    dcb = out;
    return true;
}

bool CSerialDevice::SetCommState(const DCB& dcb) {
    termios tio{};
    if (!ReadTermios("SetCommState", tio))
        return false;
    if (!IsValidLineSetting(dcb)) {
        SetError(m_path + " (line settings)", EINVAL);
        return false;
    }
    // Raw: no line editing, no translation, no signals; reads return at once (VMIN = VTIME = 0).
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON |
                     IXOFF | IXANY | IMAXBEL | INPCK);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | ByteSizeFlag(dcb.ByteSize);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    switch (dcb.Parity) {
        case ODDPARITY:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            tio.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb.fParity)
        tio.c_iflag |= INPCK;
    if (dcb.StopBits != ONESTOPBIT)
        tio.c_cflag |= CSTOPB;  // with 5 data bits a UART sends 1.5 stop bits for this

    if (dcb.fOutX)
        tio.c_iflag |= IXON;
    if (dcb.fInX)
        tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    // Linux has one flag for both halves of the RTS/CTS handshake: with it the kernel both
    // waits for CTS before sending and drives RTS from the state of its input buffer, whatever
    // the DCB says about RTS otherwise.
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fOutxCtsFlow)
        tio.c_cflag |= CRTSCTS;

    TtyModes modes;
    modes.iflag = tio.c_iflag;
    modes.oflag = tio.c_oflag;
    modes.cflag = tio.c_cflag;
    modes.lflag = tio.c_lflag;
    modes.vmin = tio.c_cc[VMIN];
    modes.vtime = tio.c_cc[VTIME];
    modes.vstart = tio.c_cc[VSTART];
    modes.vstop = tio.c_cc[VSTOP];
    if (int err = SetTtyModes(m_fd, modes, dcb.BaudRate)) {
        SetError(m_path + " (" + std::to_string(dcb.BaudRate) + " baud)", err);
        return false;
    }
    m_appliedModes = modes;
    // DTR: Linux has no DTR/DSR input handshake, so "handshake" raises DTR and leaves it up,
    // which tells the peer we are ready, as the handshake does while our buffer has room.
    // RTS: under CRTSCTS the kernel drives it; raising it here is what the kernel does anyway.
    // A pty has no modem lines at all; that is not a failure.
    int err = SetModemLine(m_fd, TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    if (!err)
        err = SetModemLine(m_fd, TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE);
    if (err) {
        SetError(m_path + " (modem lines)", err);
        return false;
    }
    StoreRemembered(m_deviceKey, dcb);
    return true;
}

bool CSerialDevice::SetupComm(uint32_t inQueue, uint32_t outQueue) {
    if (m_fd < 0) {
        SetError("SetupComm", EBADF);
        return false;
    }
    m_inQueue = inQueue;
    m_outQueue = outQueue;
    return true;
}

bool CSerialDevice::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
    if (m_fd < 0)
        return false;
    std::lock_guard lock(m_timeoutsLock);
    m_timeouts = timeouts;
    return true;
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

int CSerialDevice::Write(const void* buf, uint32_t length, int maxWaitMs,
                         const AbortSignal* abort) {
    if (m_fd < 0)
        return -1;
    using Clock = std::chrono::steady_clock;
    COMMTIMEOUTS timeouts;
    {
        std::lock_guard lock(m_timeoutsLock);
        timeouts = m_timeouts;
    }
    uint64_t limitMs = static_cast<uint64_t>(timeouts.WriteTotalTimeoutMultiplier) * length +
                       timeouts.WriteTotalTimeoutConstant;
    bool bounded = limitMs != 0;
    if (maxWaitMs >= 0) {
        limitMs = bounded ? std::min<uint64_t>(limitMs, static_cast<uint64_t>(maxWaitMs))
                          : static_cast<uint64_t>(maxWaitMs);
        bounded = true;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    const auto* bytes = static_cast<const unsigned char*>(buf);
    const uint32_t total = std::min<uint32_t>(length, INT_MAX);
    uint32_t done = 0;
    while (done < total && !IsAborted() && !(abort && abort->IsRaised())) {
        const ssize_t n = ::write(m_fd, bytes + done, total - done);
        if (n > 0) {
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
