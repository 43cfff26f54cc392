#include "app/RemoteLinesGroup.h"
#include "app/ValueLabel.h"

#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>

namespace {

using Setting = ComPortClient::Setting;
using AckState = ComPortClient::AckState;

const char* const kLineKindNames[CRemoteLinesGroup::LINE_KINDS] = {
    "Breaks", "Framing errors", "Parity errors", "Overruns", "Time-outs"};
constexpr Setting kSettings[CRemoteLinesGroup::SETTING_ROWS] = {
    Setting::Baud, Setting::DataBits, Setting::Parity, Setting::StopBits, Setting::Flow};
const QString kPrefix = QStringLiteral("Device server ");

int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A label that shows a value: its object name says what it is, and its accessible name says
// both, so that a screen reader speaks the value and not only the caption.
QLabel* ValueLabel(const QString& name, QWidget* parent) {
    auto* label = new QLabel(QStringLiteral("-"), parent);
    label->setObjectName(name);
    label->setAccessibleName(name + QStringLiteral(": -"));
    return label;
}

void SetValue(QLabel* label, const QString& text) {
    ShowLabelValue(label, text);
}

QPushButton* Button(const QString& text, const QString& name, bool checkable, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAccessibleName(name);
    button->setCheckable(checkable);
    return button;
}

QString OptionText(const NetConsole& net) {
    if (!net.LinkInUse())
        return QStringLiteral("No network link");
    const ComPortClient* port = net.ComPort();
    if (!port)
        return QStringLiteral("Raw TCP: the device server is not asked");
    switch (port->Option()) {
        case ComPortClient::OptionState::NotAsked:
        case ComPortClient::OptionState::Asking:
            return QStringLiteral("Asking for the Com Port Control option...");
        case ComPortClient::OptionState::Agreed:
            return QStringLiteral("RFC 2217 agreed");
        case ComPortClient::OptionState::Refused:
            return QString::fromLatin1(NOT_RFC2217_SERVER) +
                   QStringLiteral(" (it refused the Com Port Control option)");
        case ComPortClient::OptionState::NoAnswer:
            return QString::fromLatin1(NOT_RFC2217_SERVER) + QStringLiteral(" (") +
                   QString::fromStdString(
                       RemoteSettingsReport::NoAnswerText(port->AnswerTimeoutMs())) +
                   QLatin1Char(')');
    }
    return {};
}

// The answer to one setting, as the device server gave it within `timeoutMs` or after it.
QString AckText(Setting s, const ComPortClient::Ack& ack, int64_t timeoutMs) {
    const QString late =
        ack.late
            ? QString::fromStdString(RemoteSettingsReport::AnsweredAfterText(ack.answeredAfterMs))
            : QString();
    switch (ack.state) {
        case AckState::None:
            return QStringLiteral("-");
        case AckState::Pending:
            return QStringLiteral("waiting for an answer");
        case AckState::Acknowledged:
            return ack.late ? late : QStringLiteral("applied");
        case AckState::AcknowledgedOther: {
            const QString other = QString::fromStdString(
                RemoteSettingsReport::OtherValueText(s, ack.answered, ack.requested));
            return ack.late ? other + QStringLiteral(", ") + late : other;
        }
        case AckState::Refused:
            return QStringLiteral("refused: ") + QString::fromLatin1(NOT_RFC2217_SERVER);
        case AckState::TimedOut:
            return QString::fromStdString(RemoteSettingsReport::NoAnswerText(timeoutMs));
    }
    return {};
}

// The line of row `i` (CTS, DSR, DCD, RI).
platform::ModemLine RowLine(int i) {
    return platform::kModemInputs[i];
}

}  // namespace

CRemoteLinesGroup::CRemoteLinesGroup(NetConsole& net, QSpinBox* breakMs, QWidget* parent)
    : QGroupBox(QStringLiteral("Device server"), parent), m_net(net), m_breakMs(breakMs) {
    setObjectName(QStringLiteral("Device server"));
    m_option = ValueLabel(QStringLiteral("Device server option"), this);
    m_option->setWordWrap(true);
    m_signature = ValueLabel(QStringLiteral("Device server signature"), this);
    m_signature->setWordWrap(true);
    m_signature->setTextFormat(Qt::PlainText);  // the server chooses the text

    auto* lines = new QGridLayout;
    const char* const headers[3] = {"Level", "Changes", "Last change"};
    for (int column = 0; column < 3; ++column)
        lines->addWidget(new QLabel(QString::fromLatin1(headers[column]), this), 0, column + 1);
    for (int i = 0; i < 4; ++i) {
        const QString line =
            QString::fromLatin1(platform::ModemLineName(platform::kModemInputs[i]));
        const QString name = kPrefix + line;
        auto* label = new QLabel(line, this);
        LineRow& row = m_rows[i];
        row.lamp = ValueLabel(name, this);
        row.lamp->setAlignment(Qt::AlignCenter);
        row.lamp->setMinimumWidth(40);
        row.count = ValueLabel(name + QStringLiteral(" changes"), this);
        row.time = ValueLabel(name + QStringLiteral(" last change"), this);
        label->setBuddy(row.lamp);
        lines->addWidget(label, i + 1, 0);
        lines->addWidget(row.lamp, i + 1, 1);
        lines->addWidget(row.count, i + 1, 2);
        lines->addWidget(row.time, i + 1, 3);
    }

    auto* lineState = new QGridLayout;
    for (int k = 0; k < LINE_KINDS; ++k) {
        const QString kind = QString::fromLatin1(kLineKindNames[k]);
        auto* label = new QLabel(kind + QLatin1Char(':'), this);
        m_lineCounts[k] = ValueLabel(kPrefix + kind.toLower(), this);
        label->setBuddy(m_lineCounts[k]);
        lineState->addWidget(label, k % 3, (k / 3) * 2);
        lineState->addWidget(m_lineCounts[k], k % 3, (k / 3) * 2 + 1);
    }

    // The serial settings asked of the server, each with its answer.
    auto* settings = new QGridLayout;
    settings->addWidget(new QLabel(QStringLiteral("Asked"), this), 0, 1);
    settings->addWidget(new QLabel(QStringLiteral("Answer"), this), 0, 2);
    for (int k = 0; k < SETTING_ROWS; ++k) {
        AckRow& row = m_settings[k];
        row.setting = kSettings[k];
        const QString what = QString::fromLatin1(ComPortClient::SettingName(row.setting));
        auto* label = new QLabel(what.left(1).toUpper() + what.mid(1) + QLatin1Char(':'), this);
        row.value = ValueLabel(kPrefix + what, this);
        row.answer = ValueLabel(kPrefix + what + QStringLiteral(" answer"), this);
        label->setBuddy(row.value);
        settings->addWidget(label, k + 1, 0);
        settings->addWidget(row.value, k + 1, 1);
        settings->addWidget(row.answer, k + 1, 2);
    }

    auto* controls = new QGridLayout;
    m_dtr = Button(QStringLiteral("DTR"), kPrefix + QStringLiteral("DTR"), true, this);
    m_rts = Button(QStringLiteral("RTS"), kPrefix + QStringLiteral("RTS"), true, this);
    m_break = Button(QStringLiteral("Break"), kPrefix + QStringLiteral("break"), false, this);
    m_dtrAnswer = ValueLabel(kPrefix + QStringLiteral("DTR answer"), this);
    m_rtsAnswer = ValueLabel(kPrefix + QStringLiteral("RTS answer"), this);
    m_breakAnswer = ValueLabel(kPrefix + QStringLiteral("break answer"), this);
    int r = 0;
    for (auto [button, answer] : {std::pair{m_dtr, m_dtrAnswer}, std::pair{m_rts, m_rtsAnswer},
                                  std::pair{m_break, m_breakAnswer}}) {
        controls->addWidget(button, r, 0);
        controls->addWidget(answer, r, 1);
        ++r;
    }
    controls->setColumnStretch(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_option);
    layout->addWidget(m_signature);
    layout->addLayout(lines);
    layout->addLayout(lineState);
    layout->addLayout(settings);
    layout->addLayout(controls);
    layout->addStretch();

    connect(&m_net, &NetConsole::comPortChanged, this, &CRemoteLinesGroup::Refresh);
    connect(&m_net, &NetConsole::remoteModemState, this, &CRemoteLinesGroup::OnModemState);
    connect(&m_net, &NetConsole::remoteLineState, this, &CRemoteLinesGroup::OnLineState);
    for (auto signal : {&NetConsole::connected, &NetConsole::peerAttached, &NetConsole::peerGone,
                        &NetConsole::farEndClosed})
        connect(&m_net, signal, this, &CRemoteLinesGroup::Refresh);
    // Told just before the link goes: shown once it has.
    connect(&m_net, &NetConsole::linkGoing, this,
            [this] { QTimer::singleShot(0, this, &CRemoteLinesGroup::Refresh); });
    connect(m_dtr, &QPushButton::clicked, this, &CRemoteLinesGroup::OnDtr);
    connect(m_rts, &QPushButton::clicked, this, &CRemoteLinesGroup::OnRts);
    connect(m_break, &QPushButton::clicked, this, &CRemoteLinesGroup::OnBreak);

    Reset();
    Refresh();
}

void CRemoteLinesGroup::FollowLink() {
    const CLinkSocket* link = m_net.ComPort() ? m_net.LinkInUse() : nullptr;
    if (link != m_link) {
        m_link = link;
        Reset();
    }
}

void CRemoteLinesGroup::Reset() {
    m_lastModem.reset();
    m_breakEndsNs = 0;
    for (LineRow& row : m_rows) {
        row.changes = 0;
        SetValue(row.lamp, QString());
        row.lamp->setStyleSheet(QString());
        SetValue(row.count, QStringLiteral("0"));
        SetValue(row.time, QStringLiteral("-"));
    }
    for (int k = 0; k < LINE_KINDS; ++k) {
        m_lineCountValues[k] = 0;
        SetValue(m_lineCounts[k], QStringLiteral("0"));
    }
}

void CRemoteLinesGroup::Refresh() {
    FollowLink();
    SetValue(m_option, OptionText(m_net));
    const ComPortClient* port = m_net.ComPort();
    const bool agreed = Controllable();
    SetValue(m_signature, port && !port->Signature().empty()
                              ? QStringLiteral("Signature: ") +
                                    QString::fromStdString(port->Signature()).left(200)
                              : QStringLiteral("Signature: -"));

    for (QWidget* w : findChildren<QWidget*>())
        if (w != m_option)
            w->setEnabled(port != nullptr);
    const int64_t timeoutMs = port ? port->AnswerTimeoutMs() : ComPortClient::ACK_TIMEOUT_MS;
    for (AckRow& row : m_settings) {
        const ComPortClient::Ack none;
        const ComPortClient::Ack& ack = port ? port->AckOf(row.setting) : none;
        SetValue(row.value, ack.state == AckState::None
                                ? QStringLiteral("-")
                                : QString::fromStdString(
                                      RemoteSettingsReport::ValueName(row.setting, ack.requested)));
        SetValue(row.answer, AckText(row.setting, ack, timeoutMs));
    }
    const std::pair<Setting, QLabel*> answers[3] = {
        {Setting::Dtr, m_dtrAnswer}, {Setting::Rts, m_rtsAnswer}, {Setting::Break, m_breakAnswer}};
    for (const auto& [setting, label] : answers) {
        const ComPortClient::Ack none;
        SetValue(label, AckText(setting, port ? port->AckOf(setting) : none, timeoutMs));
    }
    // The toggles show what was last asked of the server; its answer is beside them.
    m_dtr->setChecked(port && port->AckOf(Setting::Dtr).state != AckState::None &&
                      port->AckOf(Setting::Dtr).requested == comport::CONTROL_DTR_ON);
    m_rts->setChecked(port && port->AckOf(Setting::Rts).state != AckState::None &&
                      port->AckOf(Setting::Rts).requested == comport::CONTROL_RTS_ON);
    m_dtr->setEnabled(agreed);
    m_rts->setEnabled(agreed);
    m_break->setEnabled(agreed && !BreakRunning());
    if (!port)
        Reset();
    else if (const auto modem = port->LastModemState(); modem && !m_lastModem) {
        // Notified before this window followed the link: the levels, without changes.
        for (int i = 0; i < 4; ++i)
            ShowLamp(i, modem->Level(RowLine(i)));
        m_lastModem = modem;
    }
    emit refreshed();
}

bool CRemoteLinesGroup::Controllable() const {
    const ComPortClient* port = m_net.ComPort();
    return port && port->Option() == ComPortClient::OptionState::Agreed;
}

void CRemoteLinesGroup::OnModemState(const platform::ModemState& state, qint64 steadyNs) {
    FollowLink();
    if (!m_link)
        return;
    const int64_t nowNs = SteadyNowNs();
    // The wall time of the read that brought the notification, from how long ago it was.
    const QDateTime when =
        QDateTime::currentDateTime().addMSecs(steadyNs > 0 ? -(nowNs - steadyNs) / 1000000 : 0);
    for (int i = 0; i < 4; ++i) {
        const bool on = state.Level(RowLine(i));
        // A change the server marked, or a level unlike the last one it told (a server may
        // notify without the delta bits).
        if (state.Changed(RowLine(i)) || (m_lastModem && m_lastModem->Level(RowLine(i)) != on)) {
            LineRow& row = m_rows[i];
            ++row.changes;
            SetValue(row.count, QString::number(row.changes));
            SetValue(row.time, when.toString(QStringLiteral("HH:mm:ss.zzz")));
        }
        ShowLamp(i, on);
    }
    m_lastModem = state;
}

void CRemoteLinesGroup::OnLineState(const comport::LineState& state, qint64) {
    FollowLink();
    if (!m_link)
        return;
    const bool bits[LINE_KINDS] = {state.breakDetected, state.framingError, state.parityError,
                                   state.overrun, state.timeout};
    for (int k = 0; k < LINE_KINDS; ++k) {
        if (bits[k])
            SetValue(m_lineCounts[k], QString::number(++m_lineCountValues[k]));
    }
}

// A coloured lamp with its level as text, so that the level does not rely on colour.
void CRemoteLinesGroup::ShowLamp(int row, bool on) {
    QLabel* lamp = m_rows[row].lamp;
    SetValue(lamp, on ? QStringLiteral("on") : QStringLiteral("off"));
    lamp->setStyleSheet(on ? QStringLiteral("background:#3a3;color:white;border-radius:3px")
                           : QStringLiteral("background:#777;color:white;border-radius:3px"));
}

void CRemoteLinesGroup::OnDtr(bool on) {
    const platform::Result r = m_net.SetRemoteDtr(on);
    Refresh();
    if (!r)
        ShowRefusal(m_dtrAnswer, r);
}

void CRemoteLinesGroup::OnRts(bool on) {
    const platform::Result r = m_net.SetRemoteRts(on);
    Refresh();
    if (!r)
        ShowRefusal(m_rtsAnswer, r);
}

void CRemoteLinesGroup::OnBreak() {
    const int ms = m_breakMs->value();
    const platform::Result r = m_net.SendRemoteBreak(ms);
    if (r) {
        m_breakEndsNs = SteadyNowNs() + int64_t(ms) * 1000000;
        // The button comes back once the break is over (the console ends it by itself).
        QTimer::singleShot(ms + 1, this, &CRemoteLinesGroup::Refresh);
    }
    Refresh();
    if (!r)
        ShowRefusal(m_breakAnswer, r);
}

void CRemoteLinesGroup::ShowRefusal(QLabel* answer, const platform::Result& result) {
    QString text = QString::fromStdString(result.text);
    if (!result.reason.empty())
        text += QStringLiteral(": ") + QString::fromStdString(result.reason);
    SetValue(answer, text);
}

bool CRemoteLinesGroup::BreakRunning() const {
    return m_breakEndsNs != 0 && SteadyNowNs() < m_breakEndsNs;
}
