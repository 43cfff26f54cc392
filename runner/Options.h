// The command line of vaskel-passthrough: what it accepts and the settings it makes of it.
#pragma once

#include <string>
#include <vector>

#include "runner/Config.h"

struct ParsedArguments {
    bool ok = false;
    RunnerOptions options;
    std::string error;  // when !ok: what is wrong, one line
};

// Parses the arguments (without the program name). "--name value" and "--name=value" both work.
// Only the arguments are checked here; CheckOutputPaths looks at the files they name.
ParsedArguments ParseArguments(const std::vector<std::string>& args);

// One option of the command line, as the parser, --help and the manual page know it.
struct OptionInfo {
    std::string name;   // "--baud"
    std::string value;  // "RATE"; empty for a switch; "[=FILE]" for an optional value
    std::string group;  // the --help heading it is listed under
    std::string help;   // one or more lines of --help text
};
// Every option, in the order --help lists them.
std::vector<OptionInfo> OptionTable();

// The files the options name for writing (--junit, --json=FILE, --jsonl, --report, --log and the
// per-station logs made from it), checked before anything runs: each must be a regular file or
// a new one, none may be the file to send or another output (existing files compared by device
// and inode, new ones by their absolute path). The error, one line, or empty.
std::string CheckOutputPaths(const RunnerOptions& options, int settingCount);

// With --script: reads and parses the script into options.script, before anything is opened or
// sent. The parser's error, one line ("FILE:LINE: what is wrong", or "FILE: cannot read:
// REASON"), or empty.
std::string LoadRunnerScript(RunnerOptions& options);

// The --help text.
std::string UsageText();
