// Data exchange between the main dialog's controls and its members, with validation.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include <algorithm>
#include <optional>

#include "app/ConsolePane.h"
#include "app/TerminalDlg.h"
#include "app/Ui.h"
#include "net/Fields.h"
#include "res/Resource.h"

namespace {

constexpr int SEND_LINE_LIMIT = 1024;
// The framework's validation prompts (in Korean, as they are shown).
const char* const PROMPT_MAX_CHARS = "%1 이하의 문자를 입력하십시오.";
const char* const PROMPT_UNSIGNED = "양의 정수를 입력하십시오.";

void ExchangeIndex(QComboBox* combo, int& member, bool save) {
    if (save)
        member = combo->currentIndex();
    else if (combo->currentIndex() != member)
        combo->setCurrentIndex(member);
}

void LoadText(QLineEdit* edit, const QString& text) {
    if (edit->text() != text)  // an unchanged control keeps its cursor and selection
        edit->setText(text);
}

}  // namespace

// Reading (save) takes every field it can. A field whose text does not pass its check keeps its
// member; the first such field has its prompt and the focus, the later ones none. Every other
// field is still read, so that a command that goes on after the prompt works with what the
// controls show and its closing write-back never puts an older member over what the user typed.
// The refused fields keep their text through the following write-back, for the user to correct.
bool CTerminalDlg::UpdateData(bool save) {
    if (save)
        m_refusedFields.clear();
    // Whether `control` takes part in this write-back: not when its text was just refused.
    auto writes = [this](QWidget* control) {
        return std::find(m_refusedFields.begin(), m_refusedFields.end(), control) ==
               m_refusedFields.end();
    };
    // A refused field: the first one is prompted for and takes the focus.
    auto refuse = [this](QWidget* control, const QString& prompt) {
        m_refusedFields.push_back(control);
        if (m_refusedFields.size() > 1)
            return;
        ui::MessageBox(prompt.toStdString());
        control->setFocus();
        if (auto* edit = qobject_cast<QLineEdit*>(control))
            edit->selectAll();
    };

    ExchangeIndex(m_cbBaud, m_nBaud, save);
    ExchangeIndex(m_cbData, m_nDataBits, save);
    ExchangeIndex(m_cbPort, m_nComPort, save);
    ExchangeIndex(m_cbParity, m_nParity, save);
    ExchangeIndex(m_cbStop, m_nStopBits, save);
    ExchangeIndex(m_cbFlow, m_nFlow, save);

    if (save) {
        const QString text = m_editSend->text();
        if (text.size() > SEND_LINE_LIMIT)
            refuse(m_editSend, QString::fromUtf8(PROMPT_MAX_CHARS).arg(SEND_LINE_LIMIT));
        else
            m_strSend = text.toStdString();
    } else {
        if (writes(m_editSend))
            LoadText(m_editSend, QString::fromStdString(m_strSend));
        if (m_editSend->maxLength() != SEND_LINE_LIMIT)
            m_editSend->setMaxLength(SEND_LINE_LIMIT);
    }

    auto* editPort = qobject_cast<QLineEdit*>(GetDlgItem(IDC_EDIT_IP_PORT));
    if (save) {
        // The field's text in UTF-8: the parser skips the same blanks QString::trimmed() does.
        if (const auto port = ParseUnsignedField(editPort->text().toStdString()))
            m_nPort = *port;
        else
            refuse(editPort, QString::fromUtf8(PROMPT_UNSIGNED));
    } else if (writes(editPort)) {
        LoadText(editPort, QString::number(m_nPort));
    }

    auto* editMessage = qobject_cast<QLineEdit*>(GetDlgItem(IDC_EDIT_IP_MESSAGE));
    if (save) {
        const QString text = editMessage->text();
        if (text.size() > SEND_LINE_LIMIT)
            refuse(editMessage, QString::fromUtf8(PROMPT_MAX_CHARS).arg(SEND_LINE_LIMIT));
        else
            m_strNetMessage = text.toStdString();
        // The consoles are read-only: they show exactly what the exchange last wrote.
        m_strSerialConsole = m_serialView->Shown();
        m_strNetConsole = m_netView->Shown();
    } else {
        if (writes(editMessage))
            LoadText(editMessage, QString::fromStdString(m_strNetMessage));
        m_serialView->Show(m_strSerialConsole);
        m_netView->Show(m_strNetConsole);
    }
    return !save || m_refusedFields.empty();
}
