#include "app/DialogUnits.h"

#include <QFontMetrics>
#include <QStringList>

QFont DialogFont(int pointSize) {
    QFont font;
    // "굴림" is rarely installed on Linux; fontconfig then falls back along this list, and the
    // last entries carry the Korean glyphs of the about box and the prompts.
    QStringList families;
    families << QString::fromUtf8("굴림") << QStringLiteral("Gulim") << QStringLiteral("DejaVu Sans")
             << QStringLiteral("NanumGothic");
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
