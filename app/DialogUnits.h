// Dialog units to pixels, as the Windows dialog manager converts them: x by the dialog font's
// average character width / 4, y by its height / 8.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

// The dialog font: "굴림" at the given point size, falling back to a font with Korean glyphs.
QFont DialogFont(int pointSize);

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}
    int X(int dlu) const { return (dlu * m_baseX + 2) / 4; }
    int Y(int dlu) const { return (dlu * m_baseY + 4) / 8; }
    QRect Rect(int x, int y, int cx, int cy) const {
        return QRect(X(x), Y(y), X(x + cx) - X(x), Y(y + cy) - Y(y));
    }
    QSize Size(int cx, int cy) const { return QSize(X(cx), Y(cy)); }
    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

private:
    int m_baseX;
    int m_baseY;
};
