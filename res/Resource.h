// Resource identifiers of the dialogs, strings and icons.
#pragma once

// Dialogs and icons.
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDD_TERMINAL_DIALOG = 102;
constexpr int IDR_MAINFRAME = 128;
constexpr int IDD_DOWNLOAD = 130;
constexpr int IDI_TERMINAL = 131;
constexpr int IDM_ABOUTBOX = 16;

// Standard dialog commands.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Main dialog controls.
constexpr int IDC_COMBO_PORT = 1002;
constexpr int IDC_COMBO_BAUD = 1003;
constexpr int IDC_COMBO_DATA = 1004;
constexpr int IDC_COMBO_STOP = 1005;
constexpr int IDC_COMBO_PARITY = 1006;
constexpr int IDC_BUTTON_OPEN = 1007;
constexpr int IDC_EDIT_SEND = 1010;
constexpr int IDC_BUTTON_SEND = 1011;
constexpr int IDC_BUTTON_IP_SEND = 1012;
constexpr int IDC_BUTTON_CLEAR = 1013;
constexpr int IDC_BUTTON_IP_CLEAR = 1015;
constexpr int IDC_IP_ADDRESS = 1017;
constexpr int IDC_EDIT_IP_PORT = 1018;
constexpr int IDC_BUTTON_IP_CONNECT = 1019;
constexpr int IDC_EDIT_IP_MESSAGE = 1020;
constexpr int IDC_BUTTON_DEFAULT = 1021;
constexpr int IDC_STATIC_STATUS = 1022;
constexpr int IDC_CHECK_SERVER_MODE = 1023;
constexpr int IDC_CHECK_HEXVIEW = 1024;
constexpr int IDC_CHECK_HEXVIEW_NET = 1025;
constexpr int IDC_BTN_FILE_SEND_SERIAL = 1026;
constexpr int IDC_BUTTON_TEST = 1027;
constexpr int IDC_BUTTON_TEST2 = 1028;
constexpr int IDC_BTN_FILE_SEND_NETWORK = 1029;
constexpr int IDC_REDIT_SERIAL_DEBUG = 1031;
constexpr int IDC_REDIT_NET_DEBUG = 1033;
constexpr int IDC_COMBO_FLOW = 1034;
constexpr int IDC_GROUP_SERIAL_COMM = 1039;
constexpr int IDC_GROUP_SERIAL_CONF = 1040;
constexpr int IDC_STATIC_SERIAL_PORT = 1041;
constexpr int IDC_STATIC_SERIAL_BAUD = 1042;
constexpr int IDC_STATIC_SERIAL_DATA_BIT = 1043;
constexpr int IDC_STATIC_SERIAL_STOPBIT = 1044;
constexpr int IDC_STATIC_SERIAL_PARITY = 1045;
constexpr int IDC_STATIC_SERIAL_FLOW = 1046;
constexpr int IDC_GROUP_NET_COMM = 1047;
constexpr int IDC_GROUP_NET_CONF = 1048;
constexpr int IDC_STATIC_IPADDR = 1049;
constexpr int IDC_STATIC_NET_PORT = 1050;

// Progress dialog controls (their own id space: they live in another dialog).
constexpr int IDC_PROGRESS_DOWNLOAD = 1028;
constexpr int IDC_STATIC_DOWNLOAD_BYTES = 1029;

// Messages to the main window (WM_USER + 1 was the serial refresh, now a signal of the serial
// console).
constexpr int WM_USER = 0x400;
constexpr int WM_TRANSFER_CANCEL = WM_USER + 2;

// The main window's capture time-out timers, one a link.
constexpr int IDT_SERIAL_TIMEOUT = 1001;
constexpr int IDT_NETWORK_TIMEOUT = 1002;
