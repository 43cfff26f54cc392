#include "support/app/RecordingSeam.h"

namespace testutil {

RecordingSeam::RecordingSeam() {
    ui::SetUiSeam(this);
}
RecordingSeam::~RecordingSeam() {
    ui::SetUiSeam(nullptr);
}

void RecordingSeam::ShowMessage(const std::string& text, const std::string& detail) {
    messages.push_back(text);
    details.push_back(detail);
    if (onMessage)
        onMessage(text);
}

std::optional<ui::FileChoice> RecordingSeam::ChooseOpenFile(const std::string& filter) {
    filters.push_back(filter);
    if (onChoose)
        onChoose();
    return nextFile;
}

std::optional<ui::FileChoice> RecordingSeam::ChooseSaveFile(const std::string& directory,
                                                            const std::string& name,
                                                            const std::string& filter) {
    saveDirectories.push_back(directory);
    saveNames.push_back(name);
    filters.push_back(filter);
    return nextSaveFile;
}

std::optional<int> RecordingSeam::AskNumber(const std::string& title, const std::string& label,
                                            int value, int min, int max) {
    (void)label;
    numbersAsked.push_back({title, value, min, max});
    return nextNumber;
}

}  // namespace testutil
