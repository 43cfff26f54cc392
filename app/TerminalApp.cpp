#include "app/TerminalApp.h"

#include <csignal>

#include "app/TerminalDlg.h"

CTerminalApp::CTerminalApp(int& argc, char** argv) : m_app(argc, argv) {
    QApplication::setApplicationName(QStringLiteral("Vaskel"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
}

int CTerminalApp::Run() {
    InitInstance();
    return 0;
}

bool CTerminalApp::InitInstance() {
    // The socket layer: a peer that vanishes must give a send error, never SIGPIPE, which would
    // end the program. (Every send also passes MSG_NOSIGNAL; this covers anything else.)
    std::signal(SIGPIPE, SIG_IGN);

    CTerminalDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();  // Exit or cancel: the result is not looked at
    m_pMainWnd = nullptr;
    return false;
}
