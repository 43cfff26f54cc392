// One console of the main dialog as the exchange and the refreshes see it: its read-only text
// widget, what the exchange last wrote into it (the widget shows exactly that), and the pacer that
// keeps its refreshes to the display's pace (see app/RefreshPacer.h).
#pragma once

#include <functional>
#include <string>

#include "app/RefreshPacer.h"

class QPlainTextEdit;

class CConsolePane {
public:
    // `refresh` renders the console and scrolls it to its end; the pacer calls it.
    CConsolePane(QPlainTextEdit* widget, std::function<void()> refresh);

    QPlainTextEdit* Widget() const { return m_widget; }
    // What the widget shows, as the exchange last wrote it.
    const std::string& Shown() const { return m_shown; }
    // Writes `text` into the widget. Only what changed is replaced, from the start of the first
    // line that differs, so that while a history grows its earlier lines keep their layout; an
    // unchanged text costs nothing.
    void Show(const std::string& text);
    // A refresh at the display's pace.
    void RequestRefresh() { m_pacer.Request(); }

private:
    QPlainTextEdit* m_widget;  // a child of the dialog
    std::string m_shown;
    CRefreshPacer m_pacer;
};
