#include "res/DialogTemplate.h"

#include <array>

#include "platform/LineWords.h"
#include "res/Resource.h"

namespace {

using K = ControlKind;

// Tab order is the order of this table.
constexpr ControlTemplate kControls[] = {
    {IDC_COMBO_PORT, "IDC_COMBO_PORT", K::DropList, "", 63, 29, 49, 119, 0, "Serial Port"},
    {IDC_COMBO_BAUD, "IDC_COMBO_BAUD", K::DropList, "", 163, 29, 49, 110, 0, "Baud Rate"},
    {IDC_COMBO_DATA, "IDC_COMBO_DATA", K::DropList, "", 273, 29, 49, 112, 0, "Data Bit"},
    {IDC_COMBO_STOP, "IDC_COMBO_STOP", K::DropList, "", 63, 45, 49, 96, 0, "Stop Bit"},
    {IDC_COMBO_PARITY, "IDC_COMBO_PARITY", K::DropList, "", 163, 45, 49, 103, 0, "Parity"},
    {IDC_BUTTON_OPEN, "IDC_BUTTON_OPEN", K::PushButton, "Open", 286, 67, 48, 14, 0, nullptr},
    {IDC_BUTTON_CLEAR, "IDC_BUTTON_CLEAR", K::PushButton, "Clear", 237, 67, 48, 14, 0, nullptr},
    {IDC_EDIT_SEND, "IDC_EDIT_SEND", K::Edit, "", 13, 202, 269, 14, 0, "Serial send line"},
    {IDC_BUTTON_SEND, "IDC_BUTTON_SEND", K::PushButton, "Send", 286, 202, 48, 14, 0, nullptr},
    {IDC_IP_ADDRESS, "IDC_IP_ADDRESS", K::IpAddress, "", 145, 247, 100, 15, 0, "IP Address"},
    {IDC_EDIT_IP_PORT, "IDC_EDIT_IP_PORT", K::Edit, "", 285, 248, 40, 14, STYLE_CENTER, "Port"},
    {IDC_BUTTON_IP_CONNECT, "IDC_BUTTON_IP_CONNECT", K::PushButton, "Connect", 284, 272, 50, 14, 0,
     nullptr},
    {IDC_EDIT_IP_MESSAGE, "IDC_EDIT_IP_MESSAGE", K::Edit, "", 13, 361, 271, 14, 0,
     "Network send line"},
    {IDC_BUTTON_IP_SEND, "IDC_BUTTON_IP_SEND", K::PushButton, "Send", 286, 361, 48, 14, 0, nullptr},
    {IDC_BUTTON_IP_CLEAR, "IDC_BUTTON_IP_CLEAR", K::PushButton, "Clear", 234, 272, 48, 14, 0,
     nullptr},
    {IDOK, "IDOK", K::PushButton, "Exit", 291, 383, 48, 14, 0, nullptr},
    {IDC_STATIC_SERIAL_PORT, "IDC_STATIC_SERIAL_PORT", K::Label, "Serial Port", 25, 31, 34, 8, 0,
     nullptr},
    {IDC_STATIC_SERIAL_BAUD, "IDC_STATIC_SERIAL_BAUD", K::Label, "Baud Rate", 123, 31, 34, 8, 0,
     nullptr},
    {IDC_STATIC_SERIAL_DATA_BIT, "IDC_STATIC_SERIAL_DATA_BIT", K::Label, "Data Bit", 224, 33, 26, 8,
     0, nullptr},
    {IDC_STATIC_SERIAL_STOPBIT, "IDC_STATIC_SERIAL_STOPBIT", K::Label, "Stop Bit", 25, 48, 26, 8, 0,
     nullptr},
    {IDC_STATIC_SERIAL_PARITY, "IDC_STATIC_SERIAL_PARITY", K::Label, "Parity", 123, 47, 19, 8, 0,
     nullptr},
    {IDC_GROUP_SERIAL_CONF, "IDC_GROUP_SERIAL_CONF", K::GroupBox, "Serial Configuration", 13, 17,
     321, 47, 0, nullptr},
    {IDC_GROUP_NET_CONF, "IDC_GROUP_NET_CONF", K::GroupBox, "Network Configuration", 13, 238, 321,
     31, 0, nullptr},
    {IDC_STATIC_IPADDR, "IDC_STATIC_IPADDR", K::Label, "IP Address", 105, 251, 36, 8, 0, nullptr},
    {IDC_STATIC_NET_PORT, "IDC_STATIC_NET_PORT", K::Label, "Port", 266, 251, 14, 8, 0, nullptr},
    {IDC_BUTTON_DEFAULT, "IDC_BUTTON_DEFAULT", K::DefPushButton, "default button", 112, 383, 50, 14,
     STYLE_HIDDEN, nullptr},
    {IDC_STATIC_STATUS, "IDC_STATIC_STATUS", K::Label, "", 7, 402, 332, 16,
     STYLE_SUNKEN | STYLE_VCENTER, nullptr},
    {IDC_GROUP_SERIAL_COMM, "IDC_GROUP_SERIAL_COMM", K::GroupBox, "Serial Communication", 7, 7, 332,
     216, STYLE_CENTER | STYLE_FLAT, nullptr},
    {IDC_GROUP_NET_COMM, "IDC_GROUP_NET_COMM", K::GroupBox, "Network Communication", 7, 229, 332,
     151, STYLE_CENTER | STYLE_FLAT, nullptr},
    {IDC_CHECK_SERVER_MODE, "IDC_CHECK_SERVER_MODE", K::CheckBox, "Server Mode", 25, 251, 57, 10, 0,
     nullptr},
    {IDC_CHECK_HEXVIEW, "IDC_CHECK_HEXVIEW", K::CheckBox, "Hex View", 13, 69, 47, 10, 0, nullptr},
    {IDC_CHECK_HEXVIEW_NET, "IDC_CHECK_HEXVIEW_NET", K::CheckBox, "Hex View", 13, 274, 47, 10, 0,
     nullptr},
    {IDC_BTN_FILE_SEND_SERIAL, "IDC_BTN_FILE_SEND_SERIAL", K::PushButton, "File Send", 185, 67, 50,
     14, STYLE_DISABLED, nullptr},
    {IDC_BUTTON_TEST, "IDC_BUTTON_TEST", K::PushButton, "test", 179, 384, 31, 14, STYLE_HIDDEN,
     nullptr},
    {IDC_BUTTON_TEST2, "IDC_BUTTON_TEST2", K::PushButton, "test2", 44, 383, 31, 14, STYLE_HIDDEN,
     nullptr},
    {IDC_BTN_FILE_SEND_NETWORK, "IDC_BTN_FILE_SEND_NETWORK", K::PushButton, "File Send", 182, 272,
     50, 14, STYLE_DISABLED, nullptr},
    {IDC_REDIT_SERIAL_DEBUG, "IDC_REDIT_SERIAL_DEBUG", K::RichEdit, "", 13, 85, 321, 113, 0,
     "Serial console"},
    {IDC_REDIT_NET_DEBUG, "IDC_REDIT_NET_DEBUG", K::RichEdit, "", 13, 289, 321, 68, 0,
     "Network console"},
    {IDC_STATIC_SERIAL_FLOW, "IDC_STATIC_SERIAL_FLOW", K::Label, "Flow Control", 224, 49, 42, 8, 0,
     nullptr},
    {IDC_COMBO_FLOW, "IDC_COMBO_FLOW", K::DropList, "", 273, 45, 49, 46, 0, "Flow Control"},
};

constexpr const char* kPorts[] = {"COM1", "COM2", "COM3", "COM4", "COM5",
                                  "COM6", "COM7", "COM8", "COM9"};
constexpr const char* kBauds[] = {"2400",  "4800",  "9600",  "14400",  "19200",
                                  "28800", "38400", "57600", "115200", "230400"};
constexpr const char* kDataBits[] = {"5 bit", "6 bit", "7 bit", "8 bit"};
constexpr const char* kStopBits[] = {"1", "2"};

}  // namespace

const DialogTemplate& TerminalDialogTemplate() {
    static const DialogTemplate tmpl{"Vaskel Ver. 1.0", 346, 425, "굴림", 9, kControls};
    return tmpl;
}

std::span<const char* const> ComboItems(int id) {
    switch (id) {
        case IDC_COMBO_PORT:
            return kPorts;
        case IDC_COMBO_BAUD:
            return kBauds;
        case IDC_COMBO_DATA:
            return kDataBits;
        case IDC_COMBO_STOP:
            return kStopBits;
        case IDC_COMBO_PARITY:
            return platform::kParityListItems;
        case IDC_COMBO_FLOW:
            return platform::kFlowListItems;
        default:
            return {};
    }
}
