#include "transfer/ScriptRunner.h"

// Placeholder bodies: the runner comes with the script work.
struct ScriptRunner::Impl {};
platform::Result EngineScriptLinks::Send(ScriptLink, const std::string&, platform::Stamp*) { return platform::Result::Fail("not built"); }
bool EngineScriptLinks::IsUp(ScriptLink) const { return false; }
int64_t RepeatFigures::MeanPeriodNs() const { return 0; }
int64_t RepeatFigures::P99JitterNs() const { return 0; }
int64_t PercentileNs(std::vector<int64_t>, double) { return 0; }
ScriptRunner::ScriptRunner(IScriptLinks&, QObject* parent) : QObject(parent), m(std::make_unique<Impl>()) {}
ScriptRunner::~ScriptRunner() = default;
void ScriptRunner::Start(const Script&) {}
void ScriptRunner::Stop() {}
bool ScriptRunner::Running() const { return false; }
void ScriptRunner::Traffic(platform::TrafficKind, const platform::Stamp&, const unsigned char*, size_t) {}
