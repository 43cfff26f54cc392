// The command-line runner's argument parser on arbitrary argument lists: the input is split at
// zero bytes into arguments. Invariants: never a crash; a refusal always says what is wrong; an
// accepted list has its values within the ranges the runner relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "runner/Options.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty() || args.empty())
        args.push_back(current);

    const ParsedArguments parsed = ParseArguments(args);
    if (!parsed.ok) {
        Check(!parsed.error.empty());
        return 0;
    }
    const RunnerOptions& o = parsed.options;
    if (o.help)
        return 0;
    Check(o.link.port <= 65535);
    Check(o.repeat >= 1);
    Check(!o.serial.empty() || !o.stations.empty());
    Check(o.data.randomSize < 0 || o.data.randomSize > 0);
    switch (o.test) {
        case RunnerOptions::Test::Passthrough:
            Check(o.data.file.empty() != (o.data.randomSize < 0));  // exactly one data source
            Check(!o.directions.empty());
            break;
        case RunnerOptions::Test::Latency:
            Check(o.data.file.empty() && o.data.randomSize < 0);  // the frames are the data
            Check(!o.directions.empty());
            break;
        case RunnerOptions::Test::Lines:
            Check(o.data.file.empty() && o.data.randomSize < 0);
            break;
        case RunnerOptions::Test::Script:
            // The script is the data; it is read later, by LoadRunnerScript.
            Check(!o.scriptPath.empty());
            Check(o.data.file.empty() && o.data.randomSize < 0 && o.repeat == 1);
            break;
    }
    Check(o.startDelayMs >= 0);
    Check(o.link.acceptTimeoutS >= 0);
    (void)ParseSize(current);
    return 0;
}
