// The one seam through which the program shows message boxes and the open-file dialog.
//
// The program shows real Qt dialogs. Tests install a replacement that records the texts or hands
// back a chosen file, so that no test ever blocks on a modal window.
#pragma once

#include <optional>
#include <string>

namespace ui {

struct FileChoice {
    std::string path;  // full path of the chosen file
    std::string name;  // its name without the directory
};

class IUiSeam {
public:
    virtual ~IUiSeam() = default;
    // A message box with an OK button. `detail` (may be empty) carries the operating system's
    // reason; the main text is always the program's own fixed text.
    virtual void ShowMessage(const std::string& text, const std::string& detail) = 0;
    // The open-file dialog; nothing when the user cancels.
    virtual std::optional<FileChoice> ChooseOpenFile(const std::string& filter) = 0;
    // Shows a folder in the desktop's file manager.
    virtual void OpenFolder(const std::string& path) = 0;
};

// Replaces the real dialogs (nullptr restores them). Not thread-safe: set it before anything runs.
void SetUiSeam(IUiSeam* seam);

// Shows a message box. On the UI thread it returns when the user has dismissed the box; from any
// other thread the box is handed to the UI thread and the call returns at once, so a worker never
// waits for the UI thread (which may be waiting for that worker).
void MessageBox(const std::string& text, const std::string& detail = {});

// The open-file dialog with a filter in the framework's form ("All Files(*.*)|*.*||").
std::optional<FileChoice> ChooseOpenFile(const std::string& filter);

// Shows a folder in the desktop's file manager.
void OpenFolder(const std::string& path);

}  // namespace ui
