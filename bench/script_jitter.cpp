// The script runner's schedule against a plain C loop: `repeat N every P` sending one byte each
// pass to links that take it at once, beside a loop that sleeps to the same absolute deadlines
// with clock_nanosleep. Prints both 99th-percentile jitters (|period - P|) and whether the
// runner's stays within 1.2 times the loop's plus 50 us.
//   script_jitter [PASSES [PERIOD_US]]     default 10000 passes every 1000 us
#include <QCoreApplication>
#include <QTimer>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "transfer/ScriptRunner.h"

namespace {

class NullLinks : public IScriptLinks {
public:
    platform::Result Send(ScriptLink, const std::string&, platform::Stamp* sentAt) override {
        *sentAt = platform::Stamp::Now();
        return platform::Result::Ok();
    }
    bool IsUp(ScriptLink) const override { return true; }
};

// p50, p90 and p99 of the jitter, in microseconds.
std::string Spread(const RepeatFigures& r) {
    std::vector<int64_t> jitter;
    for (size_t i = 1; i < r.startNs.size(); ++i)
        jitter.push_back(std::llabs(r.startNs[i] - r.startNs[i - 1] - r.everyNs));
    char text[96];
    std::snprintf(text, sizeof text, "p50 %.1f us, p90 %.1f us, p99 %.1f us",
                  PercentileNs(jitter, 50) / 1000.0, PercentileNs(jitter, 90) / 1000.0,
                  PercentileNs(jitter, 99) / 1000.0);
    return text;
}

RepeatFigures CLoop(int passes, int64_t periodNs) {
    RepeatFigures r;
    r.everyNs = periodNs;
    r.runStarts = {0};
    const int64_t first = platform::Stamp::Now().steadyNs;
    for (int k = 0; k < passes; ++k) {
        const int64_t due = first + k * periodNs;
        const timespec ts{static_cast<time_t>(due / 1000000000),
                          static_cast<long>(due % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
        }
        r.startNs.push_back(platform::Stamp::Now().steadyNs);
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int passes = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int64_t periodUs = argc > 2 ? std::atoll(argv[2]) : 1000;
    const std::string text = "repeat " + std::to_string(passes) + " every " +
                             std::to_string(periodUs) + "us\n  send serial \"x\"\nend\n";
    const ScriptParse parse = ParseScript(text, "jitter.vsk");
    if (!parse.ok) {
        std::fprintf(stderr, "%s\n", parse.error.c_str());
        return 2;
    }
    const RepeatFigures loop = CLoop(passes, periodUs * 1000);
    const int64_t cLoop = loop.P99JitterNs();

    NullLinks links;
    ScriptRunner runner(links);
    ScriptOutcome outcome;
    QObject::connect(&runner, &ScriptRunner::finished, [&](const ScriptOutcome& o) {
        outcome = o;
        app.quit();
    });
    QTimer::singleShot(0, [&] { runner.Start(parse.script); });
    app.exec();
    if (outcome.state != ScriptOutcome::State::Passed || outcome.repeats.empty()) {
        std::fprintf(stderr, "the script did not pass\n");
        return 2;
    }
    const RepeatFigures& r = outcome.repeats[0];
    const int64_t script = r.P99JitterNs();
    const int64_t bound = cLoop * 6 / 5 + 50000;
    std::printf("passes %d every %lld us\n", passes, static_cast<long long>(periodUs));
    std::printf("C loop  jitter %s\n", Spread(loop).c_str());
    std::printf("script  jitter %s; mean period %.1f us\n", Spread(r).c_str(),
                r.MeanPeriodNs() / 1000.0);
    std::printf("bound      %8.1f us: %s\n", bound / 1000.0, script <= bound ? "met" : "NOT MET");
    return script <= bound ? 0 : 1;
}
