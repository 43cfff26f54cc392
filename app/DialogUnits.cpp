#include "app/DialogUnits.h"

#include <QFontMetrics>
#include <QStringList>

QFont DialogFont(int pointSize) {
    QFont font;
    // "굴림" is rarely installed on Linux: NanumGothic, a Korean gothic face with Latin letters of
    // about the same width, stands in for it, so the template's texts fit their rectangles.
    QStringList families;
    families << QString::fromUtf8("굴림") << QStringLiteral("Gulim")
             << QStringLiteral("NanumGothic") << QStringLiteral("DejaVu Sans");
    font.setFamilies(families);
    font.setPointSize(pointSize);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetrics fm(font);
    // The average width of the 52 letters, rounded as the dialog manager does.
    const int width = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (width / 26 + 1) / 2;
    m_baseY = fm.height();
}
