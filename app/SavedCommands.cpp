#include "app/SavedCommands.h"

#include <QSettings>

#include <functional>

namespace {

constexpr LineEnding kEndings[] = {LineEnding::None, LineEnding::CR, LineEnding::LF,
                                   LineEnding::CRLF};
// The comment an export writes above a command whose checksum comes before its ending.
constexpr std::string_view kChecksumNoteHead = "# (checksum ";
constexpr std::string_view kChecksumNoteTail = " over the data before the ending)";

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The ending at the end of `bytes` (the longest that fits), None when there is none.
LineEnding EndingAtEnd(std::string_view bytes) {
    for (LineEnding e : {LineEnding::CRLF, LineEnding::CR, LineEnding::LF})
        if (bytes.ends_with(LineEndingBytes(e)))
            return e;
    return LineEnding::None;
}

// A step's bytes as a command: `note` is the checksum an export noted above it, honoured only
// when the bytes do end in that checksum of what precedes it, and then an ending.
SavedCommand FromStep(const ScriptSend& send, const std::optional<checksum::Choice>& note) {
    SavedCommand c;
    c.link = send.link;
    c.checksum = send.checksum;
    std::string_view data = send.data;
    if (!send.checksum) {
        c.ending = EndingAtEnd(data);
        data.remove_suffix(LineEndingBytes(c.ending).size());
        const size_t width = note ? static_cast<size_t>(note->kind->width) : 0;
        if (note && c.ending != LineEnding::None && data.size() >= width &&
            data.substr(data.size() - width) ==
                checksum::Bytes(*note, data.substr(0, data.size() - width))) {
            c.checksum = note;
            data.remove_suffix(width);
        }
    }
    c.data = DataText(data);
    return c;
}

std::string OneLine(std::string text) {
    for (char& ch : text)
        if (ch == '\n' || ch == '\r')
            ch = ' ';
    return text;
}

}  // namespace

std::string SavedCommand::Payload() const {
    std::string bytes(data.size(), '\0');
    const int n = EncodeSendLine(data, reinterpret_cast<unsigned char*>(bytes.data()),
                                 static_cast<int>(bytes.size()));
    bytes.resize(static_cast<size_t>(n));
    return bytes;
}

std::string SavedCommand::Wire() const {
    std::string bytes = Payload();
    if (checksum)
        bytes = checksum::Append(*checksum, bytes);
    bytes += LineEndingBytes(ending);
    return bytes;
}

const char* LineEndingLabel(LineEnding ending) {
    switch (ending) {
        case LineEnding::CR:
            return "CR";
        case LineEnding::LF:
            return "LF";
        case LineEnding::CRLF:
            return "CR LF";
        case LineEnding::None:
            break;
    }
    return "None";
}

const char* LineEndingKey(LineEnding ending) {
    return ending == LineEnding::CRLF ? "CRLF" : LineEndingLabel(ending);
}

std::optional<LineEnding> LineEndingFromKey(std::string_view key) {
    for (LineEnding e : kEndings)
        if (key == LineEndingKey(e))
            return e;
    return std::nullopt;
}

std::vector<std::string> ChecksumChoiceNames() {
    std::vector<std::string> names;
    for (const checksum::Kind& kind : checksum::Table()) {
        names.push_back(checksum::NameOf({&kind, kind.order}));
        if (kind.width > 1) {
            const auto other = kind.order == checksum::Order::LowFirst ? checksum::Order::HighFirst
                                                                       : checksum::Order::LowFirst;
            names.push_back(checksum::NameOf({&kind, other}));
        }
    }
    return names;
}

std::string DataText(std::string_view bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            text += static_cast<char>(b);
        } else {
            text += "\\x";
            text += kHex[b >> 4];
            text += kHex[b & 0xF];
        }
    }
    return text;
}

std::vector<SavedCommand> LoadCommands(QSettings& settings) {
    std::vector<SavedCommand> commands;
    const int n = settings.beginReadArray(QStringLiteral("Commands"));
    for (int i = 0; i < n; ++i) {
        settings.setArrayIndex(i);
        SavedCommand c;
        c.name = settings.value(QStringLiteral("name")).toString().toStdString();
        c.data = settings.value(QStringLiteral("data")).toString().toStdString();
        const QString link = settings.value(QStringLiteral("link")).toString();
        const std::string sum = settings.value(QStringLiteral("checksum")).toString().toStdString();
        const auto ending =
            LineEndingFromKey(settings.value(QStringLiteral("ending")).toString().toStdString());
        if (link != QLatin1String("serial") && link != QLatin1String("network"))
            continue;
        c.link = link == QLatin1String("serial") ? ScriptLink::Serial : ScriptLink::Network;
        if (!sum.empty() && !(c.checksum = checksum::Find(sum)))
            continue;
        if (!ending)
            continue;
        c.ending = *ending;
        commands.push_back(std::move(c));
    }
    settings.endArray();
    return commands;
}

void SaveCommands(QSettings& settings, const std::vector<SavedCommand>& commands) {
    settings.remove(QStringLiteral("Commands"));
    settings.beginWriteArray(QStringLiteral("Commands"), static_cast<int>(commands.size()));
    for (size_t i = 0; i < commands.size(); ++i) {
        const SavedCommand& c = commands[i];
        settings.setArrayIndex(static_cast<int>(i));
        settings.setValue(QStringLiteral("name"), QString::fromStdString(c.name));
        settings.setValue(QStringLiteral("link"), QString::fromLatin1(ScriptLinkName(c.link)));
        settings.setValue(QStringLiteral("data"), QString::fromStdString(c.data));
        settings.setValue(
            QStringLiteral("checksum"),
            c.checksum ? QString::fromStdString(checksum::NameOf(*c.checksum)) : QString());
        settings.setValue(QStringLiteral("ending"), QString::fromLatin1(LineEndingKey(c.ending)));
    }
    settings.endArray();
}

std::string ExportCommands(const std::vector<SavedCommand>& commands) {
    std::string text;
    for (const SavedCommand& c : commands) {
        if (!text.empty())
            text += '\n';
        text += "# " + OneLine(c.name) + '\n';
        if (c.checksum && c.ending != LineEnding::None) {
            text += std::string(kChecksumNoteHead) + checksum::NameOf(*c.checksum) +
                    std::string(kChecksumNoteTail) + '\n';
            text += FormatSendStep({c.link, c.Wire(), std::nullopt}) + '\n';
        } else {
            text += FormatSendStep({c.link, c.Payload() + std::string(LineEndingBytes(c.ending)),
                                    c.checksum}) +
                    '\n';
        }
    }
    return text;
}

CommandsImport ImportCommands(std::string_view text, const std::string& file) {
    CommandsImport result;
    const ScriptParse parse = ParseScript(text, file);
    if (!parse.ok) {
        result.error = parse.error;
        return result;
    }
    const std::vector<std::string_view> lines = Lines(text);
    // The comment lines right above line `line` (1-based), nearest first.
    auto commentsAbove = [&](int line) {
        std::vector<std::string_view> comments;
        for (int i = line - 2; i >= 0 && i < static_cast<int>(lines.size()); --i) {
            const std::string_view l = Trimmed(lines[static_cast<size_t>(i)]);
            if (!l.starts_with('#'))
                break;
            comments.push_back(l);
        }
        return comments;
    };
    std::function<void(const std::vector<ScriptStep>&)> walk = [&](const auto& steps) {
        for (const ScriptStep& step : steps) {
            if (step.op == ScriptStep::Op::Repeat)
                walk(step.body);
            if (step.op != ScriptStep::Op::Send)
                continue;
            std::vector<std::string_view> comments = commentsAbove(step.line);
            std::optional<checksum::Choice> note;
            if (!comments.empty() && comments.front().starts_with(kChecksumNoteHead) &&
                comments.front().ends_with(kChecksumNoteTail)) {
                std::string_view name = comments.front();
                name.remove_prefix(kChecksumNoteHead.size());
                name.remove_suffix(kChecksumNoteTail.size());
                note = checksum::Find(name);
                comments.erase(comments.begin());
            }
            SavedCommand c = FromStep(step.send, note);
            if (!comments.empty())
                c.name = std::string(Trimmed(comments.front().substr(1)));
            if (c.name.empty())
                c.name = "Command " + std::to_string(result.commands.size() + 1);
            result.commands.push_back(std::move(c));
        }
    };
    walk(parse.script.steps);
    if (result.commands.empty()) {
        result.error = file + ": no send steps to import";
        return result;
    }
    result.ok = true;
    return result;
}
