#include "app/CommandsDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/AppSettings.h"
#include "app/CommandRuns.h"
#include "app/Ui.h"
#include "transfer/TerminalEngine.h"

namespace {

constexpr const char* kScriptFilter = "Scripts(*.vsk)|*.vsk|All Files(*.*)|*.*||";
constexpr LineEnding kEndings[] = {LineEnding::None, LineEnding::CR, LineEnding::LF,
                                   LineEnding::CRLF};
constexpr int kMaxCount = 1'000'000'000;

// Every control is named for a screen reader and found by that name.
template <class W>
W* Named(W* w, const QString& name) {
    w->setObjectName(name);
    w->setAccessibleName(name);
    return w;
}

QPushButton* Button(const QString& text, QWidget* parent) {
    return Named(new QPushButton(text, parent), QString(text).remove(QLatin1Char('.')));
}

// A whole number from min to max in `text`, or nothing.
std::optional<qint64> WholeNumber(const QString& text, qint64 min, qint64 max) {
    bool ok = false;
    const qint64 n = text.trimmed().toLongLong(&ok);
    if (!ok || n < min || n > max)
        return std::nullopt;
    return n;
}

}  // namespace

CCommandsDlg::CCommandsDlg(TerminalEngine& engine, const CAppSettings& settings, QWidget* parent)
    : QDialog(parent), m_engine(engine), m_settings(settings) {
    setObjectName(QStringLiteral("Commands"));
    setWindowTitle(QStringLiteral("Commands"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setModal(false);
    m_runs = new CCommandRuns(engine, this);
    CreateControls();
    connect(m_runs, &CCommandRuns::progress, this, &CCommandsDlg::ShowStatus);
    connect(m_runs, &CCommandRuns::finished, this, [this](const QString& text) {
        ShowRunning(false);
        ShowStatus(text.section(QLatin1Char('\n'), 0, 0));
        m_result->setPlainText(text);
    });
    m_commands = LoadCommands(*m_settings.Open());
    ShowList(m_commands.empty() ? -1 : 0);
}

CCommandsDlg::~CCommandsDlg() {
    // The runs end here, while the controls they report to still exist.
    disconnect(m_runs, nullptr, this, nullptr);
    delete m_runs;
}

void CCommandsDlg::CreateControls() {
    m_list = Named(new QListWidget(this), QStringLiteral("Commands list"));
    auto* add = Button(QStringLiteral("Add"), this);
    auto* remove = Button(QStringLiteral("Remove"), this);
    auto* up = Button(QStringLiteral("Move Up"), this);
    auto* down = Button(QStringLiteral("Move Down"), this);
    auto* listButtons = new QVBoxLayout;
    for (QPushButton* b : {add, remove, up, down})
        listButtons->addWidget(b);
    listButtons->addStretch();
    auto* listRow = new QHBoxLayout;
    listRow->addWidget(m_list, 1);
    listRow->addLayout(listButtons);

    auto* entry = new QGroupBox(QStringLiteral("Command"), this);
    auto* form = new QFormLayout(entry);
    m_name = Named(new QLineEdit(entry), QStringLiteral("Name"));
    m_link = Named(new QComboBox(entry), QStringLiteral("Link"));
    m_link->addItems({QStringLiteral("Serial"), QStringLiteral("Network")});
    m_data = Named(new QLineEdit(entry), QStringLiteral("Data"));
    m_data->setToolTip(QStringLiteral("Text to send; \\xHH stands for the byte of hex value HH."));
    m_checksum = Named(new QComboBox(entry), QStringLiteral("Checksum"));
    m_checksum->addItem(QStringLiteral("None"));
    for (const std::string& name : ChecksumChoiceNames())
        m_checksum->addItem(QString::fromStdString(name));
    m_ending = Named(new QComboBox(entry), QStringLiteral("Line ending"));
    for (LineEnding e : kEndings)
        m_ending->addItem(QString::fromLatin1(LineEndingLabel(e)));
    form->addRow(QStringLiteral("&Name:"), m_name);
    form->addRow(QStringLiteral("&Link:"), m_link);
    form->addRow(QStringLiteral("&Data:"), m_data);
    form->addRow(QStringLiteral("Chec&ksum:"), m_checksum);
    form->addRow(QStringLiteral("Line &ending:"), m_ending);
    m_send = Button(QStringLiteral("Send"), entry);
    form->addRow(QString(), m_send);
    m_editors = {m_name, m_link, m_data, m_checksum, m_ending, m_send, remove, up, down};

    auto* repeat = new QGroupBox(QStringLiteral("Repeat"), this);
    auto* repeatRow = new QHBoxLayout(repeat);
    m_every = Named(new QLineEdit(QStringLiteral("1000"), repeat), QStringLiteral("Every (ms)"));
    m_count = Named(new QLineEdit(QStringLiteral("10"), repeat), QStringLiteral("Count"));
    m_untilStopped = Named(new QCheckBox(QStringLiteral("Until stopped"), repeat),
                           QStringLiteral("Until stopped"));
    m_repeat = Button(QStringLiteral("Repeat"), repeat);
    auto* everyLabel = new QLabel(QStringLiteral("E&very"), repeat);
    everyLabel->setBuddy(m_every);
    auto* countLabel = new QLabel(QStringLiteral("ms, c&ount"), repeat);
    countLabel->setBuddy(m_count);
    for (QWidget* w : {static_cast<QWidget*>(everyLabel), static_cast<QWidget*>(m_every),
                       static_cast<QWidget*>(countLabel), static_cast<QWidget*>(m_count),
                       static_cast<QWidget*>(m_untilStopped), static_cast<QWidget*>(m_repeat)})
        repeatRow->addWidget(w);
    m_editors.push_back(m_repeat);

    auto* exportButton = Button(QStringLiteral("Export..."), this);
    auto* importButton = Button(QStringLiteral("Import..."), this);
    m_runScript = Button(QStringLiteral("Run Script..."), this);
    m_stop = Button(QStringLiteral("Stop"), this);
    auto* close = Button(QStringLiteral("Close"), this);
    auto* bottom = new QHBoxLayout;
    for (QPushButton* b : {exportButton, importButton, m_runScript, m_stop})
        bottom->addWidget(b);
    bottom->addStretch();
    bottom->addWidget(close);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setAccessibleDescription(QStringLiteral("Status"));
    m_status->setWordWrap(true);
    m_result = Named(new QPlainTextEdit(this), QStringLiteral("Result"));
    m_result->setReadOnly(true);
    m_result->setLineWrapMode(QPlainTextEdit::NoWrap);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(listRow, 1);
    layout->addWidget(entry);
    layout->addWidget(repeat);
    layout->addLayout(bottom);
    layout->addWidget(m_status);
    layout->addWidget(m_result, 1);
    resize(560, 620);

    connect(add, &QPushButton::clicked, this, &CCommandsDlg::OnAdd);
    connect(remove, &QPushButton::clicked, this, &CCommandsDlg::OnRemove);
    connect(up, &QPushButton::clicked, this, [this] { OnMove(-1); });
    connect(down, &QPushButton::clicked, this, [this] { OnMove(1); });
    connect(m_send, &QPushButton::clicked, this, &CCommandsDlg::OnSend);
    connect(m_repeat, &QPushButton::clicked, this, &CCommandsDlg::OnRepeat);
    connect(m_stop, &QPushButton::clicked, this, &CCommandsDlg::OnStop);
    connect(exportButton, &QPushButton::clicked, this, &CCommandsDlg::OnExport);
    connect(importButton, &QPushButton::clicked, this, &CCommandsDlg::OnImport);
    connect(m_runScript, &QPushButton::clicked, this, &CCommandsDlg::OnRunScript);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    connect(m_list, &QListWidget::currentRowChanged, this, [this] { ShowCurrent(); });
    connect(m_name, &QLineEdit::textChanged, this, &CCommandsDlg::TakeEdits);
    connect(m_data, &QLineEdit::textChanged, this, &CCommandsDlg::TakeEdits);
    for (QComboBox* combo : {m_link, m_checksum, m_ending})
        connect(combo, &QComboBox::currentIndexChanged, this, &CCommandsDlg::TakeEdits);
    connect(m_untilStopped, &QCheckBox::toggled, m_count, &QWidget::setDisabled);
    ShowRunning(false);
}

int CCommandsDlg::Current() const {
    const int row = m_list->currentRow();
    return row >= 0 && row < static_cast<int>(m_commands.size()) ? row : -1;
}

QString CCommandsDlg::StatusText() const {
    return m_status->text();
}

QString CCommandsDlg::ResultText() const {
    return m_result->toPlainText();
}

void CCommandsDlg::ShowList(int current) {
    m_bLoading = true;
    m_list->clear();
    for (const SavedCommand& c : m_commands)
        m_list->addItem(QString::fromStdString(c.name));
    m_list->setCurrentRow(current);
    m_bLoading = false;
    ShowCurrent();
}

void CCommandsDlg::ShowCurrent() {
    if (m_bLoading)
        return;
    const int row = Current();
    for (QWidget* w : m_editors)
        w->setEnabled(row >= 0);
    ShowRunning(m_runs->Running());
    m_bLoading = true;
    const SavedCommand c = row >= 0 ? m_commands[static_cast<size_t>(row)] : SavedCommand{};
    m_name->setText(QString::fromStdString(c.name));
    m_link->setCurrentIndex(c.link == ScriptLink::Serial ? 0 : 1);
    m_data->setText(QString::fromStdString(c.data));
    m_checksum->setCurrentIndex(
        c.checksum ? m_checksum->findText(QString::fromStdString(checksum::NameOf(*c.checksum)))
                   : 0);
    m_ending->setCurrentIndex(static_cast<int>(c.ending));
    m_bLoading = false;
}

void CCommandsDlg::TakeEdits() {
    const int row = Current();
    if (m_bLoading || row < 0)
        return;
    SavedCommand& c = m_commands[static_cast<size_t>(row)];
    c.name = m_name->text().toStdString();
    c.link = m_link->currentIndex() == 0 ? ScriptLink::Serial : ScriptLink::Network;
    c.data = m_data->text().toStdString();
    c.checksum = m_checksum->currentIndex() > 0
                     ? checksum::Find(m_checksum->currentText().toStdString())
                     : std::nullopt;
    c.ending = kEndings[std::max(0, m_ending->currentIndex())];
    m_list->item(row)->setText(m_name->text());
    Save();
}

void CCommandsDlg::Save() const {
    SaveCommands(*m_settings.Open(), m_commands);
}

void CCommandsDlg::ShowStatus(const QString& text) {
    m_status->setText(text);
}

void CCommandsDlg::ShowRunning(bool running) {
    m_stop->setEnabled(running);
    m_runScript->setEnabled(!running);
    m_repeat->setEnabled(!running && Current() >= 0);
}

void CCommandsDlg::OnAdd() {
    SavedCommand c;
    c.name = "Command " + std::to_string(m_commands.size() + 1);
    m_commands.push_back(std::move(c));
    Save();
    ShowList(static_cast<int>(m_commands.size()) - 1);
    m_name->setFocus();
    m_name->selectAll();
}

void CCommandsDlg::OnRemove() {
    const int row = Current();
    if (row < 0)
        return;
    m_commands.erase(m_commands.begin() + row);
    Save();
    ShowList(std::min(row, static_cast<int>(m_commands.size()) - 1));
}

void CCommandsDlg::OnMove(int by) {
    const int row = Current();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= static_cast<int>(m_commands.size()))
        return;
    std::swap(m_commands[static_cast<size_t>(row)], m_commands[static_cast<size_t>(to)]);
    Save();
    ShowList(to);
}

void CCommandsDlg::OnSend() {
    const int row = Current();
    if (row < 0)
        return;
    const SavedCommand& c = m_commands[static_cast<size_t>(row)];
    const std::string bytes = c.Wire();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const int n = static_cast<int>(bytes.size());
    const platform::Result r = c.link == ScriptLink::Serial ? m_engine.serial.SendBytes(data, n)
                                                            : m_engine.net.SendBytes(data, n);
    const QString name = QString::fromStdString(c.name);
    const QString link = QString::fromLatin1(ScriptLinkName(c.link));
    if (r)
        ShowStatus(QStringLiteral("Sent \"%1\" on %2: %3 bytes.").arg(name, link).arg(n));
    else
        ShowStatus(QStringLiteral("\"%1\" was not sent on %2: %3%4")
                       .arg(name, link, QString::fromStdString(r.text),
                            r.reason.empty()
                                ? QString()
                                : QStringLiteral(" (%1)").arg(QString::fromStdString(r.reason))));
}

void CCommandsDlg::OnRepeat() {
    const int row = Current();
    if (row < 0)
        return;
    const auto everyMs = WholeNumber(m_every->text(), CCommandRuns::kMinEveryNs / 1'000'000,
                                     CCommandRuns::kMaxEveryNs / 1'000'000);
    if (!everyMs) {
        ui::MessageBox(
            "The repeat period must be a whole number of milliseconds from 1 to 3600000 (one "
            "hour).",
            "\"" + m_every->text().toStdString() + "\" is not such a number.");
        return;
    }
    const bool untilStopped = m_untilStopped->isChecked();
    const auto count = untilStopped ? std::optional<qint64>(CCommandRuns::kUntilStopped)
                                    : WholeNumber(m_count->text(), 1, kMaxCount);
    if (!count) {
        ui::MessageBox(
            "The repeat count must be a whole number from 1 to 1000000000, or check Until "
            "stopped.",
            "\"" + m_count->text().toStdString() + "\" is not such a number.");
        return;
    }
    m_result->clear();
    if (m_runs->StartRepeat(m_commands[static_cast<size_t>(row)], *everyMs * 1'000'000,
                            static_cast<int>(*count)))
        ShowRunning(true);
}

void CCommandsDlg::OnStop() {
    m_runs->Stop();
}

void CCommandsDlg::OnExport() {
    const auto choice = ui::ChooseSaveFile({}, "commands.vsk", kScriptFilter);
    if (!choice)
        return;
    QFile file(QString::fromStdString(choice->path));
    const QByteArray text = QByteArray::fromStdString(ExportCommands(m_commands));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size() ||
        !file.flush()) {
        ui::MessageBox("The commands were not exported to " + choice->path,
                       file.errorString().toStdString());
        return;
    }
    ShowStatus(QStringLiteral("Exported %1 commands to %2.")
                   .arg(m_commands.size())
                   .arg(QString::fromStdString(choice->path)));
}

void CCommandsDlg::OnImport() {
    const auto choice = ui::ChooseOpenFile(kScriptFilter);
    if (!choice)
        return;
    QFile file(QString::fromStdString(choice->path));
    if (!file.open(QIODevice::ReadOnly)) {
        ui::MessageBox(choice->path + ": cannot read: " + file.errorString().toStdString());
        return;
    }
    const CommandsImport read = ImportCommands(file.readAll().toStdString(), choice->path);
    if (!read.ok) {
        ui::MessageBox(read.error, "Nothing was imported.");
        return;
    }
    const int first = static_cast<int>(m_commands.size());
    m_commands.insert(m_commands.end(), read.commands.begin(), read.commands.end());
    Save();
    ShowList(first);
    ShowStatus(QStringLiteral("Imported %1 commands from %2.")
                   .arg(read.commands.size())
                   .arg(QString::fromStdString(choice->name)));
}

void CCommandsDlg::OnRunScript() {
    const auto choice = ui::ChooseOpenFile(kScriptFilter);
    if (!choice)
        return;
    ScriptParse parse = LoadScript(choice->path);
    if (!parse.ok) {
        ui::MessageBox(parse.error, "The script was not run.");
        return;
    }
    parse.script.file = choice->name;
    m_result->clear();
    if (m_runs->StartScript(parse.script))
        ShowRunning(true);
}

void CCommandsDlg::hideEvent(QHideEvent* e) {
    // A minimised window is hidden by the window system (a spontaneous event): it runs on.
    if (!e->spontaneous())
        m_runs->Stop();
    QDialog::hideEvent(e);
}
