#include "app/LineSignalsDlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/RemoteLinesGroup.h"
#include "app/ValueLabel.h"
#include "serial/SerialConsole.h"

namespace {

constexpr const auto& kLines = platform::kModemInputs;
const char* const kCounterNames[5] = {"Frame errors", "Parity errors", "Overruns",
                                      "Breaks received", "Buffer overruns"};
// The longest break offered, in milliseconds (the timer runs on the UI thread; a minute is
// plenty for any device that needs a long break to reset).
constexpr int kMaxBreakMs = 60000;

QPushButton* Toggle(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(text);
    button->setAccessibleName(text);
    button->setCheckable(true);
    return button;
}

}  // namespace

CLineSignalsDlg::CLineSignalsDlg(SerialConsole& console, NetConsole& net, QWidget* parent)
    : QDialog(parent), m_console(console) {
    setObjectName(QStringLiteral("LineSignals"));
    setWindowTitle(QStringLiteral("Line Signals"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setModal(false);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    // Named by what it says (a fixed name would hide the text from a screen reader).
    m_status->setAccessibleDescription(QStringLiteral("Status"));
    m_status->setWordWrap(true);

    auto* inputs = new QGroupBox(QStringLiteral("Inputs"), this);
    auto* grid = new QGridLayout(inputs);
    const char* const headers[3] = {"Level", "Changes", "Last change"};
    for (int column = 0; column < 3; ++column)
        grid->addWidget(new QLabel(QString::fromLatin1(headers[column]), inputs), 0, column + 1);
    for (int i = 0; i < 4; ++i) {
        const QString name = QString::fromLatin1(ModemLineName(kLines[i]));
        auto* label = new QLabel(name, inputs);
        LineRow& row = m_rows[i];
        row.lamp = new QLabel(inputs);
        row.lamp->setObjectName(name);
        row.lamp->setAccessibleName(name);
        row.lamp->setAlignment(Qt::AlignCenter);
        row.lamp->setMinimumWidth(40);
        row.count = new QLabel(inputs);
        row.count->setObjectName(name + QStringLiteral(" changes"));
        ShowLabelValue(row.count, QStringLiteral("0"));
        row.time = new QLabel(inputs);
        row.time->setObjectName(name + QStringLiteral(" last change"));
        ShowLabelValue(row.time, QStringLiteral("-"));
        label->setBuddy(row.lamp);
        grid->addWidget(label, i + 1, 0);
        grid->addWidget(row.lamp, i + 1, 1);
        grid->addWidget(row.count, i + 1, 2);
        grid->addWidget(row.time, i + 1, 3);
    }

    auto* outputs = new QGroupBox(QStringLiteral("Outputs"), this);
    auto* out = new QHBoxLayout(outputs);
    m_dtr = Toggle(QStringLiteral("DTR"), outputs);
    m_rts = Toggle(QStringLiteral("RTS"), outputs);
    m_break = new QPushButton(QStringLiteral("Break"), outputs);
    m_break->setObjectName(QStringLiteral("Break"));
    m_break->setAccessibleName(QStringLiteral("Send break"));
    auto* lengthLabel = new QLabel(QStringLiteral("Length:"), outputs);
    m_breakMs = new QSpinBox(outputs);
    m_breakMs->setObjectName(QStringLiteral("Break length"));
    m_breakMs->setAccessibleName(QStringLiteral("Break length in milliseconds"));
    m_breakMs->setRange(1, kMaxBreakMs);
    m_breakMs->setValue(MODEM_BREAK_MS);
    m_breakMs->setSuffix(QStringLiteral(" ms"));
    lengthLabel->setBuddy(m_breakMs);
    out->addWidget(m_dtr);
    out->addWidget(m_rts);
    out->addSpacing(12);
    out->addWidget(m_break);
    out->addWidget(lengthLabel);
    out->addWidget(m_breakMs);
    out->addStretch();

    auto* counters = new QGroupBox(QStringLiteral("UART counters"), this);
    auto* cgrid = new QGridLayout(counters);
    for (int i = 0; i < 5; ++i) {
        const QString name = QString::fromLatin1(kCounterNames[i]);
        auto* label = new QLabel(name + QLatin1Char(':'), counters);
        m_counters[i] = new QLabel(counters);
        m_counters[i]->setObjectName(name);
        ShowLabelValue(m_counters[i], QStringLiteral("-"));
        label->setBuddy(m_counters[i]);
        cgrid->addWidget(label, i, 0);
        cgrid->addWidget(m_counters[i], i, 1);
    }
    m_refresh = new QPushButton(QStringLiteral("Refresh"), counters);
    m_refresh->setObjectName(QStringLiteral("Refresh"));
    m_refresh->setAccessibleName(QStringLiteral("Refresh counters"));
    cgrid->addWidget(m_refresh, 5, 1, Qt::AlignRight);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setAccessibleName(QStringLiteral("Close"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    m_remote = new CRemoteLinesGroup(net, m_breakMs, this);
    connect(m_remote, &CRemoteLinesGroup::refreshed, this, &CLineSignalsDlg::UpdateBreakLength);

    // The serial port's lines on the left, the device server's on the right.
    auto* serial = new QVBoxLayout;
    serial->addWidget(m_status);
    serial->addWidget(inputs);
    serial->addWidget(outputs);
    serial->addWidget(counters);
    serial->addStretch();
    auto* columns = new QHBoxLayout;
    columns->addLayout(serial);
    columns->addWidget(m_remote);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(columns);
    layout->addWidget(buttons);

    ModemLines& modem = m_console.Modem();
    connect(&modem, &ModemLines::lineChanged, this, &CLineSignalsDlg::OnLineChanged);
    connect(&modem, &ModemLines::notSupported, this, [this] { Refresh(); });
    connect(&modem, &ModemLines::watchFailed, this,
            [this](const QString& reason) { m_status->setText(reason); });
    connect(&modem, &ModemLines::breakEnded, this, [this] { Refresh(); });
    connect(&m_console, &SerialConsole::opened, this, [this] {
        m_bClosing = false;
        Refresh();
    });
    // Announced while the port is still open: it is shown closed from here on.
    connect(&m_console, &SerialConsole::aboutToClose, this, [this] {
        m_bClosing = true;
        Refresh();
    });
    connect(m_dtr, &QPushButton::clicked, this,
            [this](bool on) { OnToggle(m_dtr, m_console.Modem().SetDtr(on)); });
    connect(m_rts, &QPushButton::clicked, this,
            [this](bool on) { OnToggle(m_rts, m_console.Modem().SetRts(on)); });
    connect(m_break, &QPushButton::clicked, this, &CLineSignalsDlg::OnBreak);
    connect(m_refresh, &QPushButton::clicked, this, &CLineSignalsDlg::Refresh);

    Refresh();
}

void CLineSignalsDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    Refresh();
    m_remote->Refresh();
}

CLineSignalsDlg::State CLineSignalsDlg::CurrentState() const {
    if (m_bClosing || !m_console.IsOpen() || !m_console.Modem().Running())
        return State::Closed;
    return m_console.Modem().Supported() ? State::Ready : State::NotSupported;
}

void CLineSignalsDlg::Refresh() {
    const State state = CurrentState();
    ShowState(state);
    if (state != State::Ready)
        return;
    ModemLines& modem = m_console.Modem();
    for (ModemLine line : kLines)
        ShowLine(line, modem.Lines().Level(line));
    m_dtr->setChecked(modem.Lines().dtr);
    m_rts->setChecked(modem.Lines().rts);
    ShowCounters();
}

void CLineSignalsDlg::ShowState(State state) {
    const bool ready = state == State::Ready;
    switch (state) {
        case State::Closed:
            m_status->setText(QStringLiteral("Serial port closed"));
            break;
        case State::NotSupported:
            m_status->setText(QString::fromLatin1(platform::kNotSupportedText));
            break;
        case State::Ready:
            m_status->setText(QString::fromStdString(m_console.PortName()));
            break;
    }
    for (LineRow& row : m_rows) {
        row.lamp->setEnabled(ready);
        row.count->setEnabled(ready);
        row.time->setEnabled(ready);
    }
    for (QLabel* counter : m_counters)
        counter->setEnabled(ready);
    m_dtr->setEnabled(ready);
    m_rts->setEnabled(ready);
    m_break->setEnabled(ready && !m_console.Modem().BreakOn());
    UpdateBreakLength();
    m_refresh->setEnabled(ready);
    if (!ready) {
        for (ModemLine line : kLines)
            ShowLabelValue(m_rows[static_cast<int>(line)].lamp, QString());
        for (QLabel* counter : m_counters)
            ShowLabelValue(counter, QStringLiteral("-"));
    }
}

void CLineSignalsDlg::UpdateBreakLength() {
    m_breakMs->setEnabled(CurrentState() == State::Ready || (m_remote && m_remote->Controllable()));
}

// A coloured lamp with its level as text, so the level does not rely on colour.
void CLineSignalsDlg::ShowLine(ModemLine line, bool on) {
    LineRow& row = m_rows[static_cast<int>(line)];
    ShowLabelValue(row.lamp, on ? QStringLiteral("on") : QStringLiteral("off"));
    row.lamp->setStyleSheet(on ? QStringLiteral("background:#3a3;color:white;border-radius:3px")
                               : QStringLiteral("background:#777;color:white;border-radius:3px"));
    ShowLabelValue(row.count, QString::number(m_console.Modem().ChangeCount(line)));
}

void CLineSignalsDlg::ShowCounters() {
    platform::UartCounters c;
    const platform::Result r = m_console.Modem().Counters(c);
    const uint32_t values[5] = {c.frame, c.parity, c.overrun, c.brk, c.bufferOverrun};
    for (int i = 0; i < 5; ++i)
        ShowLabelValue(m_counters[i], r ? QString::number(values[i]) : QStringLiteral("-"));
    if (!r)
        Report(r);
}

void CLineSignalsDlg::OnLineChanged(const ModemLineChange& change) {
    if (CurrentState() != State::Ready)
        return;
    ShowLine(change.line, change.on);
    ShowLabelValue(m_rows[static_cast<int>(change.line)].time,
                   change.wall.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")));
    ShowCounters();
}

// A toggle that could not set its line shows the line as the engine has it.
void CLineSignalsDlg::OnToggle(QPushButton* button, platform::Result result) {
    if (!result)
        Report(result);
    const platform::ModemState& lines = m_console.Modem().Lines();
    button->setChecked(button == m_dtr ? lines.dtr : lines.rts);
}

void CLineSignalsDlg::OnBreak() {
    const platform::Result r = m_console.Modem().SendBreak(m_breakMs->value());
    m_break->setEnabled(!m_console.Modem().BreakOn());
    if (!r)
        Report(r);
}

void CLineSignalsDlg::Report(const platform::Result& result) {
    QString text = QString::fromStdString(result.text);
    if (!result.reason.empty())
        text += QStringLiteral(": ") + QString::fromStdString(result.reason);
    m_status->setText(text);
}
