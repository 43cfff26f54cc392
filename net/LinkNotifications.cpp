// What the link socket does when the socket layer notifies it (UI thread).
#include <QCheckBox>

#include <memory>

#include "app/TerminalDlg.h"
#include "net/LinkSocket.h"
#include "platform/Ui.h"

namespace {
constexpr int RECEIVE_CHUNK = 2047;  // at most what the history keeps
}

void CLinkSocket::OnAccept(int errorCode) {
    CTerminalDlg* dlg = AfxGetMainDlg();
    if (!dlg || this != dlg->m_pListenSocket) {
        // Not the console's listener: still take the connection off the queue (and close it),
        // or the socket would stay readable and notify without end.
        CLinkSocket stray;
        Accept(stray);
        CAsyncSocket::OnAccept(errorCode);
        return;
    }
    if (dlg->m_nPeerCount == 0) {
        dlg->m_pPeerSocket = new CLinkSocket;
        if (dlg->m_pListenSocket->Accept(*dlg->m_pPeerSocket)) {
            dlg->m_nPeerCount = 1;
        } else {
            const std::string why = dlg->m_pListenSocket->LastError();
            delete dlg->m_pPeerSocket;
            dlg->m_pPeerSocket = nullptr;
            platform::MessageBox("Connection Fail.", why);
        }
    } else {
        // One peer at a time: a further connection is accepted and closed at once.
        CLinkSocket extra;
        if (!dlg->m_pListenSocket->Accept(extra))
            platform::MessageBox("Connection Fail.", dlg->m_pListenSocket->LastError());
        extra.Close();
    }
}

void CLinkSocket::OnReceive(int errorCode) {
    CTerminalDlg* dlg = AfxGetMainDlg();
    unsigned char buf[RECEIVE_CHUNK + 1];
    const int n = Receive(buf, RECEIVE_CHUNK, 0);
    if (n <= 0 || !dlg) {
        CAsyncSocket::OnReceive(errorCode);
        return;  // a close arrives separately
    }
    if (m_bCaptureArmed) {
        dlg->CaptureNetChunk(*this, buf, n);
        return;
    }
    dlg->m_netRing.Put(buf, n);
    dlg->RefreshNetConsole();
}

void CLinkSocket::OnClose(int errorCode) {
    CTerminalDlg* dlg = AfxGetMainDlg();
    if (!dlg)
        return;
    if (dlg->m_nPeerCount > 0 && this == dlg->m_pPeerSocket) {
        // The attached peer left: the server keeps listening and the next connection becomes
        // the peer. This object is destroyed here; nothing touches it afterwards.
        dlg->m_pPeerSocket = nullptr;
        dlg->m_nPeerCount = 0;
        delete this;
        return;
    }
    if (this == dlg->m_pClientSocket && dlg->m_bNetConnected &&
        !dlg->m_chkServerMode->isChecked()) {
        // The device closed the client link: the console goes back to idle exactly as if the
        // user had pressed Disconnect, so the status line says so at once.
        dlg->OnButtonIpConnect();
        return;
    }
    CAsyncSocket::OnClose(errorCode);
}
