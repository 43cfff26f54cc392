#include "app/ConsolePane.h"

#include <QPlainTextEdit>
#include <QTextCursor>

#include <algorithm>

#include "display/ConsoleFormat.h"

CConsolePane::CConsolePane(QPlainTextEdit* widget, std::function<void()> refresh)
    : m_widget(widget), m_pacer(std::move(refresh), CONSOLE_REFRESH_INTERVAL_MS) {}

void CConsolePane::Show(const std::string& text) {
    if (text == m_shown)
        return;
    const QString now = ConsoleWidgetText(text);
    const QString before = ConsoleWidgetText(m_shown);
    m_shown = text;
    // Replacing through a cursor costs about half of setPlainText(), which also resets the
    // document and its layout from scratch.
    qsizetype same = 0;
    // The document holds one position per character of the text it was given; should it not (it
    // was changed behind the exchange's back), everything is replaced.
    const qsizetype common = m_widget->document()->characterCount() - 1 == before.size()
                                 ? std::min(before.size(), now.size())
                                 : 0;
    while (same < common && before[same] == now[same])
        ++same;
    const qsizetype from = same == 0 ? 0 : now.lastIndexOf(QLatin1Char('\n'), same - 1) + 1;
    QTextCursor cursor(m_widget->document());
    cursor.setPosition(static_cast<int>(from));
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.insertText(now.mid(from));
}
