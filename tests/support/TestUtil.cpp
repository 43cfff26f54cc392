#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <termios.h>
#include <unistd.h>

namespace testutil {

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (timer.elapsed() > timeoutMs)
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

void Pump(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

PtyPair::PtyPair() {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    slavePath = name;
    // Raw on both sides so that every byte passes unchanged.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
    CloseMaster();
    if (slave >= 0)
        close(slave);
}

void PtyPair::CloseMaster() {
    if (master >= 0)
        close(master);
    master = -1;
}

void PtyPair::Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{master, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0)
            throw std::runtime_error("pty write failed");
        done += static_cast<size_t>(n);
    }
}

std::string PtyPair::Read(size_t count, int timeoutMs) {
    std::string out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < count && timer.elapsed() < timeoutMs) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            ssize_t n = ::read(master, buf, std::min(sizeof buf, count - out.size()));
            if (n > 0)
                out.append(buf, static_cast<size_t>(n));
        }
        QCoreApplication::processEvents();
    }
    return out;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/vaskel-test-XXXXXX";
    char* p = mkdtemp(tmpl);
    if (!p)
        throw std::runtime_error("mkdtemp failed");
    path = std::string(p) + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

RecordingSeam::RecordingSeam() { platform::SetUiSeam(this); }
RecordingSeam::~RecordingSeam() { platform::SetUiSeam(nullptr); }

void RecordingSeam::ShowMessage(const std::string& text, const std::string& detail) {
    messages.push_back(text);
    details.push_back(detail);
    if (onMessage)
        onMessage(text);
}

std::optional<platform::FileChoice> RecordingSeam::ChooseOpenFile(const std::string& filter) {
    filters.push_back(filter);
    return nextFile;
}

int OpenFdCount() {
    int count = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

}  // namespace testutil
