// The socket of the network console, in all its roles: TCP client link, listening socket and
// accepted peer, or a UDP socket (a client link with a fixed peer, or Server Mode's socket that
// answers the last sender). The role is nothing but the slot of the network console that holds the
// object; the socket reports its notifications to that console, its owner.
#pragma once

#include <string>
#include <vector>

#include "platform/AsyncSocket.h"
#include "platform/Traffic.h"

class CLinkSocket;

// What a link socket reports to its owner (UI thread). A handler may destroy the socket that
// called it; the socket touches nothing of itself afterwards.
class ILinkOwner {
public:
    virtual ~ILinkOwner() = default;
    // A connection waits on a listening socket.
    virtual void LinkAccept(CLinkSocket& listener) = 0;
    // Bytes arrived on a link (n >= 1), read at `at`.
    virtual void LinkReceive(CLinkSocket& link, const unsigned char* bytes, int n,
                             const platform::Stamp& at) = 0;
    // The far end closed (or reset) the link.
    virtual void LinkClose(CLinkSocket& link, int errorCode) = 0;
    // The outcome of the link's Connect(): 0 when connected, else the errno of the failure.
    virtual void LinkConnect(CLinkSocket& link, int errorCode) = 0;
    // A datagram socket's receive failed (errno): on a UDP link with a fixed peer, ECONNREFUSED
    // is the ICMP "port unreachable" that an earlier datagram brought back.
    virtual void LinkDatagramError(CLinkSocket& link, int errorCode) {
        (void)link;
        (void)errorCode;
    }
};

// At most what a receive history keeps: one notification reads up to this many bytes.
constexpr int LINK_RECEIVE_CHUNK = 2047;
// A UDP datagram is read whole, however long: up to the largest IPv4 datagram's payload.
constexpr int LINK_DATAGRAM_MAX = 65507;

// Each receive notification makes one read (no peek first); the far end's close that a read
// meets is told to the owner right after.
class CLinkSocket : public platform::CAsyncSocket {
public:
    explicit CLinkSocket(ILinkOwner* owner = nullptr)
        : CAsyncSocket(ReadNotice::HandlerReads), m_pOwner(owner) {}

    int Receive(void* buf, int len, int flags = 0) override;
    int Send(const void* buf, int len, int flags = 0) override;

    // on: no notifications, blocking mode; off: all notifications, non-blocking mode.
    bool SetBlocking(bool on);

    // Without an owner a listener still takes each connection off its queue and closes it, or
    // the socket would stay readable and notify without end.
    void OnAccept(int errorCode) override;
    void OnReceive(int errorCode) override;
    void OnClose(int errorCode) override;
    void OnConnect(int errorCode) override;

private:
    ILinkOwner* m_pOwner;
    std::vector<unsigned char> m_datagram;  // a datagram socket's read buffer, made on first use
};
