#include "res/Icons.h"

#include <QPainter>
#include <QPixmap>

#include "res/Resource.h"

namespace {

// A terminal screen with a plug: the serial side (left) and the network side (right).
QPixmap DrawTerminal(int size, QColor screen) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 32.0;
    p.setPen(QPen(QColor(40, 40, 40), 1.5 * s));
    p.setBrush(QColor(200, 200, 205));
    p.drawRoundedRect(QRectF(2 * s, 4 * s, 28 * s, 20 * s), 3 * s, 3 * s);
    p.setBrush(screen);
    p.drawRect(QRectF(5 * s, 7 * s, 22 * s, 14 * s));
    p.setPen(QPen(QColor(120, 255, 120), 1.5 * s));
    p.drawLine(QPointF(8 * s, 11 * s), QPointF(11 * s, 13 * s));
    p.drawLine(QPointF(11 * s, 13 * s), QPointF(8 * s, 15 * s));
    p.drawLine(QPointF(13 * s, 16 * s), QPointF(19 * s, 16 * s));
    p.setPen(QPen(QColor(40, 40, 40), 1.5 * s));
    p.setBrush(QColor(160, 160, 170));
    p.drawRect(QRectF(10 * s, 25 * s, 12 * s, 4 * s));
    return pm;
}

}  // namespace

QIcon LoadIcon(int resourceId) {
    const QColor screen = resourceId == IDR_MAINFRAME ? QColor(20, 40, 90) : QColor(10, 10, 10);
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addPixmap(DrawTerminal(size, screen));
    return icon;
}
