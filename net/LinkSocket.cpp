#include "net/LinkSocket.h"

#include <chrono>

namespace {

// How long the destructor lets a file-send worker finish on its own before cutting its Send
// short; the worker's first wait is 1000 ms, so a fresh worker ends within this too.
constexpr int DESTROY_GRACE_MS = 2000;

}  // namespace

CLinkSocket::~CLinkSocket() {
    JoinSendThread(DESTROY_GRACE_MS);
    if (m_fileCapture.IsOpen())
        m_fileCapture.Close();
    // The socket is closed by the base destructor.
}

int CLinkSocket::Receive(void* buf, int len, int flags) {
    return CAsyncSocket::Receive(buf, len, flags);
}

int CLinkSocket::Send(const void* buf, int len, int flags) {
    return CAsyncSocket::Send(buf, len, flags);
}

// Waits for writability and then asks SO_ERROR, so a refused connection is false as soon as the
// refusal arrives rather than at the end of the time-out.
bool CLinkSocket::ConnectWithTimeout(const std::string& address, unsigned port, int timeoutMs) {
    if (!SetNonBlocking(true))
        return false;
    if (!ConnectStart(address, port))
        return false;
    return WaitConnected(timeoutMs);
}

bool CLinkSocket::SetBlocking(bool on) {
    if (on) {
        AsyncSelect(0);
        return SetNonBlocking(false);
    }
    AsyncSelect(platform::FD_ALL_EVENTS);
    return SetNonBlocking(true);
}

void CLinkSocket::JoinSendThread(int graceMs) {
    if (!m_hSendThread.joinable())
        return;
    if (m_hSendThread.get_id() == std::this_thread::get_id())
        return;  // the worker itself: joining would deadlock
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(graceMs);
    while (m_bSendThreadRunning && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Still running: most likely blocked in a Send to a peer that does not read. The abort makes
    // that Send (and any later one of this worker) fail, so the worker reaches its end.
    if (m_bSendThreadRunning)
        AbortSend();
    m_hSendThread.join();
    AbortSend(false);
}
