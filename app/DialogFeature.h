// A feature of the main dialog that is not one of its consoles: it owns its state, its windows and
// its context-menu entries, and talks to the engine itself. The dialog creates one owner per
// feature and lets each add its entries when the menu opens.
#pragma once

#include <QObject>
#include <QString>

#include <map>

class QAction;
class QMenu;

// Every feature entry of the context menu, in the order the menu shows them. The entries form two
// groups, the settings windows and the consoles' entries, with a separator between them.
enum class MenuPlace {
    SerialPorts,
    LineSignals,
    NetworkOptions,
    Commands,
    OpenCaptureFolder,
    // The consoles' entries.
    ShowTimestamps,
    TimestampGap,
    DecodeModbus,
    LogTraffic,
    LineEnding,
    SendAsHex,
    ShowSent,
};

// The feature entries of one context menu while the features add them: whichever feature adds an
// entry first, Fill puts each at its place.
class CFeatureMenu {
public:
    explicit CFeatureMenu(QMenu& menu) : m_menu(menu) {}

    // A new entry at `place` (one per place; a second one replaces the first). The action belongs
    // to the menu and shows once Fill has run.
    QAction* Add(MenuPlace place, const QString& text);
    // Adds the entries to the menu in the order of their places, a separator before the first of
    // the consoles' entries.
    void Fill();

private:
    QMenu& m_menu;
    std::map<MenuPlace, QAction*> m_entries;
};

class CDialogFeature : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Adds the feature's entries as the feature stands now (checked states, values in texts).
    virtual void AddMenuEntries(CFeatureMenu& menu) = 0;
};
