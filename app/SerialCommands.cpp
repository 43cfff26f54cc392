// The serial console's commands: Open/Close, Send and Clear.
#include <QComboBox>
#include <QPushButton>

#include "app/TerminalDlg.h"
#include "app/Ui.h"
#include "res/Resource.h"
#include "serial/SerialSettings.h"

void CTerminalDlg::OnButtonOpen() {
    UpdateData(true);
    QComboBox* lists[] = {m_cbPort, m_cbBaud, m_cbData, m_cbStop, m_cbParity, m_cbFlow};
    if (!SerialOpen()) {
        m_strSerialConsole.clear();  // whether or not the port then opens
        const SerialSettings s = SettingsFromSelection(
            m_cbPort->currentIndex(), m_cbBaud->currentIndex(), m_cbData->currentIndex(),
            m_cbStop->currentIndex(), m_cbParity->currentIndex(), m_cbFlow->currentIndex());
        if (const platform::Result r = Serial().Open(s); r) {
            SetStatusText(FormatSerialConnected(s));
            for (QComboBox* list : lists)
                list->setEnabled(false);
            UpdateFileSendButtons();
            m_btnOpen->setText(QStringLiteral("Close"));
        } else {
            ui::MessageBox(r.text, r.hint.empty() ? r.reason : r.reason + "\n" + r.hint);
        }
    } else {
        Serial().Close();
        SetStatusText(FormatSerialDisconnected(Serial().PortName()));
        for (QComboBox* list : lists)
            list->setEnabled(true);
        m_btnOpen->setText(QStringLiteral("Open"));
        UpdateFileSendButtons();
    }
    UpdateData(false);
}

void CTerminalDlg::OnButtonSend() {
    UpdateData(true);
    Serial().Send(m_strSend);  // a closed port sends nothing; send results are not shown
    m_strSend.clear();         // sent or not, the line is emptied
    UpdateData(false);
}

void CTerminalDlg::OnButtonClear() {
    UpdateData(true);
    m_strSerialConsole.clear();
    Serial().Clear();
    UpdateData(false);
}
