// The rooms the dialog's features share: the context menu they fill and the status line's
// tooltip they each keep a part of; and the layout that a restore after a minimize puts back.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/DialogFeature.h"
#include "app/Layout.h"
#include "app/SerialPortsDlg.h"
#include "app/StatusLine.h"
#include "app/TerminalDlg.h"
#include "res/Resource.h"
#include "support/TestUtil.h"
#include "support/app/DialogFixture.h"
#include "support/app/RecordingSeam.h"

namespace {

std::vector<std::string> MenuTexts(const QMenu& menu) {
    std::vector<std::string> texts;
    for (const QAction* a : menu.actions())
        texts.push_back(a->isSeparator() ? "--" : a->text().toStdString());
    return texts;
}

// Whatever order the features add their entries in, the menu lists them by place, a separator
// before the consoles' group; a place added twice keeps the last entry.
TEST(FeatureMenu, EntriesStandAtTheirPlaces) {
    using P = MenuPlace;
    struct Case {
        const char* what;
        std::vector<std::pair<P, const char*>> added;
        std::vector<std::string> shown;
    };
    const Case cases[] = {
        {"reverse order",
         {{P::LogTraffic, "log"},
          {P::ShowTimestamps, "stamps"},
          {P::OpenCaptureFolder, "folder"},
          {P::LineSignals, "lines"},
          {P::SerialPorts, "ports"}},
         {"ports", "lines", "folder", "--", "stamps", "log"}},
        {"only the consoles' group", {{P::TimestampGap, "gap"}}, {"--", "gap"}},
        {"only the windows' group",
         {{P::NetworkOptions, "net"}, {P::SerialPorts, "ports"}},
         {"ports", "net"}},
        {"a place added twice",
         {{P::LineSignals, "first"}, {P::LineSignals, "second"}},
         {"second"}},
    };
    for (const Case& c : cases) {
        QMenu menu;
        CFeatureMenu entries(menu);
        for (const auto& [place, text] : c.added)
            entries.Add(place, QString::fromLatin1(text));
        entries.Fill();
        EXPECT_EQ(MenuTexts(menu), c.shown) << c.what;
    }
}

// The tooltip is the parts that have something to say, in the order transfer, device server,
// traffic log, whichever part was set last; an emptied part leaves no blank line.
TEST(StatusLine, TipKeepsItsPartsInOrder) {
    using T = CStatusLine::TipPart;
    struct Step {
        T part;
        std::string text;
        std::string tip;  // the whole tooltip after the step
    };
    const Step steps[] = {
        {T::TrafficLog, "5 bytes not logged", "5 bytes not logged"},
        {T::DeviceServer, "Device server: a\nsecond line",
         "Device server: a\nsecond line\n5 bytes not logged"},
        {T::Transfer, "Stored at /tmp/x",
         "Stored at /tmp/x\nDevice server: a\nsecond line\n5 "
         "bytes not logged"},
        {T::DeviceServer, "", "Stored at /tmp/x\n5 bytes not logged"},
        {T::Transfer, "", "5 bytes not logged"},
        {T::TrafficLog, "", ""},
    };
    QLabel label;
    CStatusLine status(&label);
    status.SetText(" Start Server Mode");
    for (const Step& step : steps) {
        status.SetTip(step.part, step.text);
        EXPECT_EQ(label.toolTip().toStdString(), step.tip) << step.text;
        EXPECT_EQ(status.Tip(), step.tip);
    }
    EXPECT_EQ(status.Text(), " Start Server Mode");  // the tooltip never touches the text
}

// A minimize moves nothing; the restore that follows lays the controls out again, even when no
// resize event comes with it.
TEST(DialogWindowState, RestoreAfterMinimizeLaysTheControlsOut) {
    testutil::RecordingSeam seam;
    CTerminalDlg dlg;
    dlg.Create();
    dlg.show();
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg.isVisible(); }));
    dlg.OnSize(SIZE_RESTORED, dlg.width(), dlg.height());  // the layout flag is set
    QWidget* send = dlg.GetDlgItem(IDC_BUTTON_SEND);
    const QRect laidOut = send->geometry();
    dlg.showMinimized();
    testutil::Pump(20);
    send->setGeometry(0, 0, 10, 10);  // moved behind the layout's back while minimized
    EXPECT_EQ(send->geometry(), QRect(0, 0, 10, 10));
    dlg.showNormal();
    testutil::Pump(20);
    EXPECT_EQ(send->geometry(), laidOut);
}

class PortChoice : public DialogFixture {
protected:
    using DialogFixture::FromMenu;
    // Triggers the context menu's entry `text`; `answer` handles the Serial Ports window it
    // opens, when it opens one.
    void FromMenu(const QString& text, const std::function<void(CSerialPortsDlg*)>& answer) {
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* ports = qobject_cast<CSerialPortsDlg*>(w); ports && ports->isVisible()) {
                    poll.stop();
                    answer(ports);
                }
        });
        if (answer)
            poll.start(10);
        DialogFixture::FromMenu(text);
    }
    QString PortTip(int index) {
        return Item<QComboBox>(IDC_COMBO_PORT)->itemData(index, Qt::ToolTipRole).toString();
    }
};

// The port items' tooltips follow what the Serial Ports window stores (and not what it was told
// before Cancel); the capture folder opens in the file manager.
TEST_F(PortChoice, EntriesChooseThePortsAndOpenTheCaptureFolder) {
    Select(IDC_COMBO_PORT, 1);
    const QString before = PortTip(1);
    struct Case {
        const char* path;
        bool ok;
        QString tip;  // COM2's tooltip afterwards
    };
    const Case cases[] = {
        {"/dev/ttyVASKEL2", false, before},
        {"/dev/ttyVASKEL2", true, "/dev/ttyVASKEL2 (your mapping)"},
        {"/dev/ttyVASKEL3", true, "/dev/ttyVASKEL3 (your mapping)"},
    };
    for (const Case& c : cases) {
        bool answered = false;
        FromMenu("Serial Ports...", [&](CSerialPortsDlg* ports) {
            answered = true;
            ports->DeviceBox(2)->setEditText(QString::fromLatin1(c.path));
            if (c.ok)
                ports->accept();
            else
                ports->reject();
        });
        EXPECT_TRUE(answered) << c.path;
        EXPECT_EQ(PortTip(1), c.tip) << c.path;
        EXPECT_EQ(Item<QComboBox>(IDC_COMBO_PORT)->toolTip(), c.tip) << c.path;
    }
    EXPECT_EQ(PortTip(0).toStdString(), dlg->Serial().Ports().DescribeTarget(1));

    FromMenu("Open Capture Folder");
    EXPECT_EQ(seam.folders, std::vector<std::string>{dir.path});
    EXPECT_TRUE(seam.messages.empty());
}

}  // namespace
