#include "app/TimestampsFeature.h"

#include <utility>

#include <QAction>
#include <QActionGroup>
#include <QMenu>

#include "app/Ui.h"

namespace {

// How long after a render that found a frame still open the consoles render again: past the
// longest frame silence (3.5 characters at 1200 baud are 32 ms).
constexpr int RENDER_AGAIN_MS = 40;

struct DecodeChoice {
    ModbusDecode mode;
    const char* text;
};
constexpr DecodeChoice DECODE_CHOICES[] = {
    {ModbusDecode::Off, "Off"}, {ModbusDecode::Rtu, "RTU"}, {ModbusDecode::Tcp, "TCP"}};

}  // namespace

CTimestampsFeature::CTimestampsFeature(QObject* parent) : CDialogFeature(parent) {
    m_renderAgain.setSingleShot(true);
    m_renderAgain.setInterval(RENDER_AGAIN_MS);
    connect(&m_renderAgain, &QTimer::timeout, this, &CTimestampsFeature::changed);
}

void CTimestampsFeature::SetDecode(SendLine console, ModbusDecode mode) {
    if (std::exchange(m_decode[Index(console)], mode) != mode)
        emit changed();
}

void CTimestampsFeature::RenderAgainSoon() {
    if (!m_renderAgain.isActive())
        m_renderAgain.start();
}

void CTimestampsFeature::AddMenuEntries(CFeatureMenu& menu) {
    QAction* stamps = menu.Add(MenuPlace::ShowTimestamps, QStringLiteral("Show Timestamps"));
    stamps->setCheckable(true);
    stamps->setChecked(m_bShowTimestamps);
    connect(stamps, &QAction::triggered, this, [this](bool on) { OnShowTimestamps(on); });
    QAction* gap = menu.Add(MenuPlace::TimestampGap,
                            QStringLiteral("Timestamp Gap (%1 ms)...").arg(m_nTimestampGapMs));
    connect(gap, &QAction::triggered, this, [this] { OnTimestampGap(); });

    // "Decode Modbus": a section a console, each with its own exclusive choice.
    QAction* decodeEntry = menu.Add(MenuPlace::DecodeModbus, QStringLiteral("Decode Modbus"));
    auto* decode =
        new QMenu(QStringLiteral("Decode Modbus"), qobject_cast<QWidget*>(decodeEntry->parent()));
    decode->setObjectName(QStringLiteral("DecodeModbusMenu"));
    decode->setAccessibleName(QStringLiteral("Decode Modbus"));
    for (const SendLine console : {SendLine::Serial, SendLine::Network}) {
        const QString name = console == SendLine::Serial ? QStringLiteral("Serial Console")
                                                         : QStringLiteral("Network Console");
        decode->addSection(name);
        auto* group = new QActionGroup(decode);
        group->setExclusive(true);
        for (const DecodeChoice& choice : DECODE_CHOICES) {
            QAction* entry = decode->addAction(QString::fromLatin1(choice.text));
            // Told apart by its console where the entries' texts are the same.
            entry->setObjectName(name + QStringLiteral(": ") + QString::fromLatin1(choice.text));
            entry->setCheckable(true);
            entry->setChecked(Decode(console) == choice.mode);
            group->addAction(entry);
            connect(entry, &QAction::triggered, this,
                    [this, console, mode = choice.mode] { SetDecode(console, mode); });
        }
    }
    decodeEntry->setMenu(decode);
}

void CTimestampsFeature::OnShowTimestamps(bool show) {
    if (show == m_bShowTimestamps)
        return;
    m_bShowTimestamps = show;
    emit changed();
}

void CTimestampsFeature::OnTimestampGap() {
    const std::optional<int> gap =
        ui::AskNumber("Timestamp Gap", "Pause before a timestamped chunk (ms):", m_nTimestampGapMs,
                      MIN_TIMESTAMP_GAP_MS, MAX_TIMESTAMP_GAP_MS);
    // The seam's answer is checked as the real input checks it.
    if (!gap || *gap < MIN_TIMESTAMP_GAP_MS || *gap > MAX_TIMESTAMP_GAP_MS ||
        *gap == m_nTimestampGapMs)
        return;
    m_nTimestampGapMs = *gap;
    if (m_bShowTimestamps)
        emit changed();
}
