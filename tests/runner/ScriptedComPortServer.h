// A device server that speaks Telnet with the Com Port Control option as the test scripts it:
// it listens on a loopback port, serves one connection at a time on a thread of its own, agrees
// to the option (or refuses it), answers each command as told (the value asked, another value,
// or nothing) and sends modem-state notifications when the test asks for them.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "net/Telnet.h"
#include "support/TestUtil.h"

class ScriptedComPortServer {
public:
    using Bytes = telnet::Bytes;
    // Given a command's payload (subcommand first), the payload of the answer (subcommand as
    // the client's; the server's offset is added) or nothing for no answer. Runs on the server's
    // thread.
    using Answer = std::function<std::optional<Bytes>(const Bytes& command)>;

    // `agree`: DO or DONT to the client's WILL COM-PORT-OPTION.
    explicit ScriptedComPortServer(bool agree = true, Answer answer = Echo)
        : m_agree(agree), m_answer(std::move(answer)) {
        m_listener = testutil::ListenLoopback(&m_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedComPortServer() {
        m_stop = true;
        m_thread.join();
        if (m_conn >= 0)
            ::close(m_conn);
        ::close(m_listener);
    }
    ScriptedComPortServer(const ScriptedComPortServer&) = delete;
    ScriptedComPortServer& operator=(const ScriptedComPortServer&) = delete;

    // Every command answered with the value asked.
    static std::optional<Bytes> Echo(const Bytes& command) { return command; }

    int Port() const { return m_port; }
    // Sends NOTIFY-MODEMSTATE with `bits` on the connection in use (any thread); false when there
    // is none.
    bool NotifyModem(uint8_t bits) {
        return Send(telnet::Subnegotiation(
            telnet::OPT_COM_PORT, {comport::NOTIFY_MODEMSTATE + comport::SERVER_OFFSET, bits}));
    }
    // Commands received so far (payloads, subcommand first).
    std::vector<Bytes> Commands() const {
        std::lock_guard<std::mutex> hold(m_sendLock);
        return m_commands;
    }

private:
    bool Send(const Bytes& bytes) {
        std::lock_guard<std::mutex> hold(m_sendLock);
        if (m_conn < 0)
            return false;
        testutil::SendAll(m_conn, std::string(bytes.begin(), bytes.end()));
        return true;
    }

    void Serve() {
        telnet::Receiver receiver;
        while (!m_stop) {
            const int fd = m_conn.load();
            pollfd p{fd >= 0 ? fd : m_listener, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            if (fd < 0) {
                const int conn = ::accept(m_listener, nullptr, nullptr);
                if (conn >= 0) {
                    receiver.Reset();
                    std::lock_guard<std::mutex> hold(m_sendLock);
                    m_conn = conn;
                }
                continue;
            }
            uint8_t buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                std::lock_guard<std::mutex> hold(m_sendLock);
                ::close(m_conn);
                m_conn = -1;
                continue;
            }
            Bytes data;
            std::vector<telnet::Event> events;
            receiver.Feed(buf, static_cast<size_t>(n), data, events);
            for (const telnet::Event& e : events)
                Handle(e);
        }
    }

    void Handle(const telnet::Event& e) {
        using telnet::Event;
        if (e.kind == Event::Kind::Negotiation && e.verb == telnet::WILL &&
            e.option == telnet::OPT_COM_PORT) {
            Send(telnet::Negotiation(m_agree ? telnet::DO : telnet::DONT, telnet::OPT_COM_PORT));
            return;
        }
        if (e.kind != Event::Kind::Subnegotiation || e.option != telnet::OPT_COM_PORT ||
            e.payload.empty())
            return;
        {
            std::lock_guard<std::mutex> hold(m_sendLock);
            m_commands.push_back(e.payload);
        }
        std::optional<Bytes> answer = m_answer(e.payload);
        if (!answer || answer->empty())
            return;
        (*answer)[0] = static_cast<uint8_t>((*answer)[0] + comport::SERVER_OFFSET);
        Send(telnet::Subnegotiation(telnet::OPT_COM_PORT, *answer));
    }

    const bool m_agree;
    const Answer m_answer;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<int> m_conn{-1};
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_sendLock;  // guards sends on m_conn, its replacement, m_commands
    std::vector<Bytes> m_commands;
    std::thread m_thread;
};
