// Cost of one full-history console refresh (2047 bytes, hex and text) next to the cost of only
// setting the same text on the same widget. The render should add almost nothing. The same
// refresh with timestamps shown, on a history of 16-byte chunks each after a pause (every chunk
// gets its time: the most a history can carry), next to the plain refresh.
#include <QApplication>
#include <QCheckBox>
#include <QPlainTextEdit>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <vector>

#include "app/TerminalDlg.h"
#include "display/ConsoleFormat.h"
#include "res/Resource.h"

namespace {

CTerminalDlg* g_dlg = nullptr;

// Two different full histories, so that every refresh really changes the console.
void FillHistory(CRingBuffer& ring, int variant) {
    ring.Clear();
    for (int i = 0; i < 3000; ++i)
        ring.Put(static_cast<unsigned char>((i * 7 + variant * 13) & 0xFF));
}

// The same, as received chunks of 16 bytes, 25 ms apart: each one starts a timestamped line.
void FillStampedHistory(CRingBuffer& ring, int variant) {
    ring.Clear();
    unsigned char chunk[16];
    int64_t ns = 1'700'000'000'000'000'000;
    for (int i = 0; i < 3008; i += 16) {
        for (int k = 0; k < 16; ++k)
            chunk[k] = static_cast<unsigned char>(((i + k) * 7 + variant * 13) & 0xFF);
        ns += 25'000'000;
        ring.Put(chunk, 16, {ns, ns + 123'456});
    }
}

QPlainTextEdit* Console() {
    return qobject_cast<QPlainTextEdit*>(g_dlg->GetDlgItem(IDC_REDIT_SERIAL_DEBUG));
}

// Both sides end with the console painted: a widget lays its text out when it shows it, so
// comparing without the paint would leave the widget's own work out of one side only.

// One refresh of the serial console: render plus scrolling to the end.
void BM_Refresh(benchmark::State& state, bool hex) {
    g_dlg->m_chkHexView->setChecked(hex);
    int variant = 0;
    for (auto _ : state) {
        state.PauseTiming();
        FillHistory(g_dlg->SerialRing(), variant ^= 1);
        state.ResumeTiming();
        g_dlg->RefreshSerialConsole();
        Console()->repaint();
    }
}

void BM_RefreshStamped(benchmark::State& state, bool hex) {
    g_dlg->m_chkHexView->setChecked(hex);
    g_dlg->Timestamps().OnShowTimestamps(true);
    int variant = 0;
    for (auto _ : state) {
        state.PauseTiming();
        FillStampedHistory(g_dlg->SerialRing(), variant ^= 1);
        state.ResumeTiming();
        g_dlg->RefreshSerialConsole();
        Console()->repaint();
    }
    g_dlg->Timestamps().OnShowTimestamps(false);
}

void BM_SetTextOnly(benchmark::State& state, bool hex) {
    auto* console = Console();
    QString texts[2];
    for (int v = 0; v < 2; ++v) {
        FillHistory(g_dlg->SerialRing(), v);
        unsigned char history[RING_BUFFER_CAPACITY];
        const int n = g_dlg->SerialRing().Snapshot(history);
        std::string s;
        if (hex)
            FormatHexDump(history, n, s);
        else
            FormatConsoleText(history, n, s);
        texts[v] = ConsoleWidgetText(s);
    }
    int variant = 0;
    for (auto _ : state) {
        console->setPlainText(texts[variant ^= 1]);
        console->repaint();
    }
}

// Setting the same text the stamped refresh shows, formatted beforehand.
void BM_SetTextOnlyStamped(benchmark::State& state, bool hex) {
    auto* console = Console();
    QString texts[2];
    for (int v = 0; v < 2; ++v) {
        FillStampedHistory(g_dlg->SerialRing(), v);
        unsigned char history[RING_BUFFER_CAPACITY];
        std::vector<CRingBuffer::ChunkStart> starts;
        const int n = g_dlg->SerialRing().Snapshot(history, starts);
        std::string s;
        if (hex)
            FormatHexDump(history, n, starts, DEFAULT_TIMESTAMP_GAP_NS, s);
        else
            FormatConsoleText(history, n, starts, DEFAULT_TIMESTAMP_GAP_NS, s);
        texts[v] = ConsoleWidgetText(s);
    }
    int variant = 0;
    for (auto _ : state) {
        console->setPlainText(texts[variant ^= 1]);
        console->repaint();
    }
}

// The formatters alone on the stamped history, with and without its times.
void BM_Format(benchmark::State& state, bool hex, bool stamps) {
    FillStampedHistory(g_dlg->SerialRing(), 0);
    unsigned char history[RING_BUFFER_CAPACITY];
    std::vector<CRingBuffer::ChunkStart> starts;
    const int n = g_dlg->SerialRing().Snapshot(history, starts);
    std::string s;
    for (auto _ : state) {
        if (hex && stamps)
            FormatHexDump(history, n, starts, DEFAULT_TIMESTAMP_GAP_NS, s);
        else if (hex)
            FormatHexDump(history, n, s);
        else if (stamps)
            FormatConsoleText(history, n, starts, DEFAULT_TIMESTAMP_GAP_NS, s);
        else
            FormatConsoleText(history, n, s);
        benchmark::DoNotOptimize(s.data());
    }
}

}  // namespace

BENCHMARK_CAPTURE(BM_Refresh, hex, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SetTextOnly, hex, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Refresh, text, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SetTextOnly, text, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RefreshStamped, hex, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RefreshStamped, text, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SetTextOnlyStamped, hex, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SetTextOnlyStamped, text, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Format, hex_plain, true, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Format, hex_stamped, true, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Format, text_plain, false, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Format, text_stamped, false, true)->Unit(benchmark::kMicrosecond);

// Collects the mean real time of each run, then prints the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            m_ns[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const char* form : {"hex", "text"}) {
            const double render = m_ns[std::string("BM_Refresh/") + form];
            const double set = m_ns[std::string("BM_SetTextOnly/") + form];
            std::printf("%-4s refresh %.1f us, set text only %.1f us, ratio %.3f (aim <= 1.1)\n",
                        form, render, set, set > 0 ? render / set : 0.0);
        }
        for (const char* form : {"hex", "text"}) {
            const double stamped = m_ns[std::string("BM_RefreshStamped/") + form];
            const double set = m_ns[std::string("BM_SetTextOnlyStamped/") + form];
            std::printf(
                "%-4s with timestamps: refresh %.1f us, set text only %.1f us, ratio %.3f "
                "(aim <= 1.1)\n",
                form, stamped, set, set > 0 ? stamped / set : 0.0);
            const double fs = m_ns[std::string("BM_Format/") + form + "_stamped"];
            const double fp = m_ns[std::string("BM_Format/") + form + "_plain"];
            std::printf("%-4s formatting alone: with timestamps %.2f us, without %.2f us\n", form,
                        fs, fp);
        }
    }

private:
    std::map<std::string, double> m_ns;
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CTerminalDlg dlg;
    dlg.Create();
    dlg.show();
    g_dlg = &dlg;
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
