// The main dialog: both consoles, their controls and members, and every command handler.
//
// The dialog is declared here once; its handlers are defined in the folder of the subsystem that
// owns them (serial/, net/, display/, transfer/), the shell's own ones in app/.
#pragma once

#include <QDialog>
#include <QFont>
#include <QIcon>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "display/RingBuffer.h"
#include "serial/SerialPort.h"
#include "transfer/Capture.h"
#include "transfer/DownloadDlg.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class CLinkSocket;

// OnSize types.
constexpr int SIZE_RESTORED = 0;
constexpr int SIZE_MINIMIZED = 1;
constexpr int SIZE_MAXIMIZED = 2;

class CTerminalDlg : public QDialog, public ISerialReceiver {
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

    // Data exchange between the controls and the members (true = controls to members). A failed
    // validation shows its prompt, focuses the field and returns false.
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
    long OnCommRead(WPARAM wParam = 0, LPARAM lParam = 0);
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
    long OnTransferCancel(WPARAM wParam = 0, LPARAM lParam = 0);
    void OnShowWindow();
    void OnSize(int type, int cx, int cy);
    void OnOK();
    void OnCancel();

    // Console rendering.
    void RenderSerialConsole();
    void RenderNetConsole();
    void RefreshNetConsole();

    // ISerialReceiver (the serial receive thread).
    CRingBuffer& SerialRing() override { return m_serialRing; }
    void PostCommRead() override;
    void CaptureSerialChunk(CSerialPort& port, const unsigned char* bytes, int n) override;
    // The network capture, from CLinkSocket::OnReceive.
    void CaptureNetChunk(CLinkSocket& link, const unsigned char* bytes, int n);
    // The network link in use: the peer in Server Mode, else the client link.
    CLinkSocket* NetLinkInUse() const;

    // Minimum tracking size of the whole window, frame included, in pixels.
    static constexpr int MIN_TRACK_WIDTH = 606;
    static constexpr int MIN_TRACK_HEIGHT = 638;

    // Members, in the order of the description.
    CDownloadDlg m_dlgDownload;
    int32_t m_bSerialOpen = 0;
    int32_t m_bNetConnected = 0;
    CLinkSocket* m_pPeerSocket = nullptr;
    CLinkSocket* m_pListenSocket = nullptr;
    CLinkSocket* m_pClientSocket = nullptr;
    std::atomic<int32_t> m_bTransferActive{0};
    std::string m_strSendFileName;
    CRingBuffer m_serialRing;
    CRingBuffer m_netRing;
    int m_nPeerCount = 0;
    QFont m_fontHex;
    QFont m_fontText;
    bool m_bFontsCreated = false;
    CSerialPort m_serialPort;
    QComboBox* m_cbFlow = nullptr;
    QCheckBox* m_chkHexViewNet = nullptr;
    QCheckBox* m_chkHexView = nullptr;
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
    void CreateControls();
    void ConnectHandlers();
    void ExchangeConsole(QPlainTextEdit* console, const std::string& text, std::string& shown);
    void ApplyMinimumSize();
    void RepaintStatus();

    std::map<int, QWidget*> m_controls;
    QPushButton* m_btnDefault = nullptr;
    QLabel* m_staticStatus = nullptr;
    QPlainTextEdit* m_reditSerial = nullptr;
    QPlainTextEdit* m_reditNet = nullptr;
    // What the exchange last wrote into each console (the consoles are read-only, so this is
    // what they show).
    std::string m_shownSerialConsole;
    std::string m_shownNetConsole;
    bool m_bInitDone = false;
    bool m_bDestroyed = false;
    Qt::WindowStates m_lastWindowState;
};

// The application's main window (the one main dialog), or null before it exists.
CTerminalDlg* AfxGetMainDlg();
