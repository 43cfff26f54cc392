// The main dialog: both consoles' controls and members, and every command handler.
//
// The dialog owns the terminal engine (the serial console, the network console and the
// pass-through) and is nothing but its face: each handler reads the controls, calls the engine and
// turns the result into the status line, a message box and the enabled states.
#pragma once

#include <QDialog>
#include <QFont>
#include <QIcon>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/DownloadDlg.h"
#include "app/MainWnd.h"
#include "app/NetworkOptionsDlg.h"
#include "transfer/TerminalEngine.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class CRefreshPacer;
class CLineSignalsDlg;
class QMenu;

// OnSize types.
constexpr int SIZE_RESTORED = 0;
constexpr int SIZE_MINIMIZED = 1;
constexpr int SIZE_MAXIMIZED = 2;

// The pause before a received chunk that gives it a time in the consoles, in milliseconds.
constexpr int DEFAULT_TIMESTAMP_GAP_MS = 20;
constexpr int MIN_TIMESTAMP_GAP_MS = 0;
constexpr int MAX_TIMESTAMP_GAP_MS = 60000;

class CTerminalDlg : public QDialog {
    Q_OBJECT
public:
    CTerminalDlg();
    ~CTerminalDlg() override;

    // Runs the dialog modally: OnInitDialog, the modal loop, then DestroyWindow. Returns the end
    // code (IDOK or IDCANCEL).
    int DoModal();
    // Creates the window without running a loop (tests): OnInitDialog has run when it returns.
    void Create();
    // The teardown that runs when the modal loop ends: closes the port, disconnects.
    void DestroyWindow();

    // Data exchange between the controls and the members (true = controls to members). A field
    // that fails its check keeps its member and its text; the first one has its prompt and the
    // focus, and reading returns false. The other fields are exchanged all the same.
    bool UpdateData(bool saveAndValidate = true);

    QWidget* GetDlgItem(int id) const;
    // Sets the status line's text and repaints it at once.
    void SetStatusText(const std::string& text);
    std::string StatusText() const;

    // Handlers (the message map).
    bool OnInitDialog();
    void OnSysCommand(int id);
    void OnSerialPorts();
    // Opens the Line Signals window, or raises it when it is open already.
    void OnLineSignals();
    CLineSignalsDlg* LineSignalsWindow() const { return m_lineSignals; }
    // Chooses how the next network link is framed (raw TCP or RFC 2217) and what is asked of
    // the device server; the choice lasts for the session.
    void OnNetworkOptions();
    const NetworkOptions& NetOptions() const { return m_netOptions; }
    void OnOpenCaptureFolder();
    void OnButtonOpen();
    void OnButtonSend();
    void OnPortLost(const QString& reason);
    long OnCommRead();
    void OnButtonClear();
    void OnButtonIpConnect();
    void OnButtonIpSend();
    void OnButtonIpClear();
    void OnButtonDefault();
    void OnCheckServerMode();
    void OnCheckHexview();
    void OnCheckHexviewNet();
    void OnBtnFileSendSerial();
    void OnTimer(int idEvent);
    void OnButtonTest2();
    void OnBtnFileSendNetwork();
    long OnTransferCancel();
    void OnTransferFinished(const PassOutcome& outcome);
    void OnShowWindow();
    // Timestamps in both consoles: shown or not, and the pause that gives a chunk its time
    // (asked for in a small input). Both re-render the consoles.
    void OnShowTimestamps(bool show);
    void OnTimestampGap();
    bool ShowTimestamps() const { return m_bShowTimestamps; }
    int TimestampGapMs() const { return m_nTimestampGapMs; }
    // Starts the traffic log of both links in a file the user chooses, or stops the running one.
    void OnLogTraffic();
    void OnSize(int type, int cx, int cy);
    void OnOK();
    void OnCancel();

    // A refresh now: render, then scroll to the end. The receive paths ask for them through the
    // consoles' pacers.
    void RefreshSerialConsole();
    void RefreshNetConsole();

    // The engine and its parts, under the names the handlers knew them by.
    TerminalEngine& Engine() { return m_engine; }
    SerialConsole& Serial() { return m_engine.serial; }
    NetConsole& Net() { return m_engine.net; }
    PassThrough& Transfer() { return m_engine.passThrough; }
    CSerialPort& SerialPort() { return m_engine.serial.Port(); }
    CRingBuffer& SerialRing() { return m_engine.serial.Ring(); }
    CRingBuffer& NetRing() { return m_engine.net.Ring(); }
    bool SerialOpen() const { return m_engine.serial.IsOpen(); }
    bool NetConnected() const { return m_engine.net.IsConnected(); }

    // Minimum tracking size of the whole window, frame included, in pixels.
    static constexpr int MIN_TRACK_WIDTH = 606;
    static constexpr int MIN_TRACK_HEIGHT = 638;

    // Members, in the order of the description; the serial port, the sockets, the histories,
    // the peer count and the transfer flag now belong to the engine.
    CDownloadDlg m_dlgDownload;
    QFont m_fontHex;
    QFont m_fontText;
    bool m_bFontsCreated = false;
    QCheckBox* m_chkHexView = nullptr;
    int m_nBaud = 7;
    int m_nDataBits = 3;
    int m_nComPort = 0;
    int m_nParity = 2;
    int m_nStopBits = 0;
    int m_nFlow = 0;
    std::string m_strSend;  // UTF-8
    unsigned int m_nPort = 5000;
    std::string m_strNetMessage;     // UTF-8
    std::string m_strSerialConsole;  // one byte per character; "\r\n" line breaks in hex form
    std::string m_strNetConsole;
    QIcon m_hIcon;

protected:
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void reject() override;
    void accept() override;

private:
    // The controls bound to members; from outside, every control is reached through GetDlgItem
    // (or its object name, the IDC name).
    QComboBox* m_cbFlow = nullptr;
    QCheckBox* m_chkHexViewNet = nullptr;
    QCheckBox* m_chkServerMode = nullptr;
    QPushButton* m_btnOpen = nullptr;
    QPushButton* m_btnConnect = nullptr;
    QLineEdit* m_ipAddress = nullptr;
    QLineEdit* m_editSend = nullptr;
    QComboBox* m_cbStop = nullptr;
    QComboBox* m_cbParity = nullptr;
    QComboBox* m_cbPort = nullptr;
    QComboBox* m_cbData = nullptr;
    QComboBox* m_cbBaud = nullptr;

    // Console rendering: the history in its form, through the console's part of the exchange.
    void RenderSerialConsole();
    void RenderNetConsole();
    void CreateControls();
    void ConnectHandlers();
    void ConnectEngine();
    // The network console's RFC 2217 signals and the serial lists that it may ask again.
    void ConnectRemotePort();
    void CreatePacers();
    // The context menu's console entries: timestamps and the traffic log.
    void AddConsoleMenuEntries(QMenu& menu);
    void ConnectTrafficLog();
    // The status line's tooltip: where the last capture went (and its diagnosis), and how many
    // bytes the running traffic log could not keep up with.
    // Both File Send buttons follow the state of both links.
    void UpdateFileSendButtons();
    void UpdatePortTips();
    // The Close and Disconnect halves of the Open and Connect commands, without their exchange.
    void ClosePort();
    void DisconnectNet();
    // The outcome of the client connect that OnButtonIpConnect started.
    void OnNetConnected();
    void OnNetConnectFailed(const platform::Result& failure);
    // While a client connect is in progress, the controls that would start another one or change
    // what it connects to are disabled; `attempting` false puts them back.
    void ShowConnectAttempt(bool attempting);
    // A failure an engine part reported by itself: its text, with the OS's reason as detail.
    void ShowFailure(const QString& text, const QString& detail);
    // Both File Send commands: the file chosen, then the run started and shown.
    void FileSend(PassDirection direction);
    void ExchangeConsole(QPlainTextEdit* console, const std::string& text, std::string& shown);
    void ApplyMinimumSize();
    void RepaintStatus();
    // After the port closed (by the user or by itself): the lists enabled again, "Open", the
    // file-send buttons updated, and the status line set to `status`.
    void ShowSerialClosed(const std::string& status);
    // The serial lists as line settings.
    LineSettings SerialListSettings() const;
    // Hands the network console the options for its next link, with the serial lists as they
    // stand now.
    void PassNetOptions();
    // What the device server did with the serial settings asked of it; a failure is named in the
    // status line's tooltip and in a message box, and the link stays up.
    void OnRemoteSettingsChecked(const RemoteSettingsReport& report);
    void OnComPortChanged();
    // Told once per link: the device server does not speak the Com Port Control option.
    void TellNotRfc2217(bool refused);
    // A new link: nothing has been told of its device server yet.
    void OnNewLink();
    // The network console dropped a device server that does not read.
    void OnLinkDropped(const QString& text);
    // The serial lists changed: an RFC 2217 link asks its device server for them again.
    void ApplyListsRemotely();
    // A box shown from the event loop, after the engine's call that led to it has returned.
    void PostMessageBox(const std::string& text, const std::string& detail);
    // The status line's tooltip: the last transfer's and the device server's lines.
    void ShowStatusTip();

    std::map<int, QWidget*> m_controls;
    // The fields the last reading exchange refused: a write-back leaves their text as typed.
    std::vector<QWidget*> m_refusedFields;
    QPushButton* m_btnDefault = nullptr;
    QLabel* m_staticStatus = nullptr;
    QPlainTextEdit* m_reditSerial = nullptr;
    QPlainTextEdit* m_reditNet = nullptr;
    // What the exchange last wrote into each console (the consoles are read-only, so this is
    // what they show).
    std::string m_shownSerialConsole;
    std::string m_shownNetConsole;
    // Each console refreshes at the display's pace (see app/RefreshPacer.h).
    CRefreshPacer* m_serialPacer = nullptr;
    CRefreshPacer* m_netPacer = nullptr;
    bool m_bShowTimestamps = false;
    int m_nTimestampGapMs = DEFAULT_TIMESTAMP_GAP_MS;
    qint64 m_nBytesNotLogged = 0;  // told by the running traffic log; 0 when it keeps up
    bool m_bInitDone = false;
    bool m_bConnectHadFocus = false;  // the Connect button had the focus when its attempt began
    bool m_bDestroyed = false;
    NetworkOptions m_netOptions;
    std::string m_transferTip;  // where the last capture is stored, what kind of difference
    std::string m_remoteTip;    // what the device server of the link did not apply
    bool m_bNotRfc2217Told = false;
    // Lets a run of list changes (a wheel over the baud list) end before the device server is
    // asked again.
    QTimer* m_remoteApplyTimer = nullptr;
    Qt::WindowStates m_lastWindowState;
    // Declared last: destroyed first, so no engine signal reaches a half-destroyed dialog.
    TerminalEngine m_engine;
    CLineSignalsDlg* m_lineSignals = nullptr;  // a child: deleted with the dialog
};
