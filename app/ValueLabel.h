// Labels that show a value (a lamp, a count, an answer). A screen reader speaks a label's
// accessible name instead of its text, so such a label is named by what it is (its object name)
// and what it shows now, and the name follows every new value.
#pragma once

#include <QLabel>
#include <QString>

inline void ShowLabelValue(QLabel* label, const QString& text) {
    label->setText(text);
    label->setAccessibleName(text.isEmpty() ? label->objectName()
                                            : label->objectName() + QStringLiteral(": ") + text);
}
