#include "app/TerminalDlg.h"
#include "app/TransferProgress.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "app/AboutDlg.h"
#include "app/ConsolePane.h"
#include "app/DialogUnits.h"
#include "app/StatusLine.h"
#include "app/Ui.h"
#include "app/Window.h"
#include "net/Fields.h"
#include "res/DialogTemplate.h"
#include "res/Icons.h"
#include "res/Resource.h"

HWND g_hMainWnd = nullptr;

namespace {

// The fixed default device address shown in the address control.
constexpr const char* DEFAULT_DEVICE_ADDRESS = "192.168.0.10";
// "halvek Info(&A)..." (string IDS_ABOUTBOX).
constexpr const char* ABOUTBOX_TEXT = "halvek Info(&A)...";
constexpr int SEND_LINE_LIMIT = 1024;

QWidget* CreateControl(const ControlTemplate& t, QWidget* parent) {
    const QString text = QString::fromUtf8(t.text);
    QWidget* w = nullptr;
    switch (t.kind) {
        case ControlKind::DropList: {
            auto* combo = new QComboBox(parent);
            for (const char* item : ComboItems(t.id))
                combo->addItem(QString::fromLatin1(item));
            w = combo;
            break;
        }
        case ControlKind::PushButton:
        case ControlKind::DefPushButton: {
            auto* button = new QPushButton(text, parent);
            // A focused push button takes Enter itself; the default button gets it otherwise.
            button->setAutoDefault(true);
            button->setDefault(t.kind == ControlKind::DefPushButton);
            w = button;
            break;
        }
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(text, parent);
            if (t.style & STYLE_CENTER)
                edit->setAlignment(Qt::AlignCenter);
            w = edit;
            break;
        }
        case ControlKind::IpAddress: {
            // One editable field whose text is the dotted address; the validator keeps it to
            // four fields of at most three digits each (net/Fields.h: IsDottedAddressText is
            // the same rule, and fuzz_fields checks that they agree).
            auto* edit = new QLineEdit(parent);
            static const QRegularExpression dotted(QString::fromLatin1(DOTTED_ADDRESS_PATTERN));
            edit->setValidator(new QRegularExpressionValidator(dotted, edit));
            edit->setAlignment(Qt::AlignCenter);
            w = edit;
            break;
        }
        case ControlKind::Label: {
            auto* label = new QLabel(text, parent);
            if (t.style & STYLE_SUNKEN) {
                label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
                label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
                label->setWordWrap(false);
                label->setTextFormat(Qt::PlainText);
            }
            w = label;
            break;
        }
        case ControlKind::GroupBox: {
            auto* group = new QGroupBox(text, parent);
            if (t.style & STYLE_CENTER)
                group->setAlignment(Qt::AlignHCenter);
            group->setFlat(false);
            group->setFocusPolicy(Qt::NoFocus);
            w = group;
            break;
        }
        case ControlKind::CheckBox:
            w = new QCheckBox(text, parent);
            break;
        case ControlKind::RichEdit: {
            auto* console = new QPlainTextEdit(parent);
            console->setReadOnly(true);
            console->setLineWrapMode(QPlainTextEdit::NoWrap);
            console->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            console->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            console->setUndoRedoEnabled(false);
            w = console;
            break;
        }
    }
    w->setObjectName(QString::fromLatin1(t.name));
    if (t.accessibleName)
        w->setAccessibleName(QString::fromUtf8(t.accessibleName));
    if (t.style & STYLE_HIDDEN)
        w->setVisible(false);
    if (t.style & STYLE_DISABLED)
        w->setEnabled(false);
    return w;
}

}  // namespace

CTerminalDlg::CTerminalDlg() : QDialog(nullptr) {
    m_hIcon = LoadIcon(IDI_TERMINAL);
    setObjectName(QStringLiteral("IDD_TERMINAL_DIALOG"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    CreateControls();
    CreatePanes();
    ConnectHandlers();
    ConnectEngine();
    CreateFeatures();
}

CTerminalDlg::~CTerminalDlg() {
    // The teardown has normally run already (DoModal); a dialog destroyed without it (tests)
    // still must not leave a port thread or a socket behind.
    m_lineSignals->DeleteWindow();
    DestroyWindow();
    // The Commands window refers to the engine: it ends what it runs before the engine goes.
    m_commands->DeleteWindow();
    if (g_hMainWnd == this)
        g_hMainWnd = nullptr;
}

void CTerminalDlg::CreateControls() {
    const DialogTemplate& tmpl = TerminalDialogTemplate();
    setWindowTitle(QString::fromUtf8(tmpl.caption));
    setFont(DialogFont(tmpl.fontPointSize));
    const DialogUnits du(font());
    QList<QGroupBox*> groups;
    // Created in template order, which is also Qt's tab order.
    for (const ControlTemplate& t : tmpl.controls) {
        QWidget* w = CreateControl(t, this);
        QRect rect = du.Rect(t.x, t.y, t.cx, t.cy);
        // A drop-down list's template height is that of its open list; closed it is one line.
        if (t.kind == ControlKind::DropList)
            rect.setHeight(w->sizeHint().height());
        w->setGeometry(rect);
        m_controls[t.id] = w;
        if (auto* group = qobject_cast<QGroupBox*>(w))
            groups << group;
    }
    // Group boxes stay behind the controls they frame, so they never take a click meant for one.
    for (QGroupBox* group : groups)
        group->lower();
    resize(du.Size(tmpl.cx, tmpl.cy));

    auto get = [this](int id) { return m_controls.at(id); };
    m_cbFlow = qobject_cast<QComboBox*>(get(IDC_COMBO_FLOW));
    m_chkHexViewNet = qobject_cast<QCheckBox*>(get(IDC_CHECK_HEXVIEW_NET));
    m_chkHexView = qobject_cast<QCheckBox*>(get(IDC_CHECK_HEXVIEW));
    m_chkServerMode = qobject_cast<QCheckBox*>(get(IDC_CHECK_SERVER_MODE));
    m_btnOpen = qobject_cast<QPushButton*>(get(IDC_BUTTON_OPEN));
    m_btnConnect = qobject_cast<QPushButton*>(get(IDC_BUTTON_IP_CONNECT));
    m_ipAddress = qobject_cast<QLineEdit*>(get(IDC_IP_ADDRESS));
    m_editSend = qobject_cast<QLineEdit*>(get(IDC_EDIT_SEND));
    m_cbStop = qobject_cast<QComboBox*>(get(IDC_COMBO_STOP));
    m_cbParity = qobject_cast<QComboBox*>(get(IDC_COMBO_PARITY));
    m_cbPort = qobject_cast<QComboBox*>(get(IDC_COMBO_PORT));
    m_cbData = qobject_cast<QComboBox*>(get(IDC_COMBO_DATA));
    m_cbBaud = qobject_cast<QComboBox*>(get(IDC_COMBO_BAUD));
    auto* status = qobject_cast<QLabel*>(get(IDC_STATIC_STATUS));
    m_status = std::make_unique<CStatusLine>(status);
    // The status line's name is its text, so that assistive technology reads (and announces)
    // what it says; what it is goes in its description.
    status->setAccessibleDescription(QStringLiteral("Status line"));
    // Each field's label names it for assistive technology as well (the "labelled by"
    // relation): on Linux a drop-down list's accessible name is its current item, so without
    // the relation a screen reader reads "57600" and never "Baud Rate".
    static constexpr std::pair<int, int> labelFor[] = {
        {IDC_STATIC_SERIAL_PORT, IDC_COMBO_PORT},     {IDC_STATIC_SERIAL_BAUD, IDC_COMBO_BAUD},
        {IDC_STATIC_SERIAL_DATA_BIT, IDC_COMBO_DATA}, {IDC_STATIC_SERIAL_STOPBIT, IDC_COMBO_STOP},
        {IDC_STATIC_SERIAL_PARITY, IDC_COMBO_PARITY}, {IDC_STATIC_SERIAL_FLOW, IDC_COMBO_FLOW},
        {IDC_STATIC_IPADDR, IDC_IP_ADDRESS},          {IDC_STATIC_NET_PORT, IDC_EDIT_IP_PORT},
    };
    for (const auto& [label, field] : labelFor)
        qobject_cast<QLabel*>(get(label))->setBuddy(get(field));
    // Until the first render both consoles carry the text font (set when first shown).
    qobject_cast<QLineEdit*>(get(IDC_EDIT_IP_MESSAGE))->setMaxLength(SEND_LINE_LIMIT);
    // The limit counts UTF-16 units: a pasted line cut at the limit may end in the first half of
    // a character beyond the Basic Multilingual Plane (an emoji), which would go out as a '?'
    // the user never typed. Only whole characters stay.
    for (int id : {IDC_EDIT_SEND, IDC_EDIT_IP_MESSAGE}) {
        auto* edit = qobject_cast<QLineEdit*>(get(id));
        connect(edit, &QLineEdit::textChanged, edit, [edit](const QString& text) {
            if (!text.isEmpty() && text.back().isHighSurrogate()) {
                const int cursor = edit->cursorPosition();
                edit->setText(text.chopped(1));
                edit->setCursorPosition(std::min(cursor, static_cast<int>(text.size() - 1)));
            }
        });
    }
}

void CTerminalDlg::ConnectHandlers() {
    auto onClick = [this](int id, void (CTerminalDlg::*handler)()) {
        auto* button = qobject_cast<QAbstractButton*>(m_controls.at(id));
        connect(button, &QAbstractButton::clicked, this, handler);
    };
    onClick(IDC_BUTTON_OPEN, &CTerminalDlg::OnButtonOpen);
    onClick(IDC_BUTTON_SEND, &CTerminalDlg::OnButtonSend);
    onClick(IDC_BUTTON_CLEAR, &CTerminalDlg::OnButtonClear);
    onClick(IDC_BUTTON_IP_CONNECT, &CTerminalDlg::OnButtonIpConnect);
    onClick(IDC_BUTTON_IP_SEND, &CTerminalDlg::OnButtonIpSend);
    onClick(IDC_BUTTON_IP_CLEAR, &CTerminalDlg::OnButtonIpClear);
    onClick(IDC_BUTTON_DEFAULT, &CTerminalDlg::OnButtonDefault);
    onClick(IDC_CHECK_SERVER_MODE, &CTerminalDlg::OnCheckServerMode);
    onClick(IDC_CHECK_HEXVIEW, &CTerminalDlg::OnCheckHexview);
    onClick(IDC_CHECK_HEXVIEW_NET, &CTerminalDlg::OnCheckHexviewNet);
    onClick(IDC_BTN_FILE_SEND_SERIAL, &CTerminalDlg::OnBtnFileSendSerial);
    onClick(IDC_BUTTON_TEST2, &CTerminalDlg::OnButtonTest2);
    onClick(IDC_BTN_FILE_SEND_NETWORK, &CTerminalDlg::OnBtnFileSendNetwork);
    onClick(IDOK, &CTerminalDlg::OnOK);
    // IDC_BUTTON_TEST and the selection changes of the port and baud lists do nothing.
}

QWidget* CTerminalDlg::GetDlgItem(int id) const {
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

void CTerminalDlg::CreateFeatures() {
    m_portChoice = std::make_unique<CPortChoiceFeature>(Serial(), m_cbPort, this);
    m_lineSignals = std::make_unique<CLineSignalsFeature>(m_engine, this);
    m_deviceServer = std::make_unique<CDeviceServerFeature>(
        m_engine, SerialLineLists{m_cbBaud, m_cbData, m_cbStop, m_cbParity, m_cbFlow}, *m_status,
        this);
    m_timestamps = std::make_unique<CTimestampsFeature>();
    connect(m_timestamps.get(), &CTimestampsFeature::changed, this, [this] {
        RefreshSerialConsole();
        RefreshNetConsole();
    });
    m_trafficLog = std::make_unique<CTrafficLogFeature>(m_engine, *m_status);
    m_commands = std::make_unique<CCommandsFeature>(m_engine, m_settings, this);
    m_sendSide = std::make_unique<CSendSideFeature>(
        m_engine, m_settings, *m_status, m_editSend,
        qobject_cast<QLineEdit*>(GetDlgItem(IDC_EDIT_IP_MESSAGE)));
    connect(m_sendSide.get(), &CSendSideFeature::consoleChanged, this, [this](SendLine line) {
        (line == SendLine::Serial ? m_serialView : m_netView)->RequestRefresh();
    });
}

std::array<CDialogFeature*, 7> CTerminalDlg::Features() const {
    return {m_portChoice.get(), m_lineSignals.get(), m_deviceServer.get(), m_timestamps.get(),
            m_trafficLog.get(), m_commands.get(),    m_sendSide.get()};
}

void CTerminalDlg::Create() {
    if (m_stage == Stage::Created)
        OnInitDialog();
}

int CTerminalDlg::DoModal() {
    Create();
    const int result = exec();
    DestroyWindow();
    return result;
}

bool CTerminalDlg::OnInitDialog() {
    if (m_stage == Stage::Created)
        m_stage = Stage::Initialized;
    // The lists were filled from the template when the controls were made; the exchange selects
    // the defaults, shows the port and limits the serial send line.
    UpdateData(false);
    // The about item lives in the dialog's context menu (see contextMenuEvent): a Linux window
    // manager owns the title-bar menu.
    setWindowIcon(m_hIcon);
    g_hMainWnd = this;
    m_ipAddress->setText(QString::fromLatin1(DEFAULT_DEVICE_ADDRESS));
    SerialRing().Clear();
    NetRing().Clear();
    m_portChoice->UpdatePortTips();
    m_cbPort->setFocus();  // the first tab stop
    return true;
}

void CTerminalDlg::contextMenuEvent(QContextMenuEvent* e) {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("SystemMenu"));
    CFeatureMenu entries(menu);
    for (CDialogFeature* feature : Features())
        feature->AddMenuEntries(entries);
    entries.Fill();
    menu.addSeparator();
    QAction* about = menu.addAction(QString::fromUtf8(ABOUTBOX_TEXT));
    connect(about, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    menu.exec(e->globalPos());
}

void CTerminalDlg::OnSysCommand(int id) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CTerminalDlg::OnButtonDefault() {
    QWidget* focus = QApplication::focusWidget();
    if (focus == GetDlgItem(IDC_EDIT_SEND))
        OnButtonSend();
    else if (focus == GetDlgItem(IDC_EDIT_IP_MESSAGE))
        OnButtonIpSend();
    // Anywhere else Enter does nothing; it never closes the dialog.
}

void CTerminalDlg::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        // A focused push button handles Enter itself before it gets here; everything else goes
        // to the hidden default button.
        if (e->modifiers() == Qt::NoModifier || e->modifiers() == Qt::KeypadModifier) {
            OnButtonDefault();
            e->accept();
            return;
        }
    }
    QDialog::keyPressEvent(e);  // Escape: the cancel path
}

void CTerminalDlg::OnOK() {
    if (UpdateData(true))
        done(IDOK);
}

void CTerminalDlg::accept() {
    OnOK();
}

void CTerminalDlg::OnCancel() {
    done(IDCANCEL);
}

void CTerminalDlg::reject() {
    OnCancel();
}

void CTerminalDlg::closeEvent(QCloseEvent* e) {
    // The close box takes the cancel path, without any data exchange.
    e->ignore();
    OnCancel();
}

void CTerminalDlg::DestroyWindow() {
    if (m_stage == Stage::Destroyed)
        return;
    m_stage = Stage::Destroyed;
    // Port first, then the network; without the commands' exchange, which a field the user left
    // half typed would stop with a prompt.
    if (SerialOpen())
        ClosePort();
    m_deviceServer->StopReconnecting();
    if (NetConnected())
        DisconnectNet();
    // Whatever is left (a port or link the commands did not end) goes with the window.
    m_engine.Shutdown();
}

bool CTerminalDlg::event(QEvent* e) {
    if (e->type() == platform::CMessageEvent::Type()) {
        auto* msg = static_cast<platform::CMessageEvent*>(e);
        if (msg->m_message == WM_TRANSFER_CANCEL)
            OnTransferCancel();
        return true;
    }
    return QDialog::event(e);
}

void CTerminalDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    OnShowWindow();
    ApplyMinimumSize();
}

void CTerminalDlg::SetStatusText(const std::string& text) {
    m_status->SetText(text);
}

std::string CTerminalDlg::StatusText() const {
    return m_status->Text();
}

void CTerminalDlg::ConnectEngine() {
    SerialConsole& serial = m_engine.serial;
    NetConsole& net = m_engine.net;
    PassThrough& transfer = m_engine.passThrough;
    // The serial receive thread announces bytes; the window renders on its own thread.
    connect(
        &serial, &SerialConsole::received, this, [this] { OnCommRead(); }, Qt::QueuedConnection);
    connect(&serial, &SerialConsole::failure, this, &CTerminalDlg::ShowFailure,
            Qt::QueuedConnection);
    connect(&serial, &SerialConsole::portLost, this, &CTerminalDlg::OnPortLost);
    connect(&net, &NetConsole::received, this, [this] { m_netView->RequestRefresh(); });
    connect(&net, &NetConsole::failure, this, &CTerminalDlg::ShowFailure);
    connect(&net, &NetConsole::connected, this, &CTerminalDlg::OnNetConnected);
    connect(&net, &NetConsole::connectFailed, this, &CTerminalDlg::OnNetConnectFailed);
    // Out of descriptors the server pauses by itself; a box would need descriptors too.
    connect(&net, &NetConsole::acceptPaused, this, [this](const QString& reason) {
        SetStatusText(" Server paused : " + reason.toStdString());
    });
    connect(&net, &NetConsole::farEndClosed, this, &CTerminalDlg::OnNetFarEndClosed);
    connect(&transfer, &PassThrough::timedOut, this, [this](CaptureLink link) {
        OnTimer(link == CaptureLink::Serial ? IDT_SERIAL_TIMEOUT : IDT_NETWORK_TIMEOUT);
    });
    connect(&transfer, &PassThrough::sendFailed, this, &CTerminalDlg::ShowFailure);
    connect(&transfer, &PassThrough::finished, this, &CTerminalDlg::OnTransferFinished);
    // The progress dialog shows what the capture reports while it is up, and only then.
    new CTransferProgress(transfer, m_dlgDownload, this);
}

void CTerminalDlg::ShowFailure(const QString& text, const QString& detail) {
    ui::MessageBox(text.toStdString(), detail.toStdString());
}

void CTerminalDlg::UpdateFileSendButtons() {
    const bool both = SerialOpen() && NetConnected();
    GetDlgItem(IDC_BTN_FILE_SEND_SERIAL)->setEnabled(both);
    GetDlgItem(IDC_BTN_FILE_SEND_NETWORK)->setEnabled(both);
}
