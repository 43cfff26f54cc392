#include "app/Layout.h"

#include <QEvent>
#include <QResizeEvent>
#include <QWindow>
#include <QWindowStateChangeEvent>

#include <cstdio>

#include "app/TerminalDlg.h"
#include "app/Ui.h"
#include "res/Resource.h"

namespace {
// Process-wide, not a member: set at the end of the first size notification.
bool g_bLayoutReady = false;
}  // namespace

bool LayoutFlag() {
    return g_bLayoutReady;
}
void ResetLayoutFlagForTests() {
    g_bLayoutReady = false;
}

std::vector<LayoutPlacement> ComputeLayout(int W, int H) {
    const int D1 = LayoutD1(W);
    const int D2 = LayoutD2(W);
    return {
        {IDC_GROUP_SERIAL_COMM, {12, 15, W - 24, H - 322}},
        {IDC_BUTTON_SEND, {W - 107, H - 339, 84, 21}},
        {IDC_EDIT_SEND, {23, H - 339, W - 134, 21}},
        {IDC_REDIT_SERIAL_DEBUG, {23, 130, W - 46, H - 473}},
        {IDC_GROUP_SERIAL_CONF, {23, 30, W - 47, 71}},
        {IDC_STATIC_SERIAL_PORT, {D1 + 23, 52, 66, 12}},
        {IDC_COMBO_PORT, {D1 + 90, 48, 86, 20}},
        {IDC_STATIC_SERIAL_BAUD, {2 * D1 + 176, 52, 70, 12}},
        {IDC_COMBO_BAUD, {2 * D1 + 247, 48, 86, 20}},
        {IDC_STATIC_SERIAL_DATA_BIT, {3 * D1 + 333, 52, 80, 12}},
        {IDC_COMBO_DATA, {3 * D1 + 414, 48, 86, 20}},
        {IDC_STATIC_SERIAL_STOPBIT, {D1 + 23, 76, 66, 12}},
        {IDC_COMBO_STOP, {D1 + 90, 72, 86, 20}},
        {IDC_STATIC_SERIAL_PARITY, {2 * D1 + 176, 76, 70, 12}},
        {IDC_COMBO_PARITY, {2 * D1 + 247, 72, 86, 20}},
        {IDC_STATIC_SERIAL_FLOW, {3 * D1 + 333, 76, 80, 12}},
        {IDC_COMBO_FLOW, {3 * D1 + 414, 72, 86, 20}},
        {IDC_CHECK_HEXVIEW, {23, 108, 82, 15}},
        {IDC_BUTTON_OPEN, {W - 107, 105, 84, 21}},
        {IDC_BUTTON_CLEAR, {W - 195, 105, 84, 21}},
        {IDC_BTN_FILE_SEND_SERIAL, {W - 283, 105, 84, 21}},
        {IDC_GROUP_NET_COMM, {12, H - 298, W - 24, 230}},
        {IDC_GROUP_NET_CONF, {27, H - 283, W - 55, 50}},
        {IDC_CHECK_SERVER_MODE, {D2 + 27, H - 261, 100, 15}},
        {IDC_STATIC_IPADDR, {2 * D2 + 127, H - 260, 70, 12}},
        {IDC_IP_ADDRESS, {2 * D2 + 198, H - 265, 175, 23}},
        {IDC_STATIC_NET_PORT, {3 * D2 + 373, H - 260, 33, 12}},
        {IDC_EDIT_IP_PORT, {3 * D2 + 407, H - 264, 70, 21}},
        {IDC_CHECK_HEXVIEW_NET, {27, H - 226, 82, 15}},
        {IDC_BUTTON_IP_CONNECT, {W - 111, H - 229, 84, 21}},
        {IDC_BUTTON_IP_CLEAR, {W - 199, H - 229, 84, 21}},
        {IDC_BTN_FILE_SEND_NETWORK, {W - 287, H - 229, 84, 21}},
        {IDC_REDIT_NET_DEBUG, {27, H - 204, W - 54, 100}},
        {IDC_BUTTON_IP_SEND, {W - 111, H - 100, 84, 21}},
        {IDC_EDIT_IP_MESSAGE, {27, H - 100, W - 142, 21}},
        {IDOK, {W - 96, H - 64, 84, 21}},
        {IDC_STATIC_STATUS, {12, H - 39, W - 24, 24}},
    };
}

const std::vector<RectListingEntry>& RectListingOrder() {
    static const std::vector<RectListingEntry> order = {
        {IDC_GROUP_SERIAL_COMM, "IDC_GROUP_SERIAL_COMM"},
        {IDC_GROUP_SERIAL_CONF, "IDC_GROUP_SERIAL_CONF"},
        {IDC_STATIC_SERIAL_PORT, "IDC_STATIC_SERIAL_PORT"},
        {IDC_COMBO_PORT, "IDC_COMBO_PORT"},
        {IDC_STATIC_SERIAL_BAUD, "IDC_STATIC_SERIAL_BAUD"},
        {IDC_COMBO_BAUD, "IDC_COMBO_BAUD"},
        {IDC_STATIC_SERIAL_DATA_BIT, "IDC_STATIC_SERIAL_DATA_BIT"},
        {IDC_COMBO_DATA, "IDC_COMBO_DATA"},
        {IDC_STATIC_SERIAL_STOPBIT, "IDC_STATIC_SERIAL_STOPBIT"},
        {IDC_COMBO_STOP, "IDC_COMBO_STOP"},
        {IDC_STATIC_SERIAL_PARITY, "IDC_STATIC_SERIAL_PARITY"},
        {IDC_COMBO_PARITY, "IDC_COMBO_PARITY"},
        {IDC_STATIC_SERIAL_FLOW, "IDC_STATIC_SERIAL_FLOW"},
        {IDC_COMBO_FLOW, "IDC_COMBO_FLOW"},
        {IDC_CHECK_HEXVIEW, "IDC_CHECK_HEXVIEW"},
        {IDC_BTN_FILE_SEND_SERIAL, "IDC_BTN_FILE_SEND_SERIAL"},
        {IDC_BUTTON_CLEAR, "IDC_BUTTON_CLEAR"},
        {IDC_BUTTON_OPEN, "IDC_BUTTON_OPEN"},
        {IDC_REDIT_SERIAL_DEBUG, "IDC_REDIT_SERIAL_DEBUG"},
        {IDC_EDIT_SEND, "IDC_EDIT_SEND"},
        {IDC_BUTTON_SEND, "IDC_BUTTON_SEND"},
        {IDC_GROUP_NET_COMM, "Net Comm. Group"},
        {IDC_GROUP_NET_CONF, "net config group"},
        {IDC_CHECK_SERVER_MODE, "net check server"},
        {IDC_STATIC_IPADDR, "IDC_STATIC_IPADDR"},
        {IDC_IP_ADDRESS, "IDC_IP_ADDRESS"},
        {IDC_STATIC_NET_PORT, "IDC_STATIC_NET_PORT"},
        {IDC_EDIT_IP_PORT, "IDC_EDIT_IP_PORT"},
        {IDC_CHECK_HEXVIEW_NET, "IDC_CHECK_HEXVIEW_NET"},
        {IDC_BTN_FILE_SEND_NETWORK, "IDC_BTN_FILE_SEND_NETWORK"},
        {IDC_BUTTON_IP_CLEAR, "IDC_BUTTON_IP_CLEAR"},
        {IDC_BUTTON_IP_CONNECT, "IDC_BUTTON_IP_CONNECT"},
        {IDC_REDIT_NET_DEBUG, "IDC_REDIT_NET_DEBUG"},
        {IDC_EDIT_IP_MESSAGE, "IDC_EDIT_IP_MESSAGE"},
        {IDC_BUTTON_IP_SEND, "IDC_BUTTON_IP_SEND"},
        {IDOK, "exit Button"},
        {IDC_STATIC_STATUS, "status comment"},
    };
    return order;
}

std::string FormatRectLine(const char* label, long left, long top, long right, long bottom) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s:[%ld,%ld,%ld,%ld]\n", label, left, top, right, bottom);
    return buf;
}

void CTerminalDlg::OnSize(int type, int cx, int cy) {
    if (g_bLayoutReady && (type == SIZE_RESTORED || type == SIZE_MAXIMIZED)) {
        // Move everything first, then repaint the dialog once: no flicker of in-between states.
        setUpdatesEnabled(false);
        for (const LayoutPlacement& p : ComputeLayout(cx, cy))
            GetDlgItem(p.id)->setGeometry(p.rect.x, p.rect.y, p.rect.cx, p.rect.cy);
        setUpdatesEnabled(true);
        update();
    }
    g_bLayoutReady = true;
}

void CTerminalDlg::resizeEvent(QResizeEvent* e) {
    QDialog::resizeEvent(e);
    const int type = isMaximized()   ? SIZE_MAXIMIZED
                     : isMinimized() ? SIZE_MINIMIZED
                                     : SIZE_RESTORED;
    OnSize(type, e->size().width(), e->size().height());
}

void CTerminalDlg::changeEvent(QEvent* e) {
    QDialog::changeEvent(e);
    if (e->type() != QEvent::WindowStateChange)
        return;
    // Minimizing moves nothing; the restore (or maximize) that follows lays the dialog out
    // again even when the client size did not change and no resize event comes.
    const Qt::WindowStates previous = static_cast<QWindowStateChangeEvent*>(e)->oldState();
    if (isMinimized())
        OnSize(SIZE_MINIMIZED, width(), height());
    else if (previous & Qt::WindowMinimized)
        OnSize(isMaximized() ? SIZE_MAXIMIZED : SIZE_RESTORED, width(), height());
}

void CTerminalDlg::ApplyMinimumSize() {
    // The limit is for the whole window, frame included; Qt's minimum is for the client area,
    // so the frame that the window manager draws is taken off (none without a window manager).
    const QSize frame = frameGeometry().size() - geometry().size();
    setMinimumSize(std::max(0, MIN_TRACK_WIDTH - frame.width()),
                   std::max(0, MIN_TRACK_HEIGHT - frame.height()));
}

void CTerminalDlg::OnButtonTest2() {
    bool first = true;
    for (const RectListingEntry& entry : RectListingOrder()) {
        QWidget* w = GetDlgItem(entry.id);
        const QPoint topLeft = w->mapToGlobal(QPoint(0, 0));
        // Window rectangles: right and bottom lie just outside the control.
        const std::string line =
            FormatRectLine(entry.label, topLeft.x(), topLeft.y(), topLeft.x() + w->width(),
                           topLeft.y() + w->height());
        if (first) {
            ui::MessageBox(line);
            m_strSerialConsole = line;
            first = false;
        } else {
            m_strSerialConsole += line;
        }
    }
    UpdateData(false);
}
