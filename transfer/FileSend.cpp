#include "transfer/FileSend.h"

#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "app/TerminalDlg.h"
#include "net/LinkSocket.h"
#include "platform/File.h"
#include "platform/Ui.h"
#include "serial/SerialPort.h"

namespace {
std::atomic<std::atomic<int32_t>*> g_transferFlag{nullptr};
std::atomic<int> g_startDelayMs{SEND_START_DELAY_MS};
}  // namespace

std::atomic<int32_t>& TransferActiveFlag() {
    if (auto* flag = g_transferFlag.load())
        return *flag;
    static std::atomic<int32_t> none{0};
    CTerminalDlg* dlg = AfxGetMainDlg();
    return dlg ? dlg->m_bTransferActive : none;
}

void SetTransferActiveFlag(std::atomic<int32_t>* flag) {
    g_transferFlag = flag;
}
void SetSendStartDelay(int ms) {
    g_startDelayMs = ms;
}

uint32_t SendFileWorker(const std::string& path, int chunk, bool yieldAfterChunk,
                        const std::atomic<int32_t>& transferActive,
                        const std::function<void(const unsigned char*, int)>& send,
                        int startDelayMs) {
    platform::CFile file;
    if (!file.OpenRead(path)) {
        platform::MessageBox("Can't open file", path + ": " + file.LastError());
        return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(startDelayMs));

    // The header goes out even when the transfer was cancelled during the wait. A file of 2^31
    // bytes or more never gets here: the File Send command refuses it.
    unsigned char header[FILE_HEADER_SIZE];
    BuildFileHeader(static_cast<uint32_t>(file.GetLength()), header);
    send(header, FILE_HEADER_SIZE);

    std::vector<unsigned char> buf(static_cast<size_t>(chunk));
    long n = file.Read(buf.data(), buf.size());
    while (n > 0 && transferActive.load() != 0) {
        send(buf.data(), static_cast<int>(n));
        if (yieldAfterChunk)
            std::this_thread::yield();
        n = file.Read(buf.data(), buf.size());
    }
    file.Close();
    return 1;
}

uint32_t ThreadSendFileComm(CSerialPort* port) {
    return SendFileWorker(
        port->m_strSendPath, SERIAL_SEND_CHUNK, true, TransferActiveFlag(),
        [port](const unsigned char* b, int n) { port->Write(b, static_cast<uint32_t>(n)); },
        g_startDelayMs);
}

uint32_t ThreadSendFileNet(CLinkSocket* link) {
    const uint32_t result = SendFileWorker(
        link->m_strSendPath, NETWORK_SEND_CHUNK, false, TransferActiveFlag(),
        [link](const unsigned char* b, int n) { link->Send(b, n, 0); }, g_startDelayMs);
    link->m_bSendThreadRunning = false;
    return result;
}

// A thread that cannot be created is reported by the result only; the progress dialog comes up
// all the same and is cancelled by the user.
int CSerialPort::StartFileSend(const std::string& path) {
    JoinSendThread();  // one send worker per port at a time
    m_strSendPath = path;
    try {
        m_hSendThread = std::thread(ThreadSendFileComm, this);
    } catch (const std::system_error&) {
        return 0;
    }
    return 1;
}

bool CLinkSocket::StartFileSend(const std::string& path) {
    JoinSendThread(2000);
    m_strSendPath = path;
    m_bSendThreadRunning = true;
    try {
        m_hSendThread = std::thread(ThreadSendFileNet, this);
    } catch (const std::system_error&) {
        m_bSendThreadRunning = false;
        m_strSendPath.clear();
        return false;
    }
    return true;
}
