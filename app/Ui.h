// The one seam through which the program shows message boxes, the file dialogs and its small
// number inputs.
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
    // The save-file dialog, opened in `directory` with `name` proposed; nothing when the user
    // cancels. A seam that does not answer it cancels.
    virtual std::optional<FileChoice> ChooseSaveFile(const std::string& directory,
                                                     const std::string& name,
                                                     const std::string& filter) {
        (void)directory, (void)name, (void)filter;
        return std::nullopt;
    }
    // A whole number from min to max, `value` proposed; nothing when the user cancels. A seam
    // that does not answer it cancels.
    virtual std::optional<int> AskNumber(const std::string& title, const std::string& label,
                                         int value, int min, int max) {
        (void)title, (void)label, (void)value, (void)min, (void)max;
        return std::nullopt;
    }
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

// The save-file dialog, opened in `directory` (may be empty) with `name` proposed, with a filter
// in the framework's form. It asks before overwriting a file.
std::optional<FileChoice> ChooseSaveFile(const std::string& directory, const std::string& name,
                                         const std::string& filter);

// A small input of a whole number from min to max, `value` proposed.
std::optional<int> AskNumber(const std::string& title, const std::string& label, int value, int min,
                             int max);

}  // namespace ui
