// Reconnect automatically: after the device server closed the client link, or it was lost, the
// same address and port are tried again with a growing pause between tries, until a link is up
// again or the user stops it with Disconnect. Every text it shows begins with the status line's
// text as it stood when the link went (" Disconnected : 127.0.0.1"), so the user first reads
// that the link is gone, then that it is being made again.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <string>

#include "platform/Result.h"

class CStatusLine;
class NetConsole;

class CLinkReconnector : public QObject {
    Q_OBJECT
public:
    // The pause before the first try, doubled after every failed one up to the longest.
    static constexpr int FIRST_DELAY_MS = 500;
    static constexpr int MAX_DELAY_MS = 8000;

    // `beforeConnect` runs before every try (it hands the console the options for its next link).
    CLinkReconnector(NetConsole& net, CStatusLine& status, std::function<void()> beforeConnect);

    // Starts trying again to reach `address`:`port`, the first try after FIRST_DELAY_MS. The
    // console is idle; the status line says how the link went.
    void Start(const std::string& address, unsigned port);
    // Ends the reconnecting at once: no further try. A try in progress is the owner's to stop.
    void Stop();
    bool Active() const { return m_active; }
    // The status line's text changed under the reconnecting (a drop named its cause): it leads
    // the texts from now on.
    void Restate();

    // What follows the leading text: "reconnecting to 127.0.0.1:5000 in 2 s (attempt 3)...", or
    // for a try in progress (delayMs < 0) "reconnecting to 127.0.0.1:5000 (attempt 3)...".
    static std::string Text(const std::string& address, unsigned port, int delayMs, int attempt);

private:
    void Attempt();
    void OnConnected();
    void OnConnectFailed(const platform::Result& failure);
    // Shows the pause before the next try and starts it.
    void Wait();
    void Show();

    NetConsole& m_net;
    CStatusLine& m_status;
    std::function<void()> m_beforeConnect;
    QTimer m_pause;
    std::string m_address;
    unsigned m_port = 0;
    std::string m_lead;      // the status text every reconnect text follows
    bool m_bTipSet = false;  // the status line's tooltip names a failed try
    int m_attempt = 0;       // the try in progress or the next one, from 1
    int m_delayMs = FIRST_DELAY_MS;
    bool m_active = false;
};
