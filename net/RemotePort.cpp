#include "net/RemotePort.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/LineWords.h"

const char* const NOT_RFC2217_SERVER = "not an RFC 2217 server";

namespace {

using Setting = ComPortClient::Setting;
using AckState = ComPortClient::AckState;

// Sends what the socket takes now; the count sent, or -1 with *err on an error.
long SendNow(int fd, const uint8_t* bytes, size_t n, int* err,
             platform::ITrafficObserver* observer) {
    size_t done = 0;
    while (done < n) {
        const platform::Stamp before = platform::Stamp::Now();  // stamped as the send starts
        const ssize_t k = ::send(fd, bytes + done, n - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (k > 0) {
            if (observer)
                observer->Traffic(platform::TrafficKind::NetTx, before, bytes + done,
                                  static_cast<size_t>(k));
            done += static_cast<size_t>(k);
            continue;
        }
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *err = errno;
            return -1;
        }
        break;  // no room now
    }
    return static_cast<long>(done);
}

}  // namespace

bool RemoteSettingsReport::NotRfc2217() const {
    return option == ComPortClient::OptionState::Refused ||
           option == ComPortClient::OptionState::NoAnswer;
}

bool RemoteSettingsReport::Ok() const {
    if (option != ComPortClient::OptionState::Agreed)
        return false;
    return std::all_of(items.begin(), items.end(),
                       [](const Item& i) { return i.state == AckState::Acknowledged; });
}

std::string RemoteSettingsReport::ValueName(Setting s, uint32_t v) {
    switch (s) {
        case Setting::Baud:
        case Setting::DataBits:
            return std::to_string(v);
        case Setting::Parity: {
            if (v == 0)
                return "?";  // the value that asks for the current parity
            const platform::ParityWords* row = platform::ByRfc2217(platform::kParityWords, v);
            return row ? row->word : std::to_string(v);
        }
        case Setting::StopBits:
            return v == comport::STOPSIZE_1     ? "1"
                   : v == comport::STOPSIZE_2   ? "2"
                   : v == comport::STOPSIZE_1_5 ? "1.5"
                                                : std::to_string(v);
        case Setting::Flow: {
            const platform::FlowWords* row = platform::ByRfc2217(platform::kFlowWords, v);
            return row ? row->answerWord : std::to_string(v);
        }
        case Setting::Dtr:
        case Setting::Rts:
        case Setting::Break:
            return v == comport::CONTROL_DTR_ON || v == comport::CONTROL_RTS_ON ||
                           v == comport::CONTROL_BREAK_ON
                       ? "on"
                   : v == comport::CONTROL_DTR_OFF || v == comport::CONTROL_RTS_OFF ||
                           v == comport::CONTROL_BREAK_OFF
                       ? "off"
                       : std::to_string(v);
    }
    return std::to_string(v);
}

std::string RemoteSettingsReport::OtherValueText(Setting s, uint32_t answered, uint32_t requested) {
    const bool control = s == Setting::Dtr || s == Setting::Rts || s == Setting::Break;
    return std::string(control ? "answered " : "applied ") + ValueName(s, answered) +
           " instead of " + ValueName(s, requested);
}

std::string RemoteSettingsReport::SecondsText(int64_t ms) {
    // The setting's range is whole seconds; a time in between keeps its tenths.
    char seconds[32];
    if (ms % 1000 == 0)
        std::snprintf(seconds, sizeof seconds, "%lld s", static_cast<long long>(ms / 1000));
    else
        std::snprintf(seconds, sizeof seconds, "%.1f s", static_cast<double>(ms) / 1000.0);
    return seconds;
}

std::string RemoteSettingsReport::NoAnswerText(int64_t timeoutMs) {
    return "no answer within " + SecondsText(timeoutMs);
}

std::string RemoteSettingsReport::AnsweredAfterText(int64_t ms) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(ms) / 1000.0);
    return std::string("answered after ") + seconds + " s";
}

std::vector<std::string> RemoteSettingsReport::LateAnswers() const {
    std::vector<std::string> out;
    for (const Item& i : items) {
        if (i.late && i.answeredAfterMs >= 0)
            out.push_back(std::string(ComPortClient::SettingName(i.setting)) + ": " +
                          AnsweredAfterText(i.answeredAfterMs));
    }
    return out;
}

std::vector<std::string> RemoteSettingsReport::Failures() const {
    std::vector<std::string> out;
    if (option == ComPortClient::OptionState::NoAnswer) {
        out.push_back(std::string(NOT_RFC2217_SERVER) +
                      ": no answer to the Com Port Control option within " +
                      SecondsText(answerTimeoutMs));
        return out;
    }
    if (option == ComPortClient::OptionState::Refused) {
        out.push_back(std::string(NOT_RFC2217_SERVER) +
                      ": the device server refused the Com Port Control option");
        return out;
    }
    for (const Item& i : items) {
        const std::string name = ComPortClient::SettingName(i.setting);
        switch (i.state) {
            case AckState::Acknowledged:
                break;
            case AckState::AcknowledgedOther:
                out.push_back(name + ": the device server " +
                              OtherValueText(i.setting, i.answered, i.requested));
                break;
            case AckState::TimedOut:
            case AckState::Pending:
                out.push_back(name + " " + ValueName(i.setting, i.requested) + ": " +
                              NoAnswerText(answerTimeoutMs));
                break;
            case AckState::Refused:
            case AckState::None:
                out.push_back(name + " " + ValueName(i.setting, i.requested) + ": not applied");
                break;
        }
    }
    return out;
}

std::string RemoteSettingsReport::FailureText() const {
    std::string text;
    for (const std::string& f : Failures())
        text += (text.empty() ? "" : "; ") + f;
    return text;
}

bool LinkSendGate::Post(int fd, const uint8_t* bytes, size_t n, int* err) {
    std::lock_guard lock(m_lock);
    // Counted as if none of it left now: a command is never cut in two by the bound, and a peer
    // that does not read has long filled the socket's buffer anyway.
    if (m_waiting.size() + m_held + n > MAX_WAITING) {
        *err = ENOBUFS;
        return false;
    }
    if (m_busy || !m_waiting.empty()) {
        m_waiting.insert(m_waiting.end(), bytes, bytes + n);
        return true;
    }
    const long sent = SendNow(fd, bytes, n, err, m_observer);
    if (sent < 0)
        return false;
    m_waiting.insert(m_waiting.end(), bytes + sent, bytes + n);
    return true;
}

bool LinkSendGate::Flush(int fd, int* err) {
    std::lock_guard lock(m_lock);
    if (m_busy || m_waiting.empty())
        return true;
    const long sent = SendNow(fd, m_waiting.data(), m_waiting.size(), err, m_observer);
    if (sent < 0) {
        m_waiting.clear();
        return false;
    }
    m_waiting.erase(m_waiting.begin(), m_waiting.begin() + sent);
    return true;
}

int LinkSendGate::SendData(int fd, const uint8_t* data, int n, const platform::AbortSignal& abort,
                           int* err) {
    telnet::Bytes out;
    {
        std::lock_guard lock(m_lock);
        m_busy = true;
        out.swap(m_waiting);
        m_held = out.size();
    }
    const size_t before = out.size();
    telnet::AppendEscaped(data, static_cast<size_t>(n), out);
    const int total = static_cast<int>(out.size());
    const int sent =
        std::max(0, platform::SendAllOnSocket(fd, out.data(), total, abort, err, m_observer));
    // Data bytes sent completely: a doubled 0xFF counts once both halves left.
    int dataSent = 0;
    bool split = false;
    if (static_cast<size_t>(sent) > before) {
        size_t i = before;
        while (i < static_cast<size_t>(sent)) {
            if (out[i] == telnet::IAC) {
                if (i + 1 < static_cast<size_t>(sent)) {
                    i += 2;
                    ++dataSent;
                } else {
                    split = true;
                    ++i;
                }
            } else {
                ++i;
                ++dataSent;
            }
        }
    }
    std::lock_guard lock(m_lock);
    m_busy = false;
    m_held = 0;
    if (sent < total) {
        // Cut short: what was queued before and not sent goes back to the front, and so does
        // the second half of a doubled 0xFF, so the stream stays well-formed Telnet. The data
        // itself that did not leave belongs to the caller, which stops.
        telnet::Bytes front;
        if (static_cast<size_t>(sent) < before)
            front.assign(out.begin() + sent, out.begin() + static_cast<long>(before));
        else if (split)
            front.push_back(telnet::IAC);
        m_waiting.insert(m_waiting.begin(), front.begin(), front.end());
    }
    return sent == total ? n : dataSent;
}

size_t LinkSendGate::Waiting() const {
    std::lock_guard lock(m_lock);
    return m_waiting.size() + m_held;
}
