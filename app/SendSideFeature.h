// The send side of both consoles: what a typed line becomes on its way out (its line ending, hex
// pairs instead of text), the lines sent before (Up and Down in each send line), and the sent
// lines shown in the consoles. The choices are kept in the window's settings.
#pragma once

#include <QString>

#include <array>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/DialogFeature.h"
#include "app/SendHistory.h"
#include "display/RingBuffer.h"
#include "display/SentLines.h"
#include "platform/Result.h"
#include "serial/EncodeSendLine.h"
#include "serial/HexPairs.h"

class QLineEdit;
class CAppSettings;
class CStatusLine;
class TerminalEngine;

// The two send lines.
enum class SendLine { Serial, Network };

// The sent lines each console keeps to show: only those still among its history are shown.
constexpr size_t SENT_LINES_KEPT = 64;

class CSendSideFeature : public CDialogFeature {
    Q_OBJECT
public:
    CSendSideFeature(TerminalEngine& engine, const CAppSettings& settings, CStatusLine& status,
                     QLineEdit* serialLine, QLineEdit* netLine);

    void AddMenuEntries(CFeatureMenu& menu) override;

    // Sends a typed line on its console. With no line ending and no hex, exactly as the console
    // sends a typed line; otherwise the line's bytes (escapes decoded, or its hex pairs; the
    // network line without its trailing blanks) and the ending go out in one write. Gives the
    // link's result, or nothing when the line is not whole hex pairs: then nothing is sent and
    // the status line says what is wrong and where. A line handed to the link goes into the
    // history whatever the link made of it.
    std::optional<platform::Result> Send(SendLine which, const std::string& line);

    LineEnding Ending();
    bool SendAsHex();
    bool ShowSent();
    void SetEnding(LineEnding ending);
    void SetSendAsHex(bool on);
    void SetShowSent(bool on);
    CSendHistory& History(SendLine which) { return *m_history[Index(which)]; }

    // The sent lines to show among a console's history that ends at `end` and holds n bytes
    // (none while Show Sent is off), oldest first. The views stay valid until the next Send.
    // Returns whether the console's render before this one showed sent lines.
    bool SentLinesIn(SendLine which, const CRingBuffer::End& end, int n,
                     std::vector<SentLine>& out);

signals:
    // A console shows something else: it renders again.
    void consoleChanged(SendLine which);

private:
    struct Sent {
        CRingBuffer::End at;  // where the console's history ended when the line went out
        std::string bytes;
    };
    static size_t Index(SendLine which) { return which == SendLine::Serial ? 0 : 1; }
    // Read from the settings on first use (the dialog is given its settings file after its
    // features are made).
    void Load();
    void Save(const QString& key, const QVariant& value);
    CRingBuffer& Ring(SendLine which);
    void RefuseHex(const HexPairsError& error);

    TerminalEngine& m_engine;
    const CAppSettings& m_settings;
    CStatusLine& m_status;
    std::array<std::unique_ptr<CSendHistory>, 2> m_history;
    std::array<std::deque<Sent>, 2> m_sent;
    std::array<bool, 2> m_bShowing{};  // the console's last render showed sent lines
    bool m_bLoaded = false;
    LineEnding m_ending = LineEnding::None;
    bool m_bHex = false;
    bool m_bShowSent = false;
};
