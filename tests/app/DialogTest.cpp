#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <gtest/gtest.h>

#include <regex>

#include "app/DialogUnits.h"
#include "app/Layout.h"
#include "app/TerminalDlg.h"
#include "display/ConsoleFormat.h"
#include "res/DialogTemplate.h"
#include "res/Resource.h"
#include "support/TestUtil.h"
#include "support/app/RecordingSeam.h"

namespace {

class Dialog : public ::testing::Test {
protected:
    void SetUp() override {
        dlg = std::make_unique<CTerminalDlg>();
        // The lines these tests send go into a history of their own, not the user's.
        dlg->Settings().SetFile(settings.File("Vaskel.conf"));
        dlg->Create();
    }
    void Show() {
        dlg->show();
        QApplication::setActiveWindow(dlg.get());
        ASSERT_TRUE(testutil::WaitFor([&] { return dlg->isVisible(); }));
    }
    template <class T>
    T* Item(int id) {
        return qobject_cast<T*>(dlg->GetDlgItem(id));
    }
    QLineEdit* Edit(int id) { return Item<QLineEdit>(id); }

    testutil::TempDir settings;
    testutil::RecordingSeam seam;
    std::unique_ptr<CTerminalDlg> dlg;
};

TEST_F(Dialog, FreshStartShowsTheDefaults) {
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Vaskel Ver. 1.0"));
    EXPECT_EQ(Item<QComboBox>(IDC_COMBO_PORT)->currentText(), "COM1");
    EXPECT_EQ(Item<QComboBox>(IDC_COMBO_BAUD)->currentText(), "57600");
    EXPECT_EQ(Item<QComboBox>(IDC_COMBO_DATA)->currentText(), "8 bit");
    EXPECT_EQ(Item<QComboBox>(IDC_COMBO_STOP)->currentText(), "1");
    EXPECT_EQ(Item<QComboBox>(IDC_COMBO_PARITY)->currentText(), "None");
    EXPECT_EQ(Item<QComboBox>(IDC_COMBO_FLOW)->currentText(), "None");
    EXPECT_EQ(Edit(IDC_EDIT_IP_PORT)->text(), "5000");
    EXPECT_EQ(Edit(IDC_IP_ADDRESS)->text(), "192.168.0.10");
    for (int id : {IDC_CHECK_HEXVIEW, IDC_CHECK_HEXVIEW_NET, IDC_CHECK_SERVER_MODE})
        EXPECT_FALSE(Item<QCheckBox>(id)->isChecked()) << id;
    EXPECT_FALSE(dlg->GetDlgItem(IDC_BTN_FILE_SEND_SERIAL)->isEnabled());
    EXPECT_FALSE(dlg->GetDlgItem(IDC_BTN_FILE_SEND_NETWORK)->isEnabled());
    EXPECT_EQ(Item<QLabel>(IDC_STATIC_STATUS)->text(), "");
    EXPECT_TRUE(Item<QPlainTextEdit>(IDC_REDIT_SERIAL_DEBUG)->toPlainText().isEmpty());
    EXPECT_TRUE(Item<QPlainTextEdit>(IDC_REDIT_NET_DEBUG)->toPlainText().isEmpty());
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_OPEN)->text(), "Open");
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->text(), "Connect");
    EXPECT_EQ(Edit(IDC_EDIT_SEND)->maxLength(), 1024);
    EXPECT_EQ(dlg->SerialRing().GetCount(), 0);
    EXPECT_EQ(dlg->NetRing().GetCount(), 0);
    EXPECT_EQ(g_hMainWnd, dlg.get());
}

TEST_F(Dialog, ControlsFollowTheTemplate) {
    const DialogTemplate& tmpl = TerminalDialogTemplate();
    ASSERT_EQ(tmpl.controls.size(), 40u);
    std::vector<QWidget*> focusable;
    for (const ControlTemplate& t : tmpl.controls) {
        QWidget* w = dlg->GetDlgItem(t.id);
        ASSERT_NE(w, nullptr) << t.name;
        EXPECT_EQ(w->objectName().toStdString(), t.name);
        EXPECT_EQ(w->isVisibleTo(dlg.get()), !(t.style & STYLE_HIDDEN)) << t.name;
        EXPECT_EQ(w->isEnabled(), !(t.style & STYLE_DISABLED)) << t.name;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            EXPECT_EQ(b->text().toStdString(), t.text) << t.name;
        }
        if (w->focusPolicy() & Qt::TabFocus)
            focusable.push_back(w);
    }
    // Tab order is template order.
    std::vector<QWidget*> chain{focusable.front()};
    for (QWidget* w = focusable.front()->nextInFocusChain(); w != focusable.front();
         w = w->nextInFocusChain())
        if (std::find(focusable.begin(), focusable.end(), w) != focusable.end())
            chain.push_back(w);
    EXPECT_EQ(chain, focusable);
    const char* baud[] = {"2400",  "4800",  "9600",  "14400",  "19200",
                          "28800", "38400", "57600", "115200", "230400"};
    auto* combo = Item<QComboBox>(IDC_COMBO_BAUD);
    ASSERT_EQ(combo->count(), 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(combo->itemText(i), baud[i]);
    EXPECT_EQ(Item<QComboBox>(IDC_COMBO_PARITY)->itemText(0), "Even");
    EXPECT_EQ(Item<QComboBox>(IDC_COMBO_FLOW)->itemText(1), "Xon/Xoff");
    EXPECT_TRUE(Item<QPushButton>(IDC_BUTTON_DEFAULT)->isDefault());
    EXPECT_TRUE(Item<QPlainTextEdit>(IDC_REDIT_SERIAL_DEBUG)->isReadOnly());
    EXPECT_EQ(Item<QPlainTextEdit>(IDC_REDIT_NET_DEBUG)->lineWrapMode(), QPlainTextEdit::NoWrap);
}

TEST_F(Dialog, EnterGoesToTheSendOfTheFocusedLineAndNeverCloses) {
    Show();
    auto* serialLine = Edit(IDC_EDIT_SEND);
    auto* netLine = Edit(IDC_EDIT_IP_MESSAGE);
    serialLine->setText("AT");
    netLine->setText("hello");

    serialLine->setFocus();
    QTest::keyClick(serialLine, Qt::Key_Return);
    EXPECT_EQ(serialLine->text(), "");  // Send ran: the line is emptied (port closed: discarded)
    EXPECT_EQ(netLine->text(), "hello");

    netLine->setFocus();
    QTest::keyClick(netLine, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(netLine->text(), "");

    netLine->setText("kept");
    for (int id : {IDC_COMBO_BAUD, IDC_CHECK_HEXVIEW, IDC_REDIT_SERIAL_DEBUG, IDC_EDIT_IP_PORT}) {
        QWidget* w = dlg->GetDlgItem(id);
        w->setFocus();
        QTest::keyClick(w, Qt::Key_Return);
        EXPECT_TRUE(dlg->isVisible()) << id;
    }
    EXPECT_EQ(netLine->text(), "kept");
    EXPECT_TRUE(seam.messages.empty());

    // A focused push button takes Enter itself: on Exit it closes the dialog.
    auto* exit = Item<QPushButton>(IDOK);
    exit->setFocus();
    QTest::keyClick(exit, Qt::Key_Return);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), IDOK);
}

TEST_F(Dialog, ExitValidatesButEscapeCloses) {
    Show();
    Edit(IDC_EDIT_IP_PORT)->setText("abc");
    Item<QPushButton>(IDOK)->click();
    ASSERT_EQ(seam.messages.size(), 1u);
    EXPECT_EQ(seam.messages[0], "양의 정수를 입력하십시오.");
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), dlg->GetDlgItem(IDC_EDIT_IP_PORT));

    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), IDCANCEL);
    EXPECT_EQ(seam.messages.size(), 1u);  // no exchange on the cancel path
}

// A refused field keeps its member and its text; only the first has a prompt and the focus. The
// other fields are read all the same, so a command that goes on never works with, or writes back,
// an older value than the controls show.
TEST_F(Dialog, ValidationPromptsForTheFirstBadFieldAndReadsTheRest) {
    Show();
    Edit(IDC_EDIT_SEND)->setMaxLength(4096);
    Edit(IDC_EDIT_SEND)->setText(QString(1025, QLatin1Char('a')));
    Edit(IDC_EDIT_IP_PORT)->setText("x");
    Edit(IDC_EDIT_IP_MESSAGE)->setText("net");
    Item<QComboBox>(IDC_COMBO_BAUD)->setCurrentIndex(2);
    EXPECT_FALSE(dlg->UpdateData(true));
    ASSERT_EQ(seam.messages.size(), 1u);
    EXPECT_EQ(seam.messages[0], "1024 이하의 문자를 입력하십시오.");
    EXPECT_EQ(QApplication::focusWidget(), dlg->GetDlgItem(IDC_EDIT_SEND));
    EXPECT_EQ(dlg->m_nBaud, 2);
    EXPECT_EQ(dlg->m_strSend, "");   // refused: as it was
    EXPECT_EQ(dlg->m_nPort, 5000u);  // refused too, without a second prompt
    EXPECT_EQ(dlg->m_strNetMessage, "net");
    // The write-back leaves the refused port field as typed (and limits the send line again).
    dlg->UpdateData(false);
    EXPECT_EQ(Edit(IDC_EDIT_IP_PORT)->text(), "x");

    Edit(IDC_EDIT_SEND)->setText("line");
    for (const char* bad : {"", "12x", "-1", "4294967296", " 1 2"}) {
        Edit(IDC_EDIT_IP_PORT)->setText(bad);
        Edit(IDC_EDIT_IP_MESSAGE)->setText(bad);
        EXPECT_FALSE(dlg->UpdateData(true)) << bad;
        EXPECT_EQ(seam.messages.back(), "양의 정수를 입력하십시오.");
        EXPECT_EQ(QApplication::focusWidget(), dlg->GetDlgItem(IDC_EDIT_IP_PORT));
        EXPECT_EQ(dlg->m_strNetMessage, bad);
        dlg->UpdateData(false);
        EXPECT_EQ(Edit(IDC_EDIT_IP_PORT)->text().toStdString(), bad);
    }
    EXPECT_EQ(dlg->m_strSend, "line");
    EXPECT_EQ(dlg->m_nPort, 5000u);

    Edit(IDC_EDIT_IP_PORT)->setText(" 4294967295 ");
    EXPECT_TRUE(dlg->UpdateData(true));
    EXPECT_EQ(dlg->m_nPort, 4294967295u);
    // Accepted again: the write-back shows the number as the member holds it.
    dlg->UpdateData(false);
    EXPECT_EQ(Edit(IDC_EDIT_IP_PORT)->text(), "4294967295");
}

TEST_F(Dialog, ExchangeLeavesUnchangedControlsAlone) {
    Show();
    auto* line = Edit(IDC_EDIT_SEND);
    line->setText("abcdef");
    line->setCursorPosition(2);
    dlg->UpdateData(true);
    dlg->UpdateData(false);
    EXPECT_EQ(line->cursorPosition(), 2);
    dlg->m_strSerialConsole = "one\r\ntwo";
    dlg->UpdateData(false);
    EXPECT_EQ(Item<QPlainTextEdit>(IDC_REDIT_SERIAL_DEBUG)->toPlainText(), "one\ntwo");
    dlg->UpdateData(true);
    EXPECT_EQ(dlg->m_strSerialConsole, "one\r\ntwo");
}

TEST_F(Dialog, ConsoleShowsEveryByteValue) {
    std::string all;
    for (int pass = 0; pass < 3; ++pass)
        for (int b = 1; b < 256; ++b)
            all += static_cast<char>(b);
    auto* console = Item<QPlainTextEdit>(IDC_REDIT_NET_DEBUG);
    for (const std::string& text : {all, std::string("short"), all.substr(100), std::string()}) {
        dlg->m_strNetConsole = text;
        dlg->UpdateData(false);
        // The raw text: toPlainText() would turn 0xA0 (no-break space) into a blank.
        QString raw = console->document()->toRawText();
        raw.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
        EXPECT_EQ(raw, ConsoleWidgetText(text));
    }
}

TEST_F(Dialog, ContextMenuOpensTheAboutBox) {
    Show();
    bool sawAbout = false;
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* menu = qobject_cast<QMenu*>(w); menu && menu->isVisible()) {
                auto actions = menu->actions();
                if (actions.size() != 15)
                    menu->close();  // a failed count must not leave the menu's loop running
                ASSERT_EQ(actions.size(), 15);
                EXPECT_EQ(actions[0]->text(), "Serial Ports...");
                EXPECT_EQ(actions[1]->text(), "Line Signals...");
                EXPECT_EQ(actions[2]->text(), "Network Options...");
                EXPECT_EQ(actions[3]->text(), "Commands...");
                EXPECT_EQ(actions[4]->text(), "Open Capture Folder");
                EXPECT_TRUE(actions[5]->isSeparator());
                EXPECT_EQ(actions[6]->text(), "Show Timestamps");
                EXPECT_EQ(actions[7]->text(), "Timestamp Gap (20 ms)...");
                EXPECT_EQ(actions[8]->text(), "Decode Modbus");
                EXPECT_EQ(actions[9]->text(), "Log Traffic...");
                EXPECT_EQ(actions[10]->text(), "Line Ending");
                EXPECT_EQ(actions[11]->text(), "Send as Hex");
                EXPECT_EQ(actions[12]->text(), "Show Sent");
                EXPECT_TRUE(actions[13]->isSeparator());
                EXPECT_EQ(actions[14]->text(), "halvek Info(&A)...");
                QTimer::singleShot(0, [&] {
                    for (QWidget* top : QApplication::topLevelWidgets())
                        if (top->objectName() == "IDD_ABOUTBOX" && top->isVisible()) {
                            sawAbout = true;
                            EXPECT_EQ(top->windowTitle(), "halvek 정보");
                            static_cast<QDialog*>(top)->accept();
                        }
                });
                actions[14]->trigger();
                menu->close();
            }
        }
    });
    QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5), dlg->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(dlg.get(), &ev);
    EXPECT_TRUE(sawAbout);
}

TEST_F(Dialog, LayoutArithmetic) {
    EXPECT_EQ(LayoutD1(600), 20);
    EXPECT_EQ(LayoutD2(600), 24);
    EXPECT_EQ(LayoutD1(517), 0);
    EXPECT_EQ(LayoutD1(515), -1);
    auto at = [](const std::vector<LayoutPlacement>& l, int id) {
        for (auto& p : l)
            if (p.id == id)
                return p.rect;
        return LayoutRect{-1, -1, -1, -1};
    };
    auto layout = ComputeLayout(600, 700);
    EXPECT_EQ(layout.size(), 37u);
    EXPECT_EQ(at(layout, IDC_COMBO_PORT).x, 110);
    EXPECT_EQ(at(layout, IDC_COMBO_BAUD).x, 287);
    EXPECT_EQ(at(layout, IDC_COMBO_DATA).x, 474);
    EXPECT_EQ(at(layout, IDC_CHECK_SERVER_MODE).x, 51);
    EXPECT_EQ(at(layout, IDC_IP_ADDRESS).x, 246);
    EXPECT_EQ(at(layout, IDC_EDIT_IP_PORT).x, 479);
    EXPECT_EQ(at(layout, IDC_REDIT_SERIAL_DEBUG), (LayoutRect{23, 130, 554, 227}));
    EXPECT_EQ(at(layout, IDC_REDIT_NET_DEBUG), (LayoutRect{27, 496, 546, 100}));
    EXPECT_EQ(at(layout, IDC_STATIC_STATUS), (LayoutRect{12, 661, 576, 24}));
    EXPECT_EQ(at(layout, IDC_BUTTON_DEFAULT).x, -1);  // hidden buttons are not moved
}

TEST_F(Dialog, SizeNotificationsMoveTheControls) {
    ResetLayoutFlagForTests();
    QWidget* port = dlg->GetDlgItem(IDC_COMBO_PORT);
    const QRect templateRect = port->geometry();
    dlg->OnSize(SIZE_RESTORED, 600, 700);  // the first notification only sets the flag
    EXPECT_EQ(port->geometry(), templateRect);
    EXPECT_TRUE(LayoutFlag());

    dlg->OnSize(SIZE_RESTORED, 600, 700);
    EXPECT_EQ(port->geometry(), QRect(110, 48, 86, 20));
    EXPECT_EQ(dlg->GetDlgItem(IDC_REDIT_NET_DEBUG)->geometry(), QRect(27, 496, 546, 100));
    dlg->OnSize(SIZE_MINIMIZED, 0, 0);
    EXPECT_EQ(port->geometry(), QRect(110, 48, 86, 20));
    dlg->OnSize(SIZE_MAXIMIZED, 1200, 1000);
    EXPECT_EQ(dlg->GetDlgItem(IDC_REDIT_SERIAL_DEBUG)->geometry(), QRect(23, 130, 1154, 527));
    EXPECT_EQ(dlg->GetDlgItem(IDC_REDIT_NET_DEBUG)->geometry(), QRect(27, 796, 1146, 100));
    dlg->OnSize(SIZE_RESTORED, 517, 700);
    EXPECT_EQ(port->geometry().x(), 90);  // D1 = 0
    EXPECT_EQ(dlg->GetDlgItem(IDC_BUTTON_TEST2)->geometry(),
              DialogUnits(dlg->font()).Rect(44, 383, 31, 14));
}

TEST_F(Dialog, WindowCannotShrinkBelowTheMinimum) {
    Show();
    const QSize frame = dlg->frameGeometry().size() - dlg->geometry().size();
    EXPECT_EQ(dlg->minimumSize() + frame,
              QSize(CTerminalDlg::MIN_TRACK_WIDTH, CTerminalDlg::MIN_TRACK_HEIGHT));
    dlg->resize(200, 200);
    EXPECT_GE(dlg->width() + frame.width(), CTerminalDlg::MIN_TRACK_WIDTH);
    EXPECT_GE(dlg->height() + frame.height(), CTerminalDlg::MIN_TRACK_HEIGHT);
}

TEST_F(Dialog, RectangleListingInOrderAndFormat) {
    Show();
    dlg->OnButtonTest2();
    ASSERT_EQ(seam.messages.size(), 1u);
    const std::string& console = dlg->m_strSerialConsole;
    EXPECT_EQ(console.substr(0, seam.messages[0].size()), seam.messages[0]);
    std::regex line(R"(([A-Za-z_. ]+):\[(-?\d+),(-?\d+),(-?\d+),(-?\d+)\]\n)");
    std::vector<std::string> labels;
    for (std::sregex_iterator it(console.begin(), console.end(), line), end; it != end; ++it) {
        labels.push_back((*it)[1]);
        const long left = std::stol((*it)[2]), right = std::stol((*it)[4]);
        EXPECT_LE(left, right);
    }
    ASSERT_EQ(labels.size(), 37u);
    EXPECT_EQ(labels.front(), "IDC_GROUP_SERIAL_COMM");
    EXPECT_EQ(labels[21], "Net Comm. Group");
    EXPECT_EQ(labels[22], "net config group");
    EXPECT_EQ(labels[23], "net check server");
    EXPECT_EQ(labels[35], "exit Button");
    EXPECT_EQ(labels[36], "status comment");
    // The rectangle is the control's window rectangle in screen coordinates.
    QWidget* status = dlg->GetDlgItem(IDC_STATIC_STATUS);
    const QPoint p = status->mapToGlobal(QPoint(0, 0));
    EXPECT_NE(console.find(FormatRectLine("status comment", p.x(), p.y(), p.x() + status->width(),
                                          p.y() + status->height())),
              std::string::npos);
    EXPECT_NE(Item<QPlainTextEdit>(IDC_REDIT_SERIAL_DEBUG)->toPlainText().indexOf("exit Button"),
              -1);
}

}  // namespace
