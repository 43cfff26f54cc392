// The lines a console's own send line sent, shown among the bytes it received. They are never
// part of the receive history: the console form is made from the history and the sent lines
// together, each sent line at the place in the history where it went out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "display/RingBuffer.h"

struct SentLine {
    int index = 0;  // shown before the history's byte at `index` (the history's count: at its end)
    std::string_view bytes;  // as they went out, line ending included; never empty
    // A note about the received bytes before `index` (a decoded frame) instead of a sent line:
    // `bytes` is its text, shown as it is on a line of its own in both forms.
    bool note = false;
};

// Text form of a sent line: "[sent] " and the bytes, CR as "\r", LF as "\n" and every other
// control byte as "\xHH" (the send line's own escape), so that one line shows the whole line and
// its ending; then a line break.
void AppendSentText(std::string_view bytes, std::string& out);
// Hex form: rows of 16 bytes in four groups of four, each led by "sent " where the dump has its
// offset; a line break before them when out is not empty, none after.
void AppendSentHex(std::string_view bytes, std::string& out);

// The console form of a history (text, or hex dump when `hex`; with timestamps when `starts` is
// given, as FormatConsoleText and FormatHexDump mark them) with `sent` among its bytes, in the
// order given (indexes ascending). A sent line starts a line of its own; in the hex dump the
// received row it falls into is split there, each byte staying under its column.
void FormatWithSent(const unsigned char* bytes, int n,
                    const std::vector<CRingBuffer::ChunkStart>* starts, int64_t gapNs,
                    const std::vector<SentLine>& sent, bool hex, std::string& out);
