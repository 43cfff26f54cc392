#include "platform/File.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace platform {

bool CFile::OpenRead(const std::string& path) {
    Close();
    // O_NONBLOCK only for the open itself: a FIFO must not hang the caller before the check below.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        m_lastError = std::strerror(errno);
        return false;
    }
    // Only regular files have a length to announce and an end: a directory, FIFO or device
    // (say /dev/zero) would send a wrong length or never end.
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_lastError = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
        ::close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // A reader shares with other readers but not with a writer that holds the file.
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        m_lastError = std::strerror(errno);
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool CFile::OpenCreateWrite(const std::string& path) {
    Close();
    // Not O_TRUNC at open: a file that someone else holds must not lose its content before the
    // lock has been checked. O_NONBLOCK only for the open itself: a FIFO without a reader fails
    // (ENXIO) instead of blocking the caller forever; writes block as usual. O_NOFOLLOW: the
    // name is predictable, so a symbolic link planted under it fails the open (ELOOP) instead
    // of having its target truncated and overwritten.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0644);
    if (fd < 0) {
        m_lastError = std::strerror(errno);
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_lastError = std::strerror(errno);
        ::close(fd);
        return false;
    }
    // Only a regular file is truncated, as O_TRUNC would do: ftruncate fails with EINVAL on a
    // device or a FIFO, which are opened for writing as they are.
    struct stat st {};
    if (fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0)) {
        m_lastError = std::strerror(errno);
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

long CFile::Read(void* buf, unsigned long count) {
    if (m_fd < 0)
        return -1;
    for (;;) {
        ssize_t n = ::read(m_fd, buf, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            m_lastError = std::strerror(errno);
        return static_cast<long>(n);
    }
}

bool CFile::Write(const void* buf, unsigned long count) {
    if (m_fd < 0) {
        m_lastError = std::strerror(EBADF);
        return false;
    }
    auto* p = static_cast<const char*>(buf);
    while (count > 0) {
        ssize_t n = ::write(m_fd, p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_lastError = std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        p += n;
        count -= static_cast<unsigned long>(n);
    }
    return true;
}

int64_t CFile::GetLength() const {
    struct stat st {};
    if (m_fd < 0 || fstat(m_fd, &st) != 0)
        return -1;
    return st.st_size;
}

bool CFile::IsLinked() {
    struct stat st {};
    if (m_fd < 0 || fstat(m_fd, &st) != 0) {
        m_lastError = std::strerror(m_fd < 0 ? EBADF : errno);
        return false;
    }
    if (st.st_nlink == 0) {
        m_lastError = "the file or its folder was removed while it was being written";
        return false;
    }
    return true;
}

void CFile::TruncateTo(int64_t length) {
    struct stat st {};
    if (m_fd >= 0 && fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > length)
        (void)!ftruncate(m_fd, length);
}

void CFile::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);  // also releases the lock
        m_fd = -1;
    }
}

}  // namespace platform
