// A main dialog on the offscreen platform, with its program directory in a fresh temporary
// directory and the message boxes recorded.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <unistd.h>
#include <memory>

#include "app/TerminalDlg.h"
#include "platform/Paths.h"
#include "platform/PortMap.h"
#include "res/Resource.h"
#include "support/TestUtil.h"
#include "support/app/RecordingSeam.h"

class DialogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        dlg = std::make_unique<CTerminalDlg>();
        // Nor do the user's own settings: the window keeps what it remembers in the test's file.
        dlg->Settings().SetFile(settings.File("Vaskel.conf"));
        // The user's own port mappings never reach a test; COMn links are looked for in `dir`.
        dlg->Serial().SetPortMap(platform::PortMap(settings.File("Vaskel.conf"), dir.path));
        dlg->Create();
        dlg->show();
        QApplication::setActiveWindow(dlg.get());
    }
    void TearDown() override {
        dlg.reset();
        testutil::Pump(20);
    }

    // Makes "COMn" of the program directory point at a device path.
    void LinkPort(int n, const std::string& target) {
        const std::string link = dir.path + "COM" + std::to_string(n);
        ::unlink(link.c_str());
        ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    }

    template <class T>
    T* Item(int id) {
        return qobject_cast<T*>(dlg->GetDlgItem(id));
    }
    // A click on Connect that starts a client connect also waits for its outcome (the window
    // answers meanwhile), as a user waits for the status line before going on. A test of the
    // attempt itself clicks the button directly.
    void Click(int id) {
        Item<QAbstractButton>(id)->click();
        if (id == IDC_BUTTON_IP_CONNECT) {
            EXPECT_TRUE(testutil::WaitFor([&] { return !dlg->Net().IsConnecting(); }));
        }
    }
    void Select(int id, int index) { Item<QComboBox>(id)->setCurrentIndex(index); }
    void SetText(int id, const std::string& text) {
        Item<QLineEdit>(id)->setText(QString::fromStdString(text));
    }
    // Chooses the entry `text` of the dialog's context menu, as a right click and a click on the
    // entry would.
    void FromMenu(const QString& text) {
        QTimer::singleShot(0, [text] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* menu = qobject_cast<QMenu*>(w); menu && menu->isVisible()) {
                    menu->close();
                    for (QAction* a : menu->actions())
                        if (a->text() == text)
                            a->trigger();
                }
        });
        QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5),
                             dlg->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(dlg.get(), &ev);
    }
    std::string Status() { return dlg->StatusText(); }
    QString Console(int id) { return Item<QPlainTextEdit>(id)->toPlainText(); }
    bool Enabled(int id) { return dlg->GetDlgItem(id)->isEnabled(); }

    testutil::TempDir dir;
    testutil::TempDir settings;
    testutil::RecordingSeam seam;
    std::unique_ptr<CTerminalDlg> dlg;
};
