// The serial console's commands: Open/Close, Send and Clear.
#include <QComboBox>
#include <QPushButton>

#include <cerrno>

#include "app/SerialSelection.h"
#include "app/TerminalDlg.h"
#include "app/Ui.h"
#include "res/Resource.h"

void CTerminalDlg::OnButtonOpen() {
    UpdateData(true);  // a refused field has had its prompt; this command does not use it
    if (!SerialOpen()) {
        m_strSerialConsole.clear();  // whether or not the port then opens
        const SerialSelection s = SelectionFromLists(
            m_cbPort->currentIndex(), m_cbBaud->currentIndex(), m_cbData->currentIndex(),
            m_cbStop->currentIndex(), m_cbParity->currentIndex(), m_cbFlow->currentIndex());
        if (const platform::Result r = Serial().Open(s.portName, s.line); r) {
            SetStatusText(FormatSerialConnected(s));
            for (QComboBox* list : {m_cbPort, m_cbBaud, m_cbData, m_cbStop, m_cbParity, m_cbFlow})
                list->setEnabled(false);
            UpdateFileSendButtons();
            m_btnOpen->setText(QStringLiteral("Close"));
        } else {
            ui::MessageBox(r.text, r.hint.empty() ? r.reason : r.reason + "\n" + r.hint);
        }
    } else {
        ClosePort();
    }
    UpdateData(false);
}

// Closes the port and puts the controls back (the Close command, and the teardown).
void CTerminalDlg::ClosePort() {
    Serial().Close();
    ShowSerialClosed(FormatSerialDisconnected(Serial().PortName()));
}

void CTerminalDlg::ShowSerialClosed(const std::string& status) {
    SetStatusText(status);
    for (QComboBox* list : {m_cbPort, m_cbBaud, m_cbData, m_cbStop, m_cbParity, m_cbFlow})
        list->setEnabled(true);
    m_btnOpen->setText(QStringLiteral("Open"));
    UpdateFileSendButtons();
}

// The device went away while the port was open; the console has already closed the port.
void CTerminalDlg::OnPortLost(const QString& reason) {
    ShowSerialClosed(FormatSerialLost(Serial().PortName(), reason.toStdString()));
}

void CTerminalDlg::OnButtonSend() {
    UpdateData(true);  // a refused field has had its prompt; this command does not use it
    // A closed port sends nothing, silently; a port that does not take the line says so. A line
    // that is not hex pairs while Send as Hex is on stays to be put right (the status says why).
    const std::optional<platform::Result> r = SendSide().Send(SendLine::Serial, m_strSend);
    if (r && r->error == EAGAIN)
        SetStatusText(" Send incomplete : the port does not take the bytes");
    if (r)
        m_strSend.clear();  // sent or not, the line is emptied
    UpdateData(false);
}

void CTerminalDlg::OnButtonClear() {
    UpdateData(true);  // a refused field has had its prompt; this command does not use it
    m_strSerialConsole.clear();
    Serial().Clear();
    UpdateData(false);
}
