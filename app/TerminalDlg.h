// The main dialog: both consoles' controls and members, and their command handlers.
//
// The dialog owns the terminal engine (the serial console, the network console and the
// pass-through) and is nothing but its face: each handler reads the controls, calls the engine and
// turns the result into the status line, a message box and the enabled states. Every feature
// beside the consoles (port choice, Line Signals, the device server, timestamps, the traffic log)
// has an owner of its own (app/*Feature.h) that keeps its state and windows and adds its entries
// to the context menu.
#pragma once

#include <QDialog>
#include <QFont>
#include <QIcon>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/AppSettings.h"
#include "app/CommandsFeature.h"
#include "app/DeviceServerFeature.h"
#include "app/DownloadDlg.h"
#include "app/LineSignalsFeature.h"
#include "app/MainWnd.h"
#include "app/PortChoiceFeature.h"
#include "app/SendSideFeature.h"
#include "app/TimestampsFeature.h"
#include "app/TrafficLogFeature.h"
#include "transfer/TerminalEngine.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class CConsolePane;
class CStatusLine;

// OnSize types.
constexpr int SIZE_RESTORED = 0;
constexpr int SIZE_MINIMIZED = 1;
constexpr int SIZE_MAXIMIZED = 2;

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

    // The features' owners.
    CPortChoiceFeature& PortChoice() { return *m_portChoice; }
    CLineSignalsFeature& LineSignals() { return *m_lineSignals; }
    CDeviceServerFeature& DeviceServer() { return *m_deviceServer; }
    CTimestampsFeature& Timestamps() { return *m_timestamps; }
    CTrafficLogFeature& TrafficLogging() { return *m_trafficLog; }
    CCommandsFeature& Commands() { return *m_commands; }
    CSendSideFeature& SendSide() { return *m_sendSide; }
    // Where the features keep what they remember across restarts; a test points it at a file of
    // its own before Create.
    CAppSettings& Settings() { return m_settings; }

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
    // The consoles' panes and the features' owners, once the controls and the engine exist.
    void CreatePanes();
    void CreateFeatures();
    // Every feature, in the order they add their context-menu entries (the menu puts each entry
    // at its place whatever the order).
    std::array<CDialogFeature*, 7> Features() const;
    // Both File Send buttons follow the state of both links.
    void UpdateFileSendButtons();
    // The Close and Disconnect halves of the Open and Connect commands, without their exchange.
    void ClosePort();
    void DisconnectNet();
    // The outcome of the client connect that OnButtonIpConnect started.
    void OnNetConnected();
    void OnNetConnectFailed(const platform::Result& failure);
    // The device closed the client link: idle as after Disconnect, then reconnecting when the
    // network options say so.
    void OnNetFarEndClosed();
    // While the link is being made again, the button is Disconnect (it stops the reconnecting)
    // and the controls that would change what is reached are disabled.
    void ShowReconnecting();
    // While a client connect is in progress, the controls that would start another one or change
    // what it connects to are disabled; `attempting` false puts them back.
    void ShowConnectAttempt(bool attempting);
    // A failure an engine part reported by itself: its text, with the OS's reason as detail.
    void ShowFailure(const QString& text, const QString& detail);
    // Both File Send commands: the file chosen, then the run started and shown.
    void FileSend(PassDirection direction);
    void ApplyMinimumSize();
    // After the port closed (by the user or by itself): the lists enabled again, "Open", the
    // file-send buttons updated, and the status line set to `status`.
    void ShowSerialClosed(const std::string& status);

    // Where the dialog is in its life: OnInitDialog runs once, the teardown once.
    enum class Stage { Created, Initialized, Destroyed };

    std::map<int, QWidget*> m_controls;
    // The fields the last reading exchange refused: a write-back leaves their text as typed.
    std::vector<QWidget*> m_refusedFields;
    std::unique_ptr<CStatusLine> m_status;
    std::unique_ptr<CConsolePane> m_serialView;
    std::unique_ptr<CConsolePane> m_netView;
    Stage m_stage = Stage::Created;
    bool m_bConnectHadFocus = false;  // the Connect button had the focus when its attempt began
    CAppSettings m_settings;
    // The features' owners. Declared before the engine, they outlive it: none of them touches the
    // engine when it ends, and the windows that refer to it are deleted first (~CTerminalDlg).
    std::unique_ptr<CPortChoiceFeature> m_portChoice;
    std::unique_ptr<CLineSignalsFeature> m_lineSignals;
    std::unique_ptr<CDeviceServerFeature> m_deviceServer;
    std::unique_ptr<CTimestampsFeature> m_timestamps;
    std::unique_ptr<CTrafficLogFeature> m_trafficLog;
    std::unique_ptr<CCommandsFeature> m_commands;
    std::unique_ptr<CSendSideFeature> m_sendSide;
    // Declared last: destroyed first, so no engine signal reaches a half-destroyed dialog.
    TerminalEngine m_engine;
};
