// The traffic log of both links: the "Log Traffic..." entry (checked while a log runs) starts one
// in a file the user chooses or stops the running one; the status line's tooltip says how many
// bytes a log that falls behind could not keep, and a log that fails says so in a box.
#pragma once

#include "app/DialogFeature.h"

class CStatusLine;
class TerminalEngine;

class CTrafficLogFeature : public CDialogFeature {
    Q_OBJECT
public:
    CTrafficLogFeature(TerminalEngine& engine, CStatusLine& status);

    void AddMenuEntries(CFeatureMenu& menu) override;

    // Starts the traffic log of both links in a file the user chooses, or stops the running one.
    void OnLogTraffic();

private:
    // The tooltip's part: the bytes the running log could not keep up with (0: none).
    void ShowBytesNotLogged(qint64 bytes);

    TerminalEngine& m_engine;
    CStatusLine& m_status;
};
