#include "display/SentLines.h"

#include <algorithm>

#include "display/ConsoleFormat.h"

namespace {

constexpr char DIGITS[] = "0123456789ABCDEF";

bool EndsLine(const std::string& out) {
    return out.empty() || out.back() == '\n' || out.back() == '\r';
}

}  // namespace

void AppendSentText(std::string_view bytes, std::string& out) {
    if (!EndsLine(out))
        out += "\r\n";
    out += "[sent] ";
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += DIGITS[c >> 4];
            out += DIGITS[c & 0xF];
        } else {
            out += ch;
        }
    }
    out += "\r\n";
}

void AppendSentHex(std::string_view bytes, std::string& out) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (i % 16 == 0) {
            if (!out.empty())
                out += "\r\n";
            out += "sent ";
        } else if (i % 4 == 0) {
            out += ' ';
        }
        out += DIGITS[c >> 4];
        out += DIGITS[c & 0xF];
    }
}

void FormatWithSent(const unsigned char* bytes, int n,
                    const std::vector<CRingBuffer::ChunkStart>* starts, int64_t gapNs,
                    const std::vector<SentLine>& sent, bool hex, std::string& out) {
    // The timestamps are chosen over the whole history, then each part between two sent lines
    // is formed with its own (every one given is marked): a part never marks a start that the
    // whole history would not.
    std::vector<CRingBuffer::ChunkStart> marked;
    std::vector<CRingBuffer::ChunkStart> partMarks;
    std::string part;
    if (starts)
        for (size_t k = 0; k < starts->size(); ++k)
            if (ChunkStartMarked(*starts, k, gapNs))
                marked.push_back((*starts)[k]);
    out.clear();
    out.reserve(static_cast<size_t>(n) * (hex ? 3 : 1) + sent.size() * 64);
    size_t nextMark = 0;
    int from = 0;
    auto appendPart = [&](int to) {
        to = std::clamp(to, from, n);
        if (to == from)
            return;
        partMarks.clear();
        for (; nextMark < marked.size() && marked[nextMark].index < to; ++nextMark)
            if (marked[nextMark].index >= from)
                partMarks.push_back({marked[nextMark].index - from, marked[nextMark].at});
        if (hex) {
            AppendHexDumpPart(bytes + from, to - from, from, partMarks, out);
        } else {
            FormatConsoleText(bytes + from, to - from, partMarks, 0, part);
            out += part;
        }
        from = to;
    };
    for (const SentLine& line : sent) {
        appendPart(line.index);
        if (line.note) {
            if (!EndsLine(out))
                out += "\r\n";
            out += line.bytes;
            if (!hex)
                out += "\r\n";
        } else if (hex)
            AppendSentHex(line.bytes, out);
        else
            AppendSentText(line.bytes, out);
    }
    appendPart(n);
}
