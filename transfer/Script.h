// Test scripts: a text file of steps that send on either link, expect answers on either link
// within a time, wait, repeat blocks on a schedule, and answer what arrives (a responder that
// stands in for the device). This is the script as values: its parsing, its durations and the
// writing of data back into a script line. Running it is ScriptRunner's.
//
//   # a comment; blank lines are ignored
//   send serial|network "DATA" [CHECKSUM]
//   expect serial|network "DATA"|/REGEX/ TIMEOUT
//   wait DURATION
//   repeat N [every DURATION]
//     ...
//   end
//   on serial|network "DATA"|/REGEX/ send serial|network "DATA" [CHECKSUM] [after DURATION]
//
// DATA takes \xHH, \r, \n, \t, \\ and \"; a REGEX is ECMAScript, matched over the received bytes
// read as Latin-1 (each byte one character, so [\x00-\xFF] is any byte), with \/ for a slash.
// A regex must match at least one byte, and its $ never matches at the end of what has arrived
// so far (more may follow); back-references are not supported. "#" starts a comment anywhere
// outside DATA and a REGEX. Durations: "250us", "500ms", "2s", "1m" (a whole number and its
// unit), at most 1 h; a time-out or a period is more than 0.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/Checksum.h"

enum class ScriptLink { Serial, Network };
// "serial", "network"
const char* ScriptLinkName(ScriptLink link);

// What an expectation or a responder waits for: the exact bytes, or a regex. The regex works on
// wide characters so that each received byte is one character from 0 to 255 (a narrow regex
// would see the bytes from 0x80 up as negative and reject ranges such as [\x20-\xFF]).
struct ScriptMatch {
    std::string bytes;                         // the literal's bytes (empty for a regex)
    std::string pattern;                       // the regex between the slashes, \/ read as /
    std::shared_ptr<const std::wregex> regex;  // compiled once (null for a literal)
    // As the script wrote it: "\"OK\\r\\n\"" or "/^\\x01\\x03/".
    std::string written;

    // One past the last byte of the first match in `bytes` that starts at or after `from`, or
    // nullopt. The bytes before `from` are the context of ^ and \b (they were there before).
    std::optional<size_t> FindEnd(std::string_view bytes, size_t from = 0) const;
};

// Bytes to send: the data and the checksum appended to it (none when absent).
struct ScriptSend {
    ScriptLink link = ScriptLink::Serial;
    std::string data;
    std::optional<checksum::Choice> checksum;
    // The bytes that go on the wire: data, then its checksum.
    std::string Wire() const;
};

struct ScriptStep {
    enum class Op { Send, Expect, Wait, Repeat };
    Op op = Op::Send;
    int line = 0;                          // 1-based line in the file
    ScriptSend send;                       // Send
    ScriptLink link = ScriptLink::Serial;  // Expect: the link it watches
    ScriptMatch match;                     // Expect
    int64_t timeoutNs = 0;                 // Expect
    int64_t durationNs = 0;                // Wait
    int count = 0;                         // Repeat: how many times (>= 1)
    int64_t everyNs = 0;                   // Repeat: start period (0: one after another)
    std::vector<ScriptStep> body;          // Repeat
};

// Answers `match` on link `on` with `reply`, `afterNs` after the bytes that met it arrived.
struct ScriptResponder {
    int line = 0;
    ScriptLink on = ScriptLink::Serial;
    ScriptMatch match;
    ScriptSend reply;
    int64_t afterNs = 0;
};

struct Script {
    std::string file;  // as given (names it in messages)
    std::vector<ScriptStep> steps;
    std::vector<ScriptResponder> responders;
};

struct ScriptParse {
    bool ok = false;
    Script script;
    int line = 0;       // the offending line (0: the file as a whole)
    std::string error;  // "FILE:LINE: what is wrong" (one line), when !ok
};

// Parses a script's text; `file` names it in the error. Every line is checked before anything
// could be sent: an unknown word, a bad quote or escape, a regex that does not compile, an
// unknown checksum, a missing or bad duration, a repeat without end (or an end without repeat)
// are errors.
ScriptParse ParseScript(std::string_view text, const std::string& file);
// Reads and parses the file at `path` ("FILE: cannot read: REASON" when it cannot be read).
ScriptParse LoadScript(const std::string& path);

// "500ms" = 500 000 000; -1 when the text is not a duration (or does not fit in 64 bits of ns).
int64_t ParseDuration(std::string_view text);
// The shortest exact form: "500ms", "2s", "250us", "1500ms" ("0ms" for 0; below a microsecond
// rounded to the nearest one).
std::string FormatDuration(int64_t ns);
// `bytes` as a script's DATA, quotes included: printable ASCII as it is, \r \n \t \\ \" by name,
// every other byte as \xHH. ParseScript reads it back to the same bytes.
std::string QuoteScriptData(std::string_view bytes);
// A send step's line: "send serial \"AT\\r\" crc16-modbus".
std::string FormatSendStep(const ScriptSend& send);
