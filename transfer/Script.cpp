#include "transfer/Script.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

constexpr int64_t kUs = 1000;
constexpr int64_t kMs = 1000 * kUs;
constexpr int64_t kS = 1000 * kMs;
constexpr int64_t kMin = 60 * kS;
constexpr int64_t kMaxDurationNs = 60 * kMin;  // one hour, the longest duration a script takes
constexpr int kMaxCount = 10000000;
// Deeper nesting serves no test and would only deepen the recursion of what walks a script (and
// of the regex compiler, which recurses once per group).
constexpr int kMaxNesting = 100;

// A fault in the line being read: its message without the "FILE:LINE: " prefix.
struct LineFault {
    std::string what;
};

[[noreturn]] void Fault(std::string what) {
    throw LineFault{std::move(what)};
}

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// One word of a line: a bare word, DATA in double quotes (decoded) or a /REGEX/.
struct Token {
    enum class Kind { Word, Data, Regex };
    Kind kind = Kind::Word;
    std::string text;     // the word; the data's bytes; the regex with \/ read as /
    std::string written;  // as the line has it, quotes or slashes included

    // The token as a message names it.
    std::string Named() const { return kind == Kind::Word ? Quoted(text) : written; }
    bool Is(const char* word) const { return kind == Kind::Word && text == word; }
};

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads DATA from the opening quote at line[i]; i ends past the closing quote.
Token ReadData(std::string_view line, size_t& i) {
    const size_t start = i++;
    Token t;
    t.kind = Token::Kind::Data;
    for (;;) {
        if (i >= line.size())
            Fault("the data has no closing \" (write \\\" for a quote inside it)");
        const char c = line[i];
        if (c == '"')
            break;
        if (c != '\\') {
            t.text += c;
            ++i;
            continue;
        }
        if (i + 1 >= line.size())
            Fault("the data has no closing \" (write \\\" for a quote inside it)");
        const char e = line[i + 1];
        i += 2;
        switch (e) {
            case 'r':
                t.text += '\r';
                break;
            case 'n':
                t.text += '\n';
                break;
            case 't':
                t.text += '\t';
                break;
            case '\\':
                t.text += '\\';
                break;
            case '"':
                t.text += '"';
                break;
            case 'x': {
                const int high = i < line.size() ? HexDigit(line[i]) : -1;
                const int low = i + 1 < line.size() ? HexDigit(line[i + 1]) : -1;
                if (high < 0 || low < 0)
                    Fault("\\x in the data must be followed by two hex digits, such as \\x0d");
                t.text += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                Fault("unknown escape \\" + std::string(1, e) +
                      " in the data (known: \\xHH, \\r, \\n, \\t, \\\\, \\\")");
        }
    }
    ++i;
    t.written = std::string(line.substr(start, i - start));
    return t;
}

// Reads a /REGEX/ from the opening slash at line[i]; i ends past the closing slash. Every other
// escape stays for the regex to read.
Token ReadRegex(std::string_view line, size_t& i) {
    const size_t start = i++;
    Token t;
    t.kind = Token::Kind::Regex;
    for (;;) {
        if (i >= line.size())
            Fault("the regex has no closing / (write \\/ for a slash inside it)");
        const char c = line[i];
        if (c == '/')
            break;
        if (c == '\\' && i + 1 < line.size()) {
            if (line[i + 1] != '/')
                t.text += '\\';
            t.text += line[i + 1];
            i += 2;
            continue;
        }
        t.text += c;
        ++i;
    }
    ++i;
    t.written = std::string(line.substr(start, i - start));
    if (t.text.empty())
        Fault("the regex // is empty");
    return t;
}

// The words of one line, up to a comment.
std::vector<Token> Tokenize(std::string_view line) {
    std::vector<Token> tokens;
    size_t i = 0;
    for (;;) {
        while (i < line.size() && IsSpace(line[i]))
            ++i;
        if (i >= line.size() || line[i] == '#')
            break;
        if (line[i] == '"' || line[i] == '/') {
            tokens.push_back(line[i] == '"' ? ReadData(line, i) : ReadRegex(line, i));
            if (i < line.size() && !IsSpace(line[i]) && line[i] != '#')
                Fault("expected a space after " + tokens.back().written + ", not " +
                      Quoted(line.substr(i, 1)));
            continue;
        }
        const size_t start = i;
        while (i < line.size() && !IsSpace(line[i]) && line[i] != '#')
            ++i;
        Token t;
        t.text = std::string(line.substr(start, i - start));
        t.written = t.text;
        tokens.push_back(std::move(t));
    }
    return tokens;
}

std::wstring Widen(std::string_view bytes) {
    std::wstring wide;
    wide.reserve(bytes.size());
    for (const char c : bytes)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// What the regex compiler is not given: groups nested deeper than kMaxNesting, a repeat count
// of more than six digits and a back-reference (\1): libstdc++ reads those numbers into a long
// without a check, so an absurd one would overflow inside it.
void CheckPattern(std::string_view pattern, const std::string& written) {
    int depth = 0;
    bool inClass = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\\') {
            if (i + 1 < pattern.size() && IsDigit(pattern[i + 1]) &&
                !(pattern[i + 1] == '0' && (i + 2 >= pattern.size() || !IsDigit(pattern[i + 2]))))
                Fault("the regex " + written + " uses a back-reference, which is not supported");
            ++i;
        } else if (inClass) {
            inClass = c != ']';
        } else if (c == '[') {
            inClass = true;
        } else if (c == '(' && ++depth > kMaxNesting) {
            Fault("the regex " + written + " nests groups deeper than " +
                  std::to_string(kMaxNesting));
        } else if (c == ')') {
            --depth;
        } else if (c == '{') {
            size_t run = 0;
            for (size_t j = i + 1; j < pattern.size() && (IsDigit(pattern[j]) || pattern[j] == ',');
                 ++j) {
                run = pattern[j] == ',' ? 0 : run + 1;
                if (run > 6)
                    Fault("the regex " + written + " has a repeat count beyond 999999");
            }
        }
    }
}

std::regex_constants::syntax_option_type RegexOptions() {
    auto options = std::regex_constants::ECMAScript;
#if defined(__GLIBCXX__)
    // libstdc++ matches by backtracking by default, recursing once per character a repetition
    // takes: ".*" over a long buffer overflows the stack. Its breadth-first matcher runs in
    // bounded stack (and polynomial time) but has no back-references.
    options |= std::regex_constants::__polynomial;
#endif
    return options;
}

// The words of one line in order, with what a step needs of them.
class LineReader {
public:
    explicit LineReader(std::vector<Token> tokens) : m_tokens(std::move(tokens)) {}

    bool AtEnd() const { return m_next >= m_tokens.size(); }
    const Token* Peek() const { return AtEnd() ? nullptr : &m_tokens[m_next]; }
    const Token& Take() { return m_tokens[m_next++]; }
    // The word before the next one, for "after ..." in messages.
    std::string Previous() const { return m_next == 0 ? "" : m_tokens[m_next - 1].Named(); }

    void ExpectEnd() const {
        if (!AtEnd())
            Fault("unexpected " + m_tokens[m_next].Named() + " at the end of the line");
    }

    ScriptLink Link() {
        const std::string after = Previous();
        if (AtEnd())
            Fault("expected serial or network after " + after);
        const Token& t = Take();
        if (t.Is("serial"))
            return ScriptLink::Serial;
        if (t.Is("network"))
            return ScriptLink::Network;
        Fault("expected serial or network after " + after + ", not " + t.Named());
    }

    std::string SendData() {
        const std::string after = Previous();
        if (AtEnd())
            Fault("expected the data to send in double quotes after " + after +
                  ", such as \"AT\\r\"");
        const Token& t = Take();
        if (t.kind != Token::Kind::Data)
            Fault("expected the data to send in double quotes, such as \"AT\\r\", not " +
                  t.Named());
        return t.text;
    }

    ScriptMatch Match() {
        const std::string after = Previous();
        if (AtEnd())
            Fault("expected the data in double quotes or a /regex/ after " + after);
        const Token& t = Take();
        ScriptMatch match;
        match.written = t.written;
        if (t.kind == Token::Kind::Data) {
            if (t.text.empty())
                Fault("the data \"\" is empty: give at least one byte to wait for");
            match.bytes = t.text;
            return match;
        }
        if (t.kind != Token::Kind::Regex)
            Fault("expected the data in double quotes or a /regex/, not " + t.Named());
        match.pattern = t.text;
        CheckPattern(t.text, t.written);
        try {
            match.regex = std::make_shared<const std::wregex>(Widen(t.text), RegexOptions());
        } catch (const std::regex_error& e) {
            // In breadth-first mode libstdc++ refuses a back-reference as too complex.
            if (e.code() == std::regex_constants::error_backref ||
                e.code() == std::regex_constants::error_complexity)
                Fault("the regex " + t.written + " uses a back-reference, which is not supported");
            Fault("the regex " + t.written + " does not compile: " + e.what());
        }
        return match;
    }

    // An optional checksum name; stops at `unless` (a keyword that may follow instead).
    std::optional<checksum::Choice> Checksum(const char* unless = nullptr) {
        const Token* t = Peek();
        if (!t || t->kind != Token::Kind::Word || (unless && t->Is(unless)))
            return std::nullopt;
        Take();
        if (auto choice = checksum::Find(t->text))
            return choice;
        std::string base = t->text;
        for (char& c : base)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (base.size() > 3 && (base.ends_with("-be") || base.ends_with("-le")) &&
            checksum::Find(base.substr(0, base.size() - 3)))
            Fault("the checksum " + t->Named() +
                  " is one byte and has no byte order: leave out -be or -le");
        Fault("unknown checksum " + t->Named() + " (known: " + checksum::KnownNames() + ")");
    }

    // A duration for `what` ("time-out", "period", "wait", "delay"); `example` names the
    // missing one.
    int64_t Duration(const char* what, bool positive, const std::string& missing) {
        if (AtEnd())
            Fault(missing);
        const Token& t = Take();
        const int64_t ns = t.kind == Token::Kind::Word ? ParseDuration(t.text) : -1;
        if (ns < 0)
            Fault(t.Named() + " is not a " + what +
                  ": write a whole number and a unit (us, ms, s or m), such as 500ms or 2s");
        if (positive && ns == 0)
            Fault(std::string("the ") + what + " must be more than 0");
        if (ns > kMaxDurationNs)
            Fault(std::string("the ") + what + " must be at most 1 h (60m), not " + t.text);
        return ns;
    }

    int Count() {
        if (AtEnd())
            Fault("expected a count after \"repeat\", such as repeat 10");
        const Token& t = Take();
        const std::string& s = t.text;
        const bool digits = t.kind == Token::Kind::Word && !s.empty() &&
                            s.find_first_not_of("0123456789") == std::string::npos;
        if (!digits)
            Fault(t.Named() + " is not a count: write a whole number from 1 to 10000000");
        const size_t significant = s.find_first_not_of('0');
        if (significant == std::string::npos || s.size() - significant > 8 ||
            std::stol(s.substr(significant)) > kMaxCount)
            Fault("the count must be from 1 to 10000000, not " + s);
        return static_cast<int>(std::stol(s.substr(significant)));
    }

private:
    std::vector<Token> m_tokens;
    size_t m_next = 0;
};

ScriptSend ReadSend(LineReader& reader, const char* unless) {
    ScriptSend send;
    send.link = reader.Link();
    send.data = reader.SendData();
    send.checksum = reader.Checksum(unless);
    return send;
}

constexpr const char* kSteps = "send, expect, wait, repeat, end, on";

}  // namespace

const char* ScriptLinkName(ScriptLink link) {
    return link == ScriptLink::Serial ? "serial" : "network";
}

std::string ScriptSend::Wire() const {
    return checksum ? checksum::Append(*checksum, data) : data;
}

std::optional<size_t> ScriptMatch::FindEnd(std::string_view haystack, size_t from) const {
    if (from > haystack.size())
        return std::nullopt;
    if (!regex) {
        if (bytes.empty())
            return std::nullopt;
        const size_t at = haystack.find(bytes, from);
        if (at == std::string_view::npos)
            return std::nullopt;
        return at + bytes.size();
    }
    // One byte before `from`, when there is one, gives ^ and \b their context.
    const size_t context = from > 0 ? 1 : 0;
    const std::wstring wide = Widen(haystack.substr(from - context));
    auto flags = std::regex_constants::match_not_eol | std::regex_constants::match_not_null;
    if (context)
        flags |= std::regex_constants::match_prev_avail;
    std::wsmatch m;
    try {
        if (!std::regex_search(wide.begin() + static_cast<std::ptrdiff_t>(context), wide.end(), m,
                               *regex, flags))
            return std::nullopt;
    } catch (const std::regex_error&) {
        return std::nullopt;  // the matcher gave up (too complex): not met
    }
    return from + static_cast<size_t>(m.position(0) + m.length(0));
}

int64_t ParseDuration(std::string_view text) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0)
        return -1;
    const std::string_view unit = text.substr(digits);
    int64_t scale = 0;
    if (unit == "us")
        scale = kUs;
    else if (unit == "ms")
        scale = kMs;
    else if (unit == "s")
        scale = kS;
    else if (unit == "m")
        scale = kMin;
    else
        return -1;
    int64_t value = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int d = text[i] - '0';
        if (value > (INT64_MAX - d) / 10)
            return -1;
        value = value * 10 + d;
    }
    if (value > INT64_MAX / scale)
        return -1;
    return value * scale;
}

std::string FormatDuration(int64_t ns) {
    if (ns < 0)
        return "-" + FormatDuration(ns == INT64_MIN ? INT64_MAX : -ns);
    int64_t us = ns / kUs + (ns % kUs >= kUs / 2 ? 1 : 0);
    if (us == 0)
        return ns == 0 ? "0ms" : "1us";
    if (us % (kMin / kUs) == 0)
        return std::to_string(us / (kMin / kUs)) + "m";
    if (us % (kS / kUs) == 0)
        return std::to_string(us / (kS / kUs)) + "s";
    if (us % (kMs / kUs) == 0)
        return std::to_string(us / (kMs / kUs)) + "ms";
    return std::to_string(us) + "us";
}

std::string QuoteScriptData(std::string_view bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            default:
                if (b >= 0x20 && b <= 0x7E) {
                    out += c;
                } else {
                    out += "\\x";
                    out += hex[b >> 4];
                    out += hex[b & 0x0F];
                }
        }
    }
    return out + "\"";
}

std::string FormatSendStep(const ScriptSend& send) {
    std::string line =
        std::string("send ") + ScriptLinkName(send.link) + " " + QuoteScriptData(send.data);
    if (send.checksum)
        line += " " + checksum::NameOf(*send.checksum);
    return line;
}

ScriptParse ParseScript(std::string_view text, const std::string& file) {
    ScriptParse parse;
    parse.script.file = file;
    // The repeats not closed yet, innermost last.
    std::vector<ScriptStep> open;
    int lineNo = 0;
    try {
        size_t at = 0;
        while (at < text.size()) {
            size_t eol = text.find('\n', at);
            if (eol == std::string_view::npos)
                eol = text.size();
            const std::string_view line = text.substr(at, eol - at);
            at = eol + 1;
            ++lineNo;

            LineReader reader(Tokenize(line));
            if (reader.AtEnd())
                continue;
            std::vector<ScriptStep>& into = open.empty() ? parse.script.steps : open.back().body;
            const Token& word = reader.Take();
            ScriptStep step;
            step.line = lineNo;
            if (word.Is("send")) {
                step.op = ScriptStep::Op::Send;
                step.send = ReadSend(reader, nullptr);
            } else if (word.Is("expect")) {
                step.op = ScriptStep::Op::Expect;
                step.link = reader.Link();
                step.match = reader.Match();
                step.timeoutNs = reader.Duration(
                    "time-out", true,
                    "expected a time-out such as 500ms or 2s after the expected data");
            } else if (word.Is("wait")) {
                step.op = ScriptStep::Op::Wait;
                step.durationNs = reader.Duration(
                    "duration", false, "expected a duration such as 500ms or 2s after \"wait\"");
            } else if (word.Is("repeat")) {
                step.op = ScriptStep::Op::Repeat;
                step.count = reader.Count();
                if (const Token* t = reader.Peek()) {
                    if (!t->Is("every"))
                        Fault("expected \"every\" or the end of the line after the count, not " +
                              t->Named());
                    reader.Take();
                    step.everyNs = reader.Duration(
                        "period", true, "expected a period such as 1ms or 2s after \"every\"");
                }
                reader.ExpectEnd();
                if (open.size() >= static_cast<size_t>(kMaxNesting))
                    Fault("repeats nest deeper than " + std::to_string(kMaxNesting));
                open.push_back(std::move(step));
                continue;
            } else if (word.Is("end")) {
                reader.ExpectEnd();
                if (open.empty())
                    Fault("\"end\" without a \"repeat\" to close");
                ScriptStep done = std::move(open.back());
                open.pop_back();
                (open.empty() ? parse.script.steps : open.back().body).push_back(std::move(done));
                continue;
            } else if (word.Is("on")) {
                if (!open.empty())
                    Fault("\"on\" belongs at the top level, not inside the \"repeat\" at line " +
                          std::to_string(open.back().line));
                ScriptResponder responder;
                responder.line = lineNo;
                responder.on = reader.Link();
                responder.match = reader.Match();
                const Token* send = reader.Peek();
                if (!send || !send->Is("send"))
                    Fault("expected \"send\" and the reply after " + responder.match.written +
                          (send ? ", not " + send->Named() : std::string()));
                reader.Take();
                responder.reply = ReadSend(reader, "after");
                if (const Token* t = reader.Peek(); t && t->Is("after")) {
                    reader.Take();
                    responder.afterNs = reader.Duration(
                        "delay", false, "expected a delay such as 10ms after \"after\"");
                }
                reader.ExpectEnd();
                parse.script.responders.push_back(std::move(responder));
                continue;
            } else {
                std::string lower = word.text;
                for (char& c : lower)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (word.kind == Token::Kind::Word && lower != word.text &&
                    std::string(" send expect wait repeat end on ").find(" " + lower + " ") !=
                        std::string::npos)
                    Fault("unknown step " + word.Named() + ": steps are written in lower case (" +
                          Quoted(lower) + ")");
                Fault("unknown step " + word.Named() + " (known: " + kSteps + ")");
            }
            reader.ExpectEnd();
            into.push_back(std::move(step));
        }
        if (!open.empty())
            Fault("\"repeat\" at line " + std::to_string(open.back().line) + " has no \"end\"");
    } catch (const LineFault& fault) {
        parse.ok = false;
        parse.line = lineNo;
        parse.error = file + ":" + std::to_string(lineNo) + ": " + fault.what;
        parse.script.steps.clear();
        parse.script.responders.clear();
        return parse;
    }
    parse.ok = true;
    return parse;
}

ScriptParse LoadScript(const std::string& path) {
    ScriptParse failed;
    failed.script.file = path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        failed.error = path + ": cannot read: " + std::strerror(errno);
        return failed;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            failed.error = path + ": cannot read: " + std::strerror(errno);
            ::close(fd);
            return failed;
        }
        break;
    }
    ::close(fd);
    return ParseScript(text, path);
}
