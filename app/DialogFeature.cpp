#include "app/DialogFeature.h"

#include <QAction>
#include <QMenu>

namespace {

bool IsConsoleEntry(MenuPlace place) {
    return place >= MenuPlace::ShowTimestamps;
}

}  // namespace

QAction* CFeatureMenu::Add(MenuPlace place, const QString& text) {
    QAction*& entry = m_entries[place];
    delete entry;
    entry = new QAction(text, &m_menu);
    return entry;
}

void CFeatureMenu::Fill() {
    bool consoles = false;
    for (const auto& [place, action] : m_entries) {
        if (IsConsoleEntry(place) && !consoles)
            m_menu.addSeparator();
        consoles = consoles || IsConsoleEntry(place);
        m_menu.addAction(action);
    }
    m_entries.clear();
}
