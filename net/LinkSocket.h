// The TCP socket of the network console, in all three roles: client link, listening socket and
// accepted peer. The role is nothing but the slot of the main dialog that holds the object.
#pragma once

#include <string>
#include <thread>

#include "platform/AsyncSocket.h"
#include "transfer/Capture.h"

class CLinkSocket : public platform::CAsyncSocket, public CCaptureFields {
public:
    CLinkSocket() = default;
    // Waits for a running file-send worker, closes the capture file, then the socket.
    ~CLinkSocket() override;

    int Receive(void* buf, int len, int flags = 0) override;
    int Send(const void* buf, int len, int flags = 0) override;

    // Connects to dotted IPv4 text and a port within timeoutMs; false for a refused, failed or
    // late connection. The socket stays non-blocking.
    bool ConnectWithTimeout(const std::string& address, unsigned port, int timeoutMs);
    // on: no notifications, blocking mode; off: all notifications, non-blocking mode.
    bool SetBlocking(bool on);

    // Starts the file-send worker on `path` (see transfer/FileSend.h). True on success.
    bool StartFileSend(const std::string& path);
    // Waits for a running file-send worker; if it is still blocked in a send after graceMs,
    // makes that send give up first.
    void JoinSendThread(int graceMs = 0);

    void OnAccept(int errorCode) override;
    void OnReceive(int errorCode) override;
    void OnClose(int errorCode) override;

    std::string m_strSendPath;
    std::thread m_hSendThread;
    std::atomic<bool> m_bSendThreadRunning{false};
};
