#include "app/SendSideFeature.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>

#include <utility>

#include "app/AppSettings.h"
#include "app/StatusLine.h"
#include "transfer/TerminalEngine.h"

namespace {

const QString SERIAL_HISTORY_KEY = QStringLiteral("history/serial");
const QString NETWORK_HISTORY_KEY = QStringLiteral("history/network");
const QString LINE_ENDING_KEY = QStringLiteral("send/lineEnding");
const QString SEND_AS_HEX_KEY = QStringLiteral("send/asHex");
const QString SHOW_SENT_KEY = QStringLiteral("send/showSent");

// Each ending: its menu entry and its name in the settings.
struct EndingChoice {
    LineEnding ending;
    const char* text;
    const char* key;
};
constexpr EndingChoice ENDINGS[] = {
    {LineEnding::None, "None", "None"},
    {LineEnding::CR, "CR", "CR"},
    {LineEnding::LF, "LF", "LF"},
    {LineEnding::CRLF, "CR LF", "CRLF"},
};

}  // namespace

CSendSideFeature::CSendSideFeature(TerminalEngine& engine, const CAppSettings& settings,
                                   CStatusLine& status, QLineEdit* serialLine, QLineEdit* netLine)
    : m_engine(engine), m_settings(settings), m_status(status) {
    m_history[0] = std::make_unique<CSendHistory>(serialLine, settings, SERIAL_HISTORY_KEY, this);
    m_history[1] = std::make_unique<CSendHistory>(netLine, settings, NETWORK_HISTORY_KEY, this);
}

void CSendSideFeature::Load() {
    if (m_bLoaded)
        return;
    m_bLoaded = true;
    const std::unique_ptr<QSettings> store = m_settings.Open();
    const QString ending = store->value(LINE_ENDING_KEY).toString();
    for (const EndingChoice& choice : ENDINGS)
        if (ending == QLatin1String(choice.key))
            m_ending = choice.ending;
    m_bHex = store->value(SEND_AS_HEX_KEY, false).toBool();
    m_bShowSent = store->value(SHOW_SENT_KEY, false).toBool();
}

void CSendSideFeature::Save(const QString& key, const QVariant& value) {
    m_settings.Open()->setValue(key, value);
}

LineEnding CSendSideFeature::Ending() {
    Load();
    return m_ending;
}

bool CSendSideFeature::SendAsHex() {
    Load();
    return m_bHex;
}

bool CSendSideFeature::ShowSent() {
    Load();
    return m_bShowSent;
}

void CSendSideFeature::SetEnding(LineEnding ending) {
    Load();
    m_ending = ending;
    for (const EndingChoice& choice : ENDINGS)
        if (choice.ending == ending)
            Save(LINE_ENDING_KEY, QString::fromLatin1(choice.key));
}

void CSendSideFeature::SetSendAsHex(bool on) {
    Load();
    m_bHex = on;
    Save(SEND_AS_HEX_KEY, on);
}

void CSendSideFeature::SetShowSent(bool on) {
    Load();
    if (on == m_bShowSent)
        return;
    m_bShowSent = on;
    Save(SHOW_SENT_KEY, on);
    emit consoleChanged(SendLine::Serial);
    emit consoleChanged(SendLine::Network);
}

void CSendSideFeature::AddMenuEntries(CFeatureMenu& menu) {
    Load();
    QAction* endingEntry = menu.Add(MenuPlace::LineEnding, QStringLiteral("Line Ending"));
    // The submenu belongs to the context menu, as the entry does.
    auto* endings =
        new QMenu(QStringLiteral("Line Ending"), qobject_cast<QWidget*>(endingEntry->parent()));
    endings->setObjectName(QStringLiteral("LineEndingMenu"));
    endings->setAccessibleName(QStringLiteral("Line Ending"));
    auto* group = new QActionGroup(endings);
    group->setExclusive(true);
    for (const EndingChoice& choice : ENDINGS) {
        QAction* entry = endings->addAction(QString::fromLatin1(choice.text));
        entry->setCheckable(true);
        entry->setChecked(choice.ending == m_ending);
        group->addAction(entry);
        connect(entry, &QAction::triggered, this,
                [this, ending = choice.ending] { SetEnding(ending); });
    }
    endingEntry->setMenu(endings);

    QAction* hex = menu.Add(MenuPlace::SendAsHex, QStringLiteral("Send as Hex"));
    hex->setCheckable(true);
    hex->setChecked(m_bHex);
    connect(hex, &QAction::triggered, this, [this](bool on) { SetSendAsHex(on); });

    QAction* shown = menu.Add(MenuPlace::ShowSent, QStringLiteral("Show Sent"));
    shown->setCheckable(true);
    shown->setChecked(m_bShowSent);
    connect(shown, &QAction::triggered, this, [this](bool on) { SetShowSent(on); });
}

CRingBuffer& CSendSideFeature::Ring(SendLine which) {
    return which == SendLine::Serial ? m_engine.serial.Ring() : m_engine.net.Ring();
}

void CSendSideFeature::RefuseHex(const HexPairsError& error) {
    m_status.SetText(" Send as Hex : \"" + error.pair + "\" is " +
                     (error.half ? "half a hex pair" : "not a hex pair") + " (position " +
                     std::to_string(error.position) + ")");
}

std::optional<platform::Result> CSendSideFeature::Send(SendLine which, const std::string& typed) {
    Load();
    const bool serial = which == SendLine::Serial;
    // What each console sends of a typed line: the network console leaves out trailing blanks.
    const std::string_view line = serial ? std::string_view(typed) : TrimSendLine(typed);
    std::vector<unsigned char> bytes;
    if (m_bHex) {
        if (const std::optional<HexPairsError> error = ParseHexPairs(line, bytes)) {
            RefuseHex(*error);
            return std::nullopt;
        }
    } else {
        bytes.resize(line.size());
        bytes.resize(static_cast<size_t>(
            EncodeSendLine(line, bytes.data(), static_cast<int>(bytes.size()))));
    }
    const std::string_view ending = LineEndingBytes(m_ending);
    bytes.insert(bytes.end(), ending.begin(), ending.end());
    History(which).Add(typed);

    const CRingBuffer::End at = Ring(which).GetEnd();
    platform::Result result;
    if (!m_bHex && m_ending == LineEnding::None)
        result = serial ? m_engine.serial.Send(typed) : m_engine.net.Send(typed);
    else if (serial)
        result = m_engine.serial.SendBytes(bytes.data(), static_cast<int>(bytes.size()));
    else
        result = m_engine.net.SendBytes(bytes.data(), static_cast<int>(bytes.size()));

    // A line the link took whole is kept to be shown, whether shown now or later.
    if (result && !bytes.empty()) {
        std::deque<Sent>& sent = m_sent[Index(which)];
        sent.push_back({at, std::string(bytes.begin(), bytes.end())});
        while (sent.size() > SENT_LINES_KEPT)
            sent.pop_front();
        if (m_bShowSent)
            emit consoleChanged(which);
    }
    return result;
}

bool CSendSideFeature::SentLinesIn(SendLine which, const CRingBuffer::End& end, int n,
                                   std::vector<SentLine>& out) {
    out.clear();
    std::deque<Sent>& sent = m_sent[Index(which)];
    // Lines sent before the history was cleared, or before its oldest byte, never show again.
    const uint64_t oldest = end.put - static_cast<uint64_t>(n);
    while (!sent.empty() &&
           (sent.front().at.clears < end.clears ||
            (sent.front().at.clears == end.clears && sent.front().at.put < oldest)))
        sent.pop_front();
    if (ShowSent()) {
        for (const Sent& line : sent) {
            if (line.at.clears != end.clears || line.at.put > end.put)
                continue;  // sent after this snapshot of the history was taken
            out.push_back({static_cast<int>(line.at.put - oldest), line.bytes});
        }
    }
    return std::exchange(m_bShowing[Index(which)], !out.empty());
}
