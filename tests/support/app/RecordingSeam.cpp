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

}  // namespace testutil
