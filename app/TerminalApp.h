// The application object: starts what the dialog needs, runs the main dialog modally, ends.
#pragma once

#include <QApplication>

class CTerminalDlg;

class CTerminalApp {
public:
    CTerminalApp(int& argc, char** argv);
    // Runs InitInstance; the program's exit code.
    int Run();
    // Always false: the program ends when the dialog has closed, without a loop of its own.
    bool InitInstance();

    CTerminalDlg* m_pMainWnd = nullptr;

private:
    QApplication m_app;
};
