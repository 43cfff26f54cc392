// The Commands window's list as values: one named command (its link, its data as typed, its
// checksum and line ending), the bytes it puts on the wire, its place in the settings and its
// form in a script file.
//
// On the wire a command is its data (decoded as the send lines decode it), then the checksum over
// that data, then the line ending: the ending is outside the checksum, as devices that frame
// their messages with a checksum and a line end compute it over the payload only.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/EncodeSendLine.h"
#include "transfer/Checksum.h"
#include "transfer/Script.h"

class QSettings;

struct SavedCommand {
    std::string name;
    ScriptLink link = ScriptLink::Serial;
    std::string data;  // as typed (UTF-8), with the send lines' \xHH escapes
    std::optional<checksum::Choice> checksum;
    LineEnding ending = LineEnding::None;
    bool operator==(const SavedCommand&) const = default;

    // The data's bytes.
    std::string Payload() const;
    // The payload, its checksum, then the line ending.
    std::string Wire() const;
};

// "None", "CR", "LF", "CR LF": as the window lists them.
const char* LineEndingLabel(LineEnding ending);
// The settings' form: "None", "CR", "LF", "CRLF"; back from it (nullopt for anything else).
const char* LineEndingKey(LineEnding ending);
std::optional<LineEnding> LineEndingFromKey(std::string_view key);

// Every checksum the window offers, by name as checksum::Find takes it: each kind in its own
// byte order and, for a kind wider than a byte, in the other order too.
std::vector<std::string> ChecksumChoiceNames();

// Bytes as data text that decodes back to them: printable ASCII as it is, every other byte (and
// the backslash, which could start an escape) as \xHH.
std::string DataText(std::string_view bytes);

// The list in the settings, under the array "Commands" (keys name, link, data, checksum, ending).
// Entries whose link, checksum or ending the program does not know are skipped.
std::vector<SavedCommand> LoadCommands(QSettings& settings);
void SaveCommands(QSettings& settings, const std::vector<SavedCommand>& commands);

// The list as a script: for each command a "# NAME" line, then its send step with the ending in
// its data. A command with both a checksum and an ending is written with its wire bytes (the
// script's checksum would cover the ending too), and a comment line naming the checksum lets an
// import give the command back as it was.
std::string ExportCommands(const std::vector<SavedCommand>& commands);

struct CommandsImport {
    bool ok = false;
    std::string error;  // "FILE:LINE: what is wrong", or "FILE: ..." when !ok
    std::vector<SavedCommand> commands;
};
// Reads every send step of a script (those in repeat blocks too), named by the comment line
// right above it ("Command N" when there is none). A line ending at the end of a step's data
// without a checksum becomes the command's ending.
CommandsImport ImportCommands(std::string_view text, const std::string& file);
