// File pass-through on the main dialog: the File Send commands, the capture's host, the
// time-outs and the end of a transfer.
#include <QCheckBox>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>

#include "app/TerminalDlg.h"
#include "net/LinkSocket.h"
#include "platform/File.h"
#include "platform/Ui.h"
#include "platform/Window.h"
#include "res/Resource.h"
#include "transfer/FileSend.h"

namespace {

constexpr int END_PAUSE_MS = 100;
constexpr int64_t MAX_SEND_FILE_SIZE = 0x7FFFFFFF;  // what the 32-bit header can announce
const char* const SEND_FILE_FILTER = "All Files(*.*)|*.*||";

// The main dialog as the capture of one link sees it. The serial capture runs on the receive
// thread: its progress updates and close request are handed to the UI thread synchronously
// through the port's channel (which Close() shuts down, so the hand-over can never deadlock with
// a UI thread that waits for the receive thread). On the UI thread the channel runs them at once.
class CDialogCaptureHost : public ICaptureHost {
public:
    CDialogCaptureHost(CTerminalDlg& dlg, CRingBuffer& ring, bool serial)
        : m_dlg(dlg), m_ring(ring), m_serial(serial) {}

    bool IsTransferActive() override { return m_dlg.m_bTransferActive.load() != 0; }
    void ClearTransferActive() override { m_dlg.m_bTransferActive = 0; }
    std::string SendFileName() override { return m_dlg.m_strSendFileName; }
    void ConsoleAppend(const unsigned char* bytes, int n) override { m_ring.Put(bytes, n); }
    void ConsoleNotify() override {
        if (m_serial)
            m_dlg.PostCommRead();
        else
            m_dlg.RefreshNetConsole();
    }
    void StartTimeout(int timerId) override {
        platform::SetTimer(g_hMainWnd, timerId, CAPTURE_TIMEOUT_MS);
    }
    void StopTimeout(int timerId) override { platform::KillTimer(g_hMainWnd, timerId); }
    bool ProgressVisible() override {
        bool visible = false;
        OnUi([&] { visible = m_dlg.m_dlgDownload.IsShowing(); });
        return visible;
    }
    void ProgressSetRange() override {
        OnUiWhileShowing([this] { m_dlg.m_dlgDownload.SetRange(0, 100); });
    }
    void ProgressSetText(const std::string& text) override {
        OnUiWhileShowing(
            [this, text] { m_dlg.m_dlgDownload.SetBytesText(QString::fromStdString(text)); });
    }
    void ProgressSetPos(int percent) override {
        OnUiWhileShowing([this, percent] { m_dlg.m_dlgDownload.SetPos(percent); });
    }
    void ProgressClose() override {
        std::this_thread::sleep_for(std::chrono::milliseconds(END_PAUSE_MS));
        OnUiWhileShowing([this] { m_dlg.m_dlgDownload.RequestClose(); });
    }
    void CaptureFailed(CaptureEnd how, const std::string& path, const std::string& why) override {
        const char* text = how == CaptureEnd::OpenFailed ? "Can't create the received file"
                                                         : "Can't write the received file";
        // From the receive thread the box is handed to the UI thread without waiting.
        platform::MessageBox(text, "The file was not stored: " + path + "\n" + why);
    }

private:
    void OnUi(const std::function<void()>& fn) {
        if (m_serial)
            m_dlg.m_serialPort.m_uiChannel.Send(fn);
        else
            fn();
    }
    void OnUiWhileShowing(const std::function<void()>& fn) {
        OnUi([this, &fn] {
            if (m_dlg.m_dlgDownload.IsShowing())
                fn();
        });
    }

    CTerminalDlg& m_dlg;
    CRingBuffer& m_ring;
    bool m_serial;
};

std::string BytesText(int64_t size) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%lld bytes", static_cast<long long>(size));
    return buf;
}

}  // namespace

void CTerminalDlg::CaptureSerialChunk(CSerialPort& port, const unsigned char* bytes, int n) {
    CDialogCaptureHost host(*this, m_serialRing, true);
    CaptureStep(port, g_serialCaptureTraits, host, bytes, n);
}

void CTerminalDlg::CaptureNetChunk(CLinkSocket& link, const unsigned char* bytes, int n) {
    CDialogCaptureHost host(*this, m_netRing, false);
    CaptureStep(link, g_networkCaptureTraits, host, bytes, n);
}

// Steps 1 to 3 of both File Send commands: the file chosen, tested and its name kept. Returns
// the full path, or nothing when the command stops here.
static std::optional<std::string> ChooseFileToSend(CTerminalDlg& dlg) {
    auto choice = platform::ChooseOpenFile(SEND_FILE_FILTER);
    if (!choice)
        return std::nullopt;
    platform::CFile test;
    if (!test.OpenRead(choice->path)) {
        platform::MessageBox("Can't Open File", choice->path + ": " + test.LastError());
        return std::nullopt;
    }
    // The header announces the length in 32 bits and the receiver takes at most 2^31 - 1:
    // a bigger file would be announced wrongly and "arrive" with the wrong bytes.
    const int64_t size = test.GetLength();
    if (size > MAX_SEND_FILE_SIZE) {
        platform::MessageBox("File too large: at most 2147483647 bytes can be sent",
                             choice->path + " has " + BytesText(size) + ".");
        return std::nullopt;
    }
    dlg.m_strSendFileName = choice->name;
    test.Close();
    return choice->path;
}

// In Server Mode the buttons are enabled before a device has connected: there is no link to
// send on or to capture from yet.
// A time-out left running by an earlier, cancelled transfer must not end this one.
static void StopTimeouts() {
    platform::KillTimer(g_hMainWnd, IDT_SERIAL_TIMEOUT);
    platform::KillTimer(g_hMainWnd, IDT_NETWORK_TIMEOUT);
}

// Steps 1 to 4 of both File Send commands. In Server Mode the buttons are enabled before a
// device has connected: then there is no link to send on or to capture from, and the user is
// told so before choosing a file. Returns the link in use, or null when the command stops.
static CLinkSocket* BeginFileSend(CTerminalDlg& dlg, std::string& path) {
    if (!dlg.NetLinkInUse()) {
        platform::MessageBox("No device is connected to the server",
                             "File Send needs a connected device in Server Mode.");
        return nullptr;
    }
    auto chosen = ChooseFileToSend(dlg);
    CLinkSocket* link = dlg.NetLinkInUse();  // the peer may have left meanwhile
    if (!chosen || !link)
        return nullptr;
    path = *chosen;
    StopTimeouts();
    dlg.m_bTransferActive = 1;
    return link;
}

void CTerminalDlg::OnBtnFileSendSerial() {
    std::string path;
    CLinkSocket* link = BeginFileSend(*this, path);
    if (!link)
        return;
    link->ArmCapture();
    m_serialPort.m_bCaptureArmed = 0;
    m_serialPort.m_strSendPath = path;
    m_serialPort.StartFileSend(path);
    m_dlgDownload.DoModal(this);
    // The worker may still be writing its last chunk: the port's write lock keeps a console
    // send from mixing with it.
    m_bTransferActive = 0;
}

void CTerminalDlg::OnBtnFileSendNetwork() {
    std::string path;
    CLinkSocket* link = BeginFileSend(*this, path);
    if (!link)
        return;
    link->SetBlocking(true);
    m_serialPort.ArmCapture();
    link->m_bCaptureArmed = 0;
    link->m_strSendPath = path;
    link->StartFileSend(path);
    m_dlgDownload.DoModal(this);
    m_bTransferActive = 0;
    // Back to notifications only once the worker has finished its last send, so the mode
    // switch never disturbs a send in progress. Bytes that came meanwhile are notified now.
    if (link == NetLinkInUse()) {
        link->JoinSendThread(2000);
        link->SetBlocking(false);
    }
}

void CTerminalDlg::OnTimer(int idEvent) {
    UpdateData(true);
    bool known = true;
    if (idEvent == IDT_SERIAL_TIMEOUT) {
        platform::KillTimer(g_hMainWnd, IDT_SERIAL_TIMEOUT);
        SetStatusText("Serial Timeout");
        if (m_serialPort.m_bCaptureArmed)
            m_serialPort.ResetCapture();
    } else if (idEvent == IDT_NETWORK_TIMEOUT) {
        platform::KillTimer(g_hMainWnd, IDT_NETWORK_TIMEOUT);
        SetStatusText(" Network Timeout");
        if (CLinkSocket* link = NetLinkInUse(); link && link->m_bCaptureArmed)
            link->ResetCapture();
    } else {
        known = false;
    }
    if (known && m_bTransferActive) {
        m_bTransferActive = 0;
        m_dlgDownload.EndDialogLater(IDCANCEL, END_PAUSE_MS);
    }
    UpdateData(false);
}

long CTerminalDlg::OnTransferCancel(WPARAM, LPARAM) {
    m_bTransferActive = 0;
    // A cancel that arrives when no dialog runs ends nothing.
    m_dlgDownload.EndDialogLater(IDCANCEL, END_PAUSE_MS);
    return 0;
}
