#include "app/LinkReconnector.h"

#include <algorithm>

#include "app/StatusLine.h"
#include "net/NetConsole.h"

namespace {

// "0.5 s", "1 s", "8 s".
std::string SecondsText(int ms) {
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + " s";
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

}  // namespace

CLinkReconnector::CLinkReconnector(NetConsole& net, CStatusLine& status,
                                   std::function<void()> beforeConnect)
    : m_net(net), m_status(status), m_beforeConnect(std::move(beforeConnect)) {
    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, &CLinkReconnector::Attempt);
    connect(&m_net, &NetConsole::connected, this, &CLinkReconnector::OnConnected);
    connect(&m_net, &NetConsole::connectFailed, this, &CLinkReconnector::OnConnectFailed);
}

std::string CLinkReconnector::Text(const std::string& address, unsigned port, int delayMs,
                                   int attempt) {
    return "reconnecting to " + address + ":" + std::to_string(port) +
           (delayMs < 0 ? "" : " in " + SecondsText(delayMs)) + " (attempt " +
           std::to_string(attempt) + ")...";
}

void CLinkReconnector::Start(const std::string& address, unsigned port) {
    m_address = address;
    m_port = port;
    m_lead = m_status.Text();
    m_attempt = 1;
    m_delayMs = FIRST_DELAY_MS;
    m_active = true;
    Wait();
}

void CLinkReconnector::Stop() {
    m_active = false;
    m_pause.stop();
    if (m_bTipSet)
        m_status.SetTip(CStatusLine::TipPart::DeviceServer, {});
    m_bTipSet = false;
}

void CLinkReconnector::Restate() {
    if (!m_active)
        return;
    m_lead = m_status.Text();
    Show();
}

void CLinkReconnector::Attempt() {
    if (!m_active)
        return;
    m_beforeConnect();
    // A socket that cannot be made now counts as a failed try: the next one may get one.
    if (const platform::Result r = m_net.Connect(m_address, m_port); !r) {
        OnConnectFailed(r);
        return;
    }
    Show();
}

void CLinkReconnector::OnConnected() {
    // The new link's own status and tooltip follow from the console's signal.
    m_active = false;
    m_pause.stop();
    m_bTipSet = false;
}

void CLinkReconnector::OnConnectFailed(const platform::Result& failure) {
    if (!m_active)
        return;
    const std::string target = m_address + ":" + std::to_string(m_port);
    m_status.SetTip(CStatusLine::TipPart::DeviceServer,
                    "Reconnecting to " + target + ": attempt " + std::to_string(m_attempt) +
                        " failed: " + failure.text +
                        (failure.reason.empty() ? "" : " (" + failure.reason + ")") +
                        ".\nCheck that the device server is on and accepts connections on " +
                        target + ". Disconnect stops reconnecting.");
    m_bTipSet = true;
    ++m_attempt;
    m_delayMs = std::min(m_delayMs * 2, MAX_DELAY_MS);
    Wait();
}

void CLinkReconnector::Wait() {
    m_pause.start(m_delayMs);
    Show();
}

void CLinkReconnector::Show() {
    m_status.SetText(m_lead + " - " +
                     Text(m_address, m_port, m_pause.isActive() ? m_delayMs : -1, m_attempt));
}
