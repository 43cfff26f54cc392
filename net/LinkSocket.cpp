#include "net/LinkSocket.h"

int CLinkSocket::Receive(void* buf, int len, int flags) {
    return CAsyncSocket::Receive(buf, len, flags);
}

int CLinkSocket::Send(const void* buf, int len, int flags) {
    return CAsyncSocket::Send(buf, len, flags);
}

bool CLinkSocket::SetBlocking(bool on) {
    if (on) {
        AsyncSelect(0);
        return SetNonBlocking(false);
    }
    AsyncSelect(platform::FD_ALL_EVENTS);
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
    unsigned char buf[LINK_RECEIVE_CHUNK + 1];
    const int n = Receive(buf, LINK_RECEIVE_CHUNK, 0);
    const platform::Stamp at = platform::Stamp::Now();
    if (n <= 0 || !m_pOwner) {
        CAsyncSocket::OnReceive(errorCode);
        return;  // a close arrives separately
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
