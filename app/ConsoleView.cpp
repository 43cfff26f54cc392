// Rendering the two consoles from their receive histories, and their fonts.
#include <QCheckBox>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QScrollBar>

#include "app/ConsolePane.h"
#include "app/ModbusNotes.h"
#include "app/TerminalDlg.h"
#include "display/ConsoleFormat.h"
#include "display/SentLines.h"
#include "res/Resource.h"

namespace {

// Both console fonts are 10 pixels high: "MS Sans Serif" maps to the system's sans font and
// "FixedSys" to its fixed-pitch font. The Windows face names are not asked for: fontconfig
// answers any name with its default face, which would make the hex view proportional.
QFont ConsoleFont(QFontDatabase::SystemFont which) {
    QFont font = QFontDatabase::systemFont(which);
    font.setPixelSize(10);
    font.setWeight(QFont::Normal);
    if (which == QFontDatabase::FixedFont)
        font.setStyleHint(QFont::TypeWriter);
    return font;
}

void ScrollToEnd(QPlainTextEdit* console) {
    console->verticalScrollBar()->setValue(console->verticalScrollBar()->maximum());
}

void SetConsoleFont(QPlainTextEdit* console, const QFont& font) {
    if (console->font() != font)
        console->setFont(font);
}

// The decoded frames among the sent lines, each after the bytes it decodes (before a sent line at
// the same place: the frame came first).
void AddNotes(const std::vector<ModbusNote>& notes, std::vector<SentLine>& lines) {
    if (notes.empty())
        return;
    std::vector<SentLine> merged;
    merged.reserve(notes.size() + lines.size());
    size_t next = 0;
    for (const ModbusNote& note : notes) {
        while (next < lines.size() && lines[next].index < note.index)
            merged.push_back(lines[next++]);
        merged.push_back({note.index, note.text, true});
    }
    merged.insert(merged.end(), lines.begin() + static_cast<std::ptrdiff_t>(next), lines.end());
    lines.swap(merged);
}

}  // namespace

void CTerminalDlg::OnShowWindow() {
    // Created once, when the window is first shown.
    if (m_bFontsCreated)
        return;
    m_bFontsCreated = true;
    m_fontText = ConsoleFont(QFontDatabase::GeneralFont);  // "MS Sans Serif"
    m_fontHex = ConsoleFont(QFontDatabase::FixedFont);     // "FixedSys"
    SetConsoleFont(qobject_cast<QPlainTextEdit*>(GetDlgItem(IDC_REDIT_SERIAL_DEBUG)), m_fontText);
    SetConsoleFont(qobject_cast<QPlainTextEdit*>(GetDlgItem(IDC_REDIT_NET_DEBUG)), m_fontText);
}

// One render: the whole history in the form its Hex View box asks for. Only the console and its
// box take part in the exchange, so traffic never raises a validation prompt for other fields
// and never disturbs what the other controls show.
// Returns false, leaving the console alone, when the history is empty and no sent line shows.
static bool RenderConsole(CTerminalDlg& dlg, CRingBuffer& ring, QCheckBox* hexView,
                          std::string& member, int consoleId, SendLine line) {
    unsigned char history[RING_BUFFER_CAPACITY];
    // Where the chunks start, and the sent lines among them: kept between renders (only the UI
    // thread renders), so a render allocates nothing once it has seen a history full of chunks.
    static std::vector<CRingBuffer::ChunkStart> starts;
    static std::vector<SentLine> sent;
    static std::vector<ModbusNote> notes;
    const bool stamps = dlg.Timestamps().Shown();
    const ModbusDecode decode = dlg.Timestamps().Decode(line);
    // One consistent history (with its chunk starts), even while bytes arrive.
    CRingBuffer::End end;
    const int n = stamps || decode != ModbusDecode::Off ? ring.Snapshot(history, starts, &end)
                                                        : ring.Snapshot(history, &end);
    const bool showedSent = dlg.SendSide().SentLinesIn(line, end, n, sent);
    if (decode != ModbusDecode::Off) {
        if (FindModbusNotes(decode, history, n, starts, dlg.Serial().Settings(),
                            platform::Stamp::Now().steadyNs, notes))
            dlg.Timestamps().RenderAgainSoon();
        AddNotes(notes, sent);
    }
    if (n == 0 && sent.empty()) {
        if (!showedSent)
            return false;  // the console keeps its text and its font
        member.clear();    // it showed only sent lines, which are no longer shown
        return true;
    }
    const int64_t gapNs = int64_t{dlg.Timestamps().GapMs()} * 1'000'000;
    auto* console = qobject_cast<QPlainTextEdit*>(dlg.GetDlgItem(consoleId));
    if (!sent.empty()) {
        FormatWithSent(history, n, stamps ? &starts : nullptr, gapNs, sent, hexView->isChecked(),
                       member);
        if (dlg.m_bFontsCreated)
            SetConsoleFont(console, hexView->isChecked() ? dlg.m_fontHex : dlg.m_fontText);
    } else if (hexView->isChecked()) {
        if (stamps)
            FormatHexDump(history, n, starts, gapNs, member);
        else
            FormatHexDump(history, n, member);
        if (dlg.m_bFontsCreated)
            SetConsoleFont(console, dlg.m_fontHex);
    } else {
        if (stamps)
            FormatConsoleText(history, n, starts, gapNs, member);
        else
            FormatConsoleText(history, n, member);
        if (dlg.m_bFontsCreated)
            SetConsoleFont(console, dlg.m_fontText);
    }
    return true;
}

void CTerminalDlg::RenderSerialConsole() {
    m_strSerialConsole = m_serialView->Shown();  // the console's part of the exchange
    if (RenderConsole(*this, SerialRing(), m_chkHexView, m_strSerialConsole, IDC_REDIT_SERIAL_DEBUG,
                      SendLine::Serial))
        m_serialView->Show(m_strSerialConsole);
}

void CTerminalDlg::RenderNetConsole() {
    m_strNetConsole = m_netView->Shown();
    if (RenderConsole(*this, NetRing(), m_chkHexViewNet, m_strNetConsole, IDC_REDIT_NET_DEBUG,
                      SendLine::Network))
        m_netView->Show(m_strNetConsole);
}

// A refresh: render, then scroll to the last line. Painting is held back until both are done,
// so the widget lays out only the page it ends on, never the first page on the way.
// A view whose text did not change is left alone, scroll position included.
static void RefreshConsole(CTerminalDlg& dlg, QPlainTextEdit* console,
                           void (CTerminalDlg::*render)()) {
    const int revision = console->document()->revision();
    console->setUpdatesEnabled(false);
    (dlg.*render)();
    if (console->document()->revision() != revision)
        ScrollToEnd(console);
    console->setUpdatesEnabled(true);
}

// The serial receive thread announced new bytes (one announcement pending at most): take it, and
// render the latest history at the display's pace.
long CTerminalDlg::OnCommRead() {
    Serial().TakeRefresh();
    m_serialView->RequestRefresh();
    return 1;
}

void CTerminalDlg::RefreshSerialConsole() {
    RefreshConsole(*this, m_serialView->Widget(), &CTerminalDlg::RenderSerialConsole);
}

void CTerminalDlg::RefreshNetConsole() {
    RefreshConsole(*this, m_netView->Widget(), &CTerminalDlg::RenderNetConsole);
}

void CTerminalDlg::CreatePanes() {
    m_serialView = std::make_unique<CConsolePane>(
        qobject_cast<QPlainTextEdit*>(GetDlgItem(IDC_REDIT_SERIAL_DEBUG)),
        [this] { RefreshSerialConsole(); });
    m_netView = std::make_unique<CConsolePane>(
        qobject_cast<QPlainTextEdit*>(GetDlgItem(IDC_REDIT_NET_DEBUG)),
        [this] { RefreshNetConsole(); });
}

// A toggle re-renders the history in the other form and shows it from its top, as a console whose
// whole text was replaced does; it is not scrolled to its end.
static void ToggleConsole(CTerminalDlg& dlg, CRingBuffer& ring, QPlainTextEdit* console,
                          void (CTerminalDlg::*render)()) {
    (dlg.*render)();
    if (ring.GetCount() == 0)
        return;  // nothing was rendered: the console keeps its text and its place
    console->verticalScrollBar()->setValue(console->verticalScrollBar()->minimum());
    console->horizontalScrollBar()->setValue(console->horizontalScrollBar()->minimum());
}

void CTerminalDlg::OnCheckHexview() {
    ToggleConsole(*this, SerialRing(), m_serialView->Widget(), &CTerminalDlg::RenderSerialConsole);
}

void CTerminalDlg::OnCheckHexviewNet() {
    ToggleConsole(*this, NetRing(), m_netView->Widget(), &CTerminalDlg::RenderNetConsole);
}
