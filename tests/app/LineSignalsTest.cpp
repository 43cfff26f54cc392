// The Line Signals window on a pty (which has no modem lines) and on a fake set of lines.
#include <QContextMenuEvent>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "app/LineSignalsDlg.h"
#include "support/app/DialogFixture.h"

namespace {

using platform::ModemState;
using platform::Result;

// Lines a test sets; the watch thread sees each change through WaitForChange.
struct FakeLines {
    std::mutex lock;
    std::condition_variable changed;
    ModemState state;
    uint64_t version = 0;
    std::vector<std::string> calls;
    void Set(void (*change)(ModemState&)) {
        {
            std::lock_guard g(lock);
            change(state);
            ++version;
        }
        changed.notify_all();
    }
};

class FakeModemIo : public platform::ModemIo {
public:
    explicit FakeModemIo(FakeLines& f) : m_f(f) {}
    Result GetLines(ModemState& state) override {
        std::lock_guard g(m_f.lock);
        state = m_f.state;
        m_seen = m_f.version;
        return Result::Ok();
    }
    Result SetDtr(bool on) override { return Record(on ? "DTR on" : "DTR off"); }
    Result SetRts(bool on) override { return Record(on ? "RTS on" : "RTS off"); }
    Result SetBreak(bool on) override { return Record(on ? "break on" : "break off"); }
    Result WaitForChange(const platform::AbortSignal& abort) override {
        std::unique_lock g(m_f.lock);
        m_f.changed.wait(g, [&] { return abort.IsRaised() || m_f.version != m_seen; });
        return abort.IsRaised() ? Result::Fail("aborted", {}, ECANCELED) : Result::Ok();
    }
    void Interrupt() override {
        { std::lock_guard g(m_f.lock); }
        m_f.changed.notify_all();
    }
    Result GetCounters(platform::UartCounters& counters) override {
        counters = {1, 2, 3, 4, 5};
        return Result::Ok();
    }

private:
    Result Record(const char* what) {
        std::lock_guard g(m_f.lock);
        m_f.calls.push_back(what);
        return Result::Ok();
    }
    FakeLines& m_f;
    uint64_t m_seen = 0;
};

class LineSignals : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        LinkPort(1, pty.slavePath);
    }
    // Opens the window through the dialog's context menu, `times` times.
    CLineSignalsDlg* OpenFromMenu(int times = 1) {
        for (int i = 0; i < times; ++i) {
            FromMenu("Line Signals...");
        }
        return dlg->LineSignals().Window();
    }
    template <class T>
    T* Child(CLineSignalsDlg* w, const char* name) {
        return w->findChild<T*>(QString::fromLatin1(name));
    }
    QString StatusOf(CLineSignalsDlg* w) { return Child<QLabel>(w, "status")->text(); }
    // Every control but the status label is disabled.
    void ExpectOnlyStatusEnabled(CLineSignalsDlg* w) {
        std::vector<QString> names = {"DTR",     "RTS",          "Break",          "Break length",
                                      "Refresh", "Frame errors", "Buffer overruns"};
        for (QString line : {"CTS", "DSR", "DCD", "RI"})
            names.insert(names.end(), {line, line + " changes", line + " last change"});
        for (const QString& name : names) {
            QWidget* control = w->findChild<QWidget*>(name);
            ASSERT_NE(control, nullptr) << name.toStdString();
            EXPECT_FALSE(control->isEnabled()) << name.toStdString();
        }
        EXPECT_TRUE(Child<QLabel>(w, "status")->isEnabled());
    }
    testutil::PtyPair pty;
};

TEST_F(LineSignals, MenuEntryOpensOneNonModalWindow) {
    CLineSignalsDlg* w = OpenFromMenu(2);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->isModal());
    EXPECT_EQ(w->windowTitle(), "Line Signals");
    EXPECT_EQ(dlg->findChildren<CLineSignalsDlg*>().size(), 1);
    for (QWidget* child : w->findChildren<QWidget*>()) {
        if (qobject_cast<QAbstractButton*>(child) || qobject_cast<QSpinBox*>(child)) {
            EXPECT_FALSE(child->accessibleName().isEmpty()) << child->objectName().toStdString();
        }
    }
    EXPECT_EQ(Child<QSpinBox>(w, "Break length")->value(), 250);
}

// The window follows the console: closed, opened on a pty without modem lines, closed again.
TEST_F(LineSignals, SaysClosedAndNotSupportedWithItsControlsDisabled) {
    CLineSignalsDlg* w = OpenFromMenu();
    EXPECT_EQ(StatusOf(w), "Serial port closed");
    ExpectOnlyStatusEnabled(w);
    Click(IDC_BUTTON_OPEN);
    ASSERT_TRUE(dlg->SerialOpen());
    EXPECT_TRUE(testutil::WaitFor([&] { return StatusOf(w) == "not supported by this device"; }));
    ExpectOnlyStatusEnabled(w);
    Click(IDC_BUTTON_OPEN);
    EXPECT_EQ(StatusOf(w), "Serial port closed");
    ExpectOnlyStatusEnabled(w);
}

TEST_F(LineSignals, ShowsChangesAndDrivesTheLinesOfAFakeDevice) {
    CLineSignalsDlg* w = OpenFromMenu();
    Click(IDC_BUTTON_OPEN);
    ASSERT_TRUE(dlg->SerialOpen());
    FakeLines fake;
    ModemLines& modem = dlg->Serial().Modem();
    modem.Stop();
    ASSERT_TRUE(modem.Start(std::make_unique<FakeModemIo>(fake)).ok);
    w->Refresh();  // a restart of the lines is no open of the port: nothing announces it
    EXPECT_EQ(Child<QLabel>(w, "CTS")->text(), "off");
    EXPECT_EQ(Child<QLabel>(w, "Overruns")->text(), "3");

    fake.Set([](ModemState& s) { s.cts = true; });
    EXPECT_TRUE(testutil::WaitFor([&] { return Child<QLabel>(w, "CTS")->text() == "on"; }));
    EXPECT_EQ(Child<QLabel>(w, "CTS changes")->text(), "1");
    EXPECT_EQ(Child<QLabel>(w, "DSR changes")->text(), "0");
    EXPECT_EQ(Child<QLabel>(w, "CTS last change")->text().size(), 12);  // HH:MM:SS.mmm
    // A screen reader speaks the values, not only what they are; the status is read as its text.
    EXPECT_EQ(Child<QLabel>(w, "CTS")->accessibleName(), "CTS: on");
    EXPECT_EQ(Child<QLabel>(w, "CTS changes")->accessibleName(), "CTS changes: 1");
    EXPECT_EQ(Child<QLabel>(w, "Overruns")->accessibleName(), "Overruns: 3");
    EXPECT_TRUE(Child<QLabel>(w, "status")->accessibleName().isEmpty());

    Child<QPushButton>(w, "DTR")->click();
    EXPECT_TRUE(Child<QPushButton>(w, "DTR")->isChecked());
    Child<QSpinBox>(w, "Break length")->setValue(30);
    QPushButton* brk = Child<QPushButton>(w, "Break");
    brk->click();
    EXPECT_FALSE(brk->isEnabled());
    EXPECT_TRUE(testutil::WaitFor([&] { return brk->isEnabled(); }));
    {
        std::lock_guard g(fake.lock);
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"DTR on", "break on", "break off"}));
    }
    w->grab().save(QStringLiteral(VASKEL_ARTIFACTS "/line-signals.png"));
    modem.Stop();  // its watch thread waits on `fake`, which ends here
}

}  // namespace
