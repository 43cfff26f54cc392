// The "Device server" part of the Line Signals window: what the network link's device server
// says of its own serial port over the Com Port Control option. Whether the option was agreed,
// the server's signature, its modem lines (lamps, change counts, last change), counts of its
// line-state notifications, the serial settings asked of it, and its DTR, RTS and break with the
// answer each got. Talks to the engine only through NetConsole.
#pragma once

#include <QGroupBox>

#include <cstdint>
#include <optional>

#include "net/NetConsole.h"

class QLabel;
class QPushButton;
class QSpinBox;

class CRemoteLinesGroup : public QGroupBox {
    Q_OBJECT
public:
    // `breakMs` is the window's break length, used for the device server's break too.
    CRemoteLinesGroup(NetConsole& net, QSpinBox* breakMs, QWidget* parent = nullptr);

    // Shows the option's state, the answers and the lines as the console has them now.
    void Refresh();
    // The server agreed to the option: its DTR, RTS and break can be asked for.
    bool Controllable() const;

    // The line-state notifications counted per kind: break, framing, parity, overrun, time-out.
    static constexpr int LINE_KINDS = 5;
    static constexpr int SETTING_ROWS = 5;

signals:
    // Refresh has shown a new state.
    void refreshed();

private:
    struct LineRow {
        QLabel* lamp = nullptr;
        QLabel* count = nullptr;
        QLabel* time = nullptr;
        uint64_t changes = 0;
    };
    struct AckRow {
        ComPortClient::Setting setting;
        QLabel* value = nullptr;
        QLabel* answer = nullptr;
    };

    // A new link (or none): the counts and lamps start again.
    void FollowLink();
    void Reset();
    void OnModemState(const platform::ModemState& state, qint64 steadyNs);
    void OnLineState(const comport::LineState& state, qint64 steadyNs);
    void ShowLamp(int row, bool on);
    void OnDtr(bool on);
    void OnRts(bool on);
    void OnBreak();
    // A request the console refused at once: shown in place of the answer.
    void ShowRefusal(QLabel* answer, const platform::Result& result);
    bool BreakRunning() const;

    NetConsole& m_net;
    QSpinBox* m_breakMs = nullptr;
    const CLinkSocket* m_link = nullptr;  // the link the counts belong to
    QLabel* m_option = nullptr;
    QLabel* m_signature = nullptr;
    LineRow m_rows[4];
    QLabel* m_lineCounts[LINE_KINDS] = {};
    uint64_t m_lineCountValues[LINE_KINDS] = {};
    AckRow m_settings[SETTING_ROWS];
    QPushButton* m_dtr = nullptr;
    QPushButton* m_rts = nullptr;
    QPushButton* m_break = nullptr;
    QLabel* m_dtrAnswer = nullptr;
    QLabel* m_rtsAnswer = nullptr;
    QLabel* m_breakAnswer = nullptr;
    std::optional<platform::ModemState> m_lastModem;
    int64_t m_breakEndsNs = 0;  // steady clock: the break button stays off until then
};
