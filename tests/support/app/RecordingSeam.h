// The dialog tests' stand-in for message boxes and the open-file dialog.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/Ui.h"

namespace testutil {

// Records message boxes and answers the open-file dialog; installed for its lifetime.
class RecordingSeam : public ui::IUiSeam {
public:
    RecordingSeam();
    ~RecordingSeam() override;
    void ShowMessage(const std::string& text, const std::string& detail) override;
    std::optional<ui::FileChoice> ChooseOpenFile(const std::string& filter) override;
    void OpenFolder(const std::string& path) override { folders.push_back(path); }
    std::vector<std::string> folders;
    // The save-file dialog: where it opened and the name it proposed, answered by nextSaveFile.
    std::optional<ui::FileChoice> ChooseSaveFile(const std::string& directory,
                                                 const std::string& name,
                                                 const std::string& filter) override;
    std::vector<std::string> saveDirectories;
    std::vector<std::string> saveNames;
    std::optional<ui::FileChoice> nextSaveFile;
    // The number input: what it proposed, answered by nextNumber.
    std::optional<int> AskNumber(const std::string& title, const std::string& label, int value,
                                 int min, int max) override;
    struct NumberAsked {
        std::string title;
        int value, min, max;
    };
    std::vector<NumberAsked> numbersAsked;
    std::optional<int> nextNumber;

    std::vector<std::string> messages;
    std::vector<std::string> details;
    std::vector<std::string> filters;
    std::optional<ui::FileChoice> nextFile;
    // Called inside ShowMessage, to act while a message box would be up.
    std::function<void(const std::string&)> onMessage;
    // Called inside ChooseOpenFile, to act while the open-file dialog would be up.
    std::function<void()> onChoose;
};

}  // namespace testutil
