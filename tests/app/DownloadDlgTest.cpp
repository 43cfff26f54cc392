#include "app/DownloadDlg.h"

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/MainWnd.h"
#include "res/Resource.h"
#include "support/TestUtil.h"

namespace {

// Stands in for the main window: counts the messages posted to it.
class MessageCounter : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == platform::CMessageEvent::Type()) {
            if (static_cast<platform::CMessageEvent*>(e)->m_message == WM_TRANSFER_CANCEL)
                ++cancels;
            return true;
        }
        return QObject::event(e);
    }
    int cancels = 0;
};

class DownloadDialog : public ::testing::Test {
protected:
    void SetUp() override {
        previous = g_hMainWnd;
        g_hMainWnd = &main;
    }
    void TearDown() override { g_hMainWnd = previous; }
    // Runs the dialog modally; `during` acts while it is up.
    int Run(const std::function<void()>& during) {
        QTimer::singleShot(0, [&] {
            during();
            // Safety net: a dialog that is still up after the actions is ended with 99.
            QTimer::singleShot(3000, &dlg, [&] { dlg.EndDialog(99); });
        });
        return dlg.DoModal(nullptr);
    }
    MessageCounter main;
    HWND previous = nullptr;
    CDownloadDlg dlg;
};

TEST_F(DownloadDialog, LooksLikeItsTemplate) {
    EXPECT_EQ(dlg.windowTitle(), "Downloading");
    EXPECT_FALSE(dlg.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(dlg.windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_TRUE(dlg.windowFlags() & Qt::WindowTitleHint);
    EXPECT_FALSE(dlg.m_btnOk->isVisibleTo(&dlg));
    EXPECT_TRUE(dlg.m_btnOk->isDefault());
    EXPECT_TRUE(dlg.m_btnCancel->isVisibleTo(&dlg));
    EXPECT_EQ(dlg.m_btnCancel->text(), "Cancel");
    EXPECT_TRUE(dlg.m_staticBytes->alignment() & Qt::AlignRight);
    EXPECT_EQ(dlg.findChild<QProgressBar*>("IDC_PROGRESS_DOWNLOAD"), dlg.m_ctrlProgress);
    EXPECT_EQ(dlg.findChild<QLabel*>("IDC_STATIC_DOWNLOAD_BYTES"), dlg.m_staticBytes);
}

TEST_F(DownloadDialog, EveryWayOutPostsOneCancelAndOnlyTheMainWindowEndsIt) {
    const int code = Run([&] {
        QTest::keyClick(&dlg, Qt::Key_Return);  // Enter: nothing
        testutil::Pump(20);
        EXPECT_EQ(main.cancels, 0);
        EXPECT_TRUE(dlg.isVisible());

        dlg.m_btnCancel->click();
        testutil::Pump(20);
        EXPECT_EQ(main.cancels, 1);
        QTest::keyClick(&dlg, Qt::Key_Escape);
        testutil::Pump(20);
        EXPECT_EQ(main.cancels, 2);
        dlg.RequestClose();  // a close request from the capture
        testutil::Pump(20);
        EXPECT_EQ(main.cancels, 3);
        EXPECT_TRUE(dlg.isVisible());  // still up: the main window decides
        dlg.EndDialog(IDCANCEL);
    });
    EXPECT_EQ(code, IDCANCEL);
    EXPECT_FALSE(dlg.isVisible());
}

TEST_F(DownloadDialog, EveryRunStartsFresh) {
    Run([&] {
        dlg.SetRange(0, 100);
        dlg.SetPos(100);
        dlg.SetBytesText("1000 / 1000 Bytes");
        dlg.EndDialog(IDCANCEL);
    });
    int pos = -1;
    QString text;
    Run([&] {
        pos = dlg.m_ctrlProgress->value();
        text = dlg.m_staticBytes->text();
        EXPECT_EQ(dlg.m_ctrlProgress->minimum(), 0);
        EXPECT_EQ(dlg.m_ctrlProgress->maximum(), 100);
        dlg.EndDialog(IDCANCEL);
    });
    EXPECT_EQ(pos, 0);
    EXPECT_EQ(text, "0 / 0 Bytes");
}

TEST_F(DownloadDialog, ALateEndNeverReachesTheNextRun) {
    Run([&] {
        dlg.EndDialogLater(IDCANCEL, 50);
        dlg.EndDialogLater(IDCANCEL, 400);  // a second cancel, handled late
    });
    QElapsedTimer timer;
    timer.start();
    const int code = Run([&] { QTimer::singleShot(800, &dlg, [&] { dlg.EndDialog(7); }); });
    EXPECT_EQ(code, 7);
    EXPECT_GE(timer.elapsed(), 700);
}

}  // namespace
