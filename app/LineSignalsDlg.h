// "Line Signals": the serial console's modem lines, live. Lamps for the inputs CTS, DSR, DCD and
// RI with their change counts and last change times, DTR and RTS as toggles, a break of a chosen
// length and the UART's error counters; beside them, when the network link speaks RFC 2217, the
// device server's own lines (CRemoteLinesGroup). Talks to the serial engine only through
// SerialConsole::Modem(), to the network side only through NetConsole.
#pragma once

#include <QDialog>

#include "serial/ModemLines.h"

class CRemoteLinesGroup;
class NetConsole;
class QLabel;
class QPushButton;
class QSpinBox;
class SerialConsole;

class CLineSignalsDlg : public QDialog {
    Q_OBJECT
public:
    CLineSignalsDlg(SerialConsole& console, NetConsole& net, QWidget* parent = nullptr);

    // Shows the lines, outputs and counters as the engine has them now, and which controls apply.
    void Refresh();

protected:
    void showEvent(QShowEvent* e) override;

private:
    struct LineRow {
        QLabel* lamp = nullptr;
        QLabel* count = nullptr;
        QLabel* time = nullptr;
    };
    enum class State { Closed, NotSupported, Ready };

    State CurrentState() const;
    void ShowState(State state);
    // The break length serves the serial port's break and the device server's.
    void UpdateBreakLength();
    void ShowLine(ModemLine line, bool on);
    void ShowCounters();
    void OnLineChanged(const ModemLineChange& change);
    void OnToggle(QPushButton* button, platform::Result result);
    void OnBreak();
    void Report(const platform::Result& result);

    SerialConsole& m_console;
    bool m_bClosing = false;  // the port is about to close: shown as closed already
    QLabel* m_status = nullptr;
    LineRow m_rows[4];
    QPushButton* m_dtr = nullptr;
    QPushButton* m_rts = nullptr;
    QPushButton* m_break = nullptr;
    QSpinBox* m_breakMs = nullptr;
    QLabel* m_counters[5] = {};
    QPushButton* m_refresh = nullptr;
    CRemoteLinesGroup* m_remote = nullptr;
};
