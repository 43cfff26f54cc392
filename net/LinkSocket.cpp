#include "net/LinkSocket.h"

#include <sys/socket.h>

#include <cerrno>

int CLinkSocket::Receive(void* buf, int len, int flags) {
    return CAsyncSocket::Receive(buf, len, flags);
}

int CLinkSocket::Send(const void* buf, int len, int flags) {
    return CAsyncSocket::Send(buf, len, flags);
}

bool CLinkSocket::SetBlocking(bool on) {
    if (on) {
        AsyncSelect(false);
        return SetNonBlocking(false);
    }
    AsyncSelect(true);
    return SetNonBlocking(true);
}

void CLinkSocket::OnAccept(int errorCode) {
    if (m_pOwner) {
        m_pOwner->LinkAccept(*this);
        return;
    }
    CLinkSocket stray;
    Accept(stray);
    CAsyncSocket::OnAccept(errorCode);
}

void CLinkSocket::OnReceive(int errorCode) {
    if (IsDatagram()) {
        // One datagram per notification, read whole: each is one chunk for the owner.
        if (m_datagram.empty())
            m_datagram.resize(LINK_DATAGRAM_MAX + 1);
        const int n = Receive(m_datagram.data(), LINK_DATAGRAM_MAX + 1, MSG_DONTWAIT);
        const platform::Stamp at = platform::Stamp::Now();
        if (!m_pOwner)
            return;
        if (n < 0) {
            const int err = LastErrno();
            if (err != EAGAIN && err != EWOULDBLOCK)
                m_pOwner->LinkDatagramError(*this, err);
            return;
        }
        if (n > 0)
            m_pOwner->LinkReceive(*this, m_datagram.data(), n, at);
        return;
    }
    unsigned char buf[LINK_RECEIVE_CHUNK + 1];
    // One read: what is left after a full one is notified again (the notifier is
    // level-triggered), and a read that meets the close has it delivered once this returns.
    const int n = Receive(buf, LINK_RECEIVE_CHUNK, 0);
    const platform::Stamp at = platform::Stamp::Now();
    if (n <= 0 || !m_pOwner) {
        CAsyncSocket::OnReceive(errorCode);
        return;
    }
    m_pOwner->LinkReceive(*this, buf, n, at);
}

void CLinkSocket::OnClose(int errorCode) {
    if (m_pOwner) {
        m_pOwner->LinkClose(*this, errorCode);
        return;
    }
    CAsyncSocket::OnClose(errorCode);
}

void CLinkSocket::OnConnect(int errorCode) {
    if (m_pOwner) {
        m_pOwner->LinkConnect(*this, errorCode);
        return;
    }
    CAsyncSocket::OnConnect(errorCode);
}
