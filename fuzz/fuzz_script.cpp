// ParseScript on any text. A script that parses gives every send back through FormatSendStep
// and ParseScript again with the same bytes on the wire; one that does not names the file and a
// line in its message.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/Script.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

void CheckRoundTrip(const ScriptSend& send) {
    const ScriptParse again = ParseScript(FormatSendStep(send), "again.vsk");
    Check(again.ok);
    Check(again.script.steps.size() == 1);
    Check(again.script.steps[0].op == ScriptStep::Op::Send);
    Check(again.script.steps[0].send.link == send.link);
    Check(again.script.steps[0].send.Wire() == send.Wire());
}

void CheckSteps(const std::vector<ScriptStep>& steps, int depth) {
    Check(depth < 10000);
    for (const ScriptStep& step : steps) {
        Check(step.line >= 1);
        switch (step.op) {
            case ScriptStep::Op::Send:
                CheckRoundTrip(step.send);
                break;
            case ScriptStep::Op::Expect:
                Check(step.timeoutNs > 0 && step.timeoutNs <= 3600000000000);
                Check(step.match.regex || !step.match.bytes.empty());
                break;
            case ScriptStep::Op::Wait:
                Check(step.durationNs >= 0 && step.durationNs <= 3600000000000);
                Check(ParseDuration(FormatDuration(step.durationNs)) == step.durationNs);
                break;
            case ScriptStep::Op::Repeat:
                Check(step.count >= 1 && step.count <= 10000000);
                CheckSteps(step.body, depth + 1);
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ScriptParse parse = ParseScript(text, "fuzz.vsk");
    if (!parse.ok) {
        Check(parse.error.rfind("fuzz.vsk:", 0) == 0);
        Check(parse.error.find('\n') == std::string::npos);
        Check(parse.line >= 1);
        return 0;
    }
    CheckSteps(parse.script.steps, 0);
    for (const ScriptResponder& responder : parse.script.responders) {
        CheckRoundTrip(responder.reply);
        // A literal is found where it stands in its own bytes.
        if (!responder.match.regex)
            Check(responder.match.FindEnd(responder.match.bytes) == responder.match.bytes.size());
    }
    return 0;
}
