#include "app/AboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/DialogUnits.h"
#include "res/Icons.h"
#include "res/Resource.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    setWindowTitle(QStringLiteral("halvek 정보"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont(9));
    const DialogUnits du(font());

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("IDR_MAINFRAME"));
    icon->setPixmap(LoadIcon(IDR_MAINFRAME).pixmap(32, 32));
    icon->setGeometry(du.Rect(11, 17, 21, 20));

    auto* version = new QLabel(QStringLiteral("halvek Ver. 0.0.1"), this);
    version->setGeometry(du.Rect(40, 10, 119, 8));
    auto* line = new QLabel(QStringLiteral("Serial and TCP test terminal"), this);
    line->setGeometry(du.Rect(40, 25, 119, 8));

    auto* ok = new QPushButton(QStringLiteral("확인"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setGeometry(du.Rect(178, 7, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(du.Size(235, 55));
}
