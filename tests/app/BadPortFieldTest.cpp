// A port field that does not hold a number: its prompt, and the commands that do not use the port
// number still doing their work, with the field left as typed for the user to correct.
#include <QPushButton>

#include "support/app/DialogFixture.h"

namespace {

constexpr const char* PROMPT = "양의 정수를 입력하십시오.";

class BadPortField : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        LinkPort(1, pty.slavePath);
    }
    void OpenPort() {
        Click(IDC_BUTTON_OPEN);
        ASSERT_EQ(dlg->SerialOpen(), 1) << (seam.messages.empty() ? "" : seam.messages.back());
    }
    // Puts `text` in the port field, runs the command behind `id`, and checks that exactly one
    // prompt came and that the field still shows what was typed.
    void ClickWithBadPort(int id, const char* text = "50x0") {
        SetText(IDC_EDIT_IP_PORT, text);
        const size_t shown = seam.messages.size();
        Click(id);
        ASSERT_EQ(seam.messages.size(), shown + 1);
        EXPECT_EQ(seam.messages.back(), PROMPT);
        EXPECT_EQ(Item<QLineEdit>(IDC_EDIT_IP_PORT)->text().toStdString(), text);
    }
    testutil::PtyPair pty;
};

TEST_F(BadPortField, SerialCommandsStillWork) {
    OpenPort();
    SetText(IDC_EDIT_SEND, "AT\\x0D");
    ClickWithBadPort(IDC_BUTTON_SEND);
    EXPECT_EQ(pty.Read(3), "AT\r");
    EXPECT_EQ(Item<QLineEdit>(IDC_EDIT_SEND)->text(), "");

    pty.Write("shown");
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == "shown"; }));
    ClickWithBadPort(IDC_BUTTON_CLEAR);
    EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG), "");
    EXPECT_EQ(dlg->SerialRing().GetCount(), 0);

    // An open port closes with its own button.
    ClickWithBadPort(IDC_BUTTON_OPEN);
    EXPECT_EQ(dlg->SerialOpen(), 0);
    EXPECT_EQ(Status(), " Disconnected : COM1");
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_OPEN)->text(), "Open");
}

TEST_F(BadPortField, NetworkSendClearAndServerModeStillWork) {
    // A line typed while nothing is connected goes (nowhere) and the line empties; the line the
    // user typed is the one taken, never an older one.
    SetText(IDC_EDIT_IP_MESSAGE, "first");
    SetText(IDC_EDIT_IP_PORT, "5000");
    dlg->UpdateData(true);  // "first" is now the member
    SetText(IDC_EDIT_IP_MESSAGE, "");
    ClickWithBadPort(IDC_BUTTON_IP_SEND, "");
    EXPECT_EQ(dlg->m_strNetMessage, "");
    SetText(IDC_EDIT_IP_MESSAGE, "gone");
    ClickWithBadPort(IDC_BUTTON_IP_SEND);
    EXPECT_EQ(Item<QLineEdit>(IDC_EDIT_IP_MESSAGE)->text(), "");

    dlg->NetRing().Put('x');
    dlg->RefreshNetConsole();
    ASSERT_EQ(Console(IDC_REDIT_NET_DEBUG), "x");
    ClickWithBadPort(IDC_BUTTON_IP_CLEAR);
    EXPECT_EQ(Console(IDC_REDIT_NET_DEBUG), "");
    EXPECT_EQ(dlg->NetRing().GetCount(), 0);

    // The address field follows the box both ways.
    ClickWithBadPort(IDC_CHECK_SERVER_MODE);
    EXPECT_TRUE(Item<QCheckBox>(IDC_CHECK_SERVER_MODE)->isChecked());
    EXPECT_FALSE(Enabled(IDC_IP_ADDRESS));
    ClickWithBadPort(IDC_CHECK_SERVER_MODE, "-1");
    EXPECT_TRUE(Enabled(IDC_IP_ADDRESS));

    // Connect needs the number: it stops after the prompt.
    ClickWithBadPort(IDC_BUTTON_IP_CONNECT);
    EXPECT_EQ(dlg->NetConnected(), 0);
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->text(), "Connect");
}

}  // namespace
