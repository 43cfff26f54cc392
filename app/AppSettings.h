// The window's own settings (send history, line ending, saved commands): the user's settings
// (QSettings, organisation and application "Vaskel", the same store as the port mappings), or an
// INI file given instead (a test, a second window that must not share them).
#pragma once

#include <QSettings>

#include <memory>
#include <string>

class CAppSettings {
public:
    // Empty: the user's settings.
    void SetFile(std::string file) { m_file = std::move(file); }
    const std::string& File() const { return m_file; }
    // A fresh handle on the store; what is written through it is saved when it is destroyed.
    std::unique_ptr<QSettings> Open() const {
        if (!m_file.empty())
            return std::make_unique<QSettings>(QString::fromStdString(m_file),
                                               QSettings::IniFormat);
        return std::make_unique<QSettings>(QStringLiteral("Vaskel"), QStringLiteral("Vaskel"));
    }

private:
    std::string m_file;
};
