#include "app/SendHistory.h"

#include <QKeyEvent>
#include <QLineEdit>

#include "app/AppSettings.h"

CSendHistory::CSendHistory(QLineEdit* edit, const CAppSettings& settings, QString key,
                           QObject* parent)
    : QObject(parent), m_edit(edit), m_settings(settings), m_key(std::move(key)) {
    m_edit->installEventFilter(this);
    // A recalled line that is changed becomes the line being typed: Up starts from the newest
    // again, and Down past it gives the changed line back.
    connect(m_edit, &QLineEdit::textEdited, this, [this] {
        m_nShown = -1;
        m_draft.clear();
    });
}

void CSendHistory::Load() {
    if (m_bLoaded)
        return;
    m_bLoaded = true;
    m_lines = m_settings.Open()->value(m_key).toStringList();
    while (m_lines.size() > SEND_HISTORY_LIMIT)
        m_lines.removeLast();
}

const QStringList& CSendHistory::Lines() {
    Load();
    return m_lines;
}

void CSendHistory::Add(const std::string& line) {
    Load();
    m_nShown = -1;
    m_draft.clear();
    const QString text = QString::fromStdString(line);
    if (text.isEmpty() || (!m_lines.isEmpty() && m_lines.front() == text))
        return;
    m_lines.prepend(text);
    while (m_lines.size() > SEND_HISTORY_LIMIT)
        m_lines.removeLast();
    m_settings.Open()->setValue(m_key, m_lines);
}

bool CSendHistory::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_edit && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (plain && (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down)) {
            Step(key->key() == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void CSendHistory::Step(int by) {
    Load();
    const int shown = m_nShown + by;
    if (shown < -1 || shown >= m_lines.size())
        return;
    if (m_nShown == -1)
        m_draft = m_edit->text();
    m_nShown = shown;
    m_edit->setText(shown == -1 ? m_draft : m_lines[shown]);
}
