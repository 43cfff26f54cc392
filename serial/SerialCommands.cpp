// The serial console's commands: Open/Close, Send and Clear.
#include <QComboBox>
#include <QPushButton>

#include <vector>

#include "app/TerminalDlg.h"
#include "platform/Ui.h"
#include "res/Resource.h"
#include "serial/EncodeSendLine.h"
#include "serial/SerialSettings.h"

namespace {
constexpr int SEND_BUFFER_SIZE = 1024;
}

void CTerminalDlg::OnButtonOpen() {
    UpdateData(true);
    QComboBox* lists[] = {m_cbPort, m_cbBaud, m_cbData, m_cbStop, m_cbParity, m_cbFlow};
    if (!m_bSerialOpen) {
        m_strSerialConsole.clear();  // whether or not the port then opens
        const SerialSettings s = SettingsFromSelection(
            m_cbPort->currentIndex(), m_cbBaud->currentIndex(), m_cbData->currentIndex(),
            m_cbStop->currentIndex(), m_cbParity->currentIndex(), m_cbFlow->currentIndex());
        if (m_serialPort.Open(s.portName, s.baud, s.byteSize, s.stopBitsCode, s.parityCode,
                              s.flowMode)) {
            SetStatusText(FormatSerialConnected(s));
            for (QComboBox* list : lists)
                list->setEnabled(false);
            if (m_bNetConnected) {
                GetDlgItem(IDC_BTN_FILE_SEND_SERIAL)->setEnabled(true);
                GetDlgItem(IDC_BTN_FILE_SEND_NETWORK)->setEnabled(true);
            }
            m_btnOpen->setText(QStringLiteral("Close"));
            m_bSerialOpen = 1;
            m_strSerialConsole.clear();
            m_serialRing.Clear();
        } else {
            platform::MessageBox("Can't open PORT", m_serialPort.LastError());
        }
    } else {
        m_serialPort.Close();
        SetStatusText(FormatSerialDisconnected(m_serialPort.m_strPortName));
        for (QComboBox* list : lists)
            list->setEnabled(true);
        m_btnOpen->setText(QStringLiteral("Open"));
        GetDlgItem(IDC_BTN_FILE_SEND_SERIAL)->setEnabled(false);
        GetDlgItem(IDC_BTN_FILE_SEND_NETWORK)->setEnabled(false);
        m_bSerialOpen = 0;
    }
    UpdateData(false);
}

void CTerminalDlg::OnButtonSend() {
    UpdateData(true);
    // The line as typed, nothing trimmed. A line of 1024 characters beyond ASCII takes more than
    // 1024 bytes in UTF-8, so the buffer grows with the line: nothing is cut short.
    std::vector<unsigned char> buf(std::max<size_t>(SEND_BUFFER_SIZE, m_strSend.size()));
    const int count = EncodeSendLine(m_strSend, buf.data(), static_cast<int>(buf.size()));
    if (m_bSerialOpen)
        m_serialPort.Write(buf.data(), static_cast<uint32_t>(count));
    m_strSend.clear();  // sent or not, the line is emptied
    UpdateData(false);
}

void CTerminalDlg::OnButtonClear() {
    UpdateData(true);
    m_strSerialConsole.clear();
    m_serialRing.Clear();
    UpdateData(false);
}
