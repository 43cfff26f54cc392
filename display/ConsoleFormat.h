// The two console forms of a receive history: text and hex dump.
#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include "display/RingBuffer.h"

// Hex dump: 16 bytes a line in four groups of four ("%02X" each, groups separated by one space),
// each line led by its offset from the oldest byte ("%04X "), lines separated by "\r\n", no
// break after the last line. 2047 bytes give 128 lines and 5372 characters.
void FormatHexDump(const unsigned char* bytes, int n, std::string& out);

// Text form: one character per byte; a zero byte vanishes, every other byte goes in unchanged.
void FormatConsoleText(const unsigned char* bytes, int n, std::string& out);

// Timestamps in the two forms. A chunk start is marked when it follows a pause of at least
// `gapNs` since the chunk before it was read (steady clock); the first chunk start of the history
// always is, as nothing before it is known. Each mark shows the local time of the chunk's wallNs
// as "[HH:MM:SS.mmm]" (TIMESTAMP_LENGTH characters). `starts` comes from
// CRingBuffer::Snapshot: indexes into `bytes`, ascending. Chunk starts not marked, and all of
// them with no marked start at all, leave the form exactly as the plain one.
constexpr int64_t DEFAULT_TIMESTAMP_GAP_NS = 20'000'000;
constexpr size_t TIMESTAMP_LENGTH = 14;  // "[HH:MM:SS.mmm]"
// "[HH:MM:SS.mmm]" for a wall-clock time in nanoseconds, in the local time zone.
std::string FormatTimestamp(int64_t wallNs);

// Text form with marks: a marked chunk starts on a line of its own, "[HH:MM:SS.mmm] " before its
// first byte. The break before it ("\r\n") is left out where the text already ends a line (or
// is empty). Line breaks (and zero bytes) that lead a chunk with more in it go before the mark:
// they end the line before.
void FormatConsoleText(const unsigned char* bytes, int n,
                       const std::vector<CRingBuffer::ChunkStart>& starts, int64_t gapNs,
                       std::string& out);

// Hex dump with marks: a line "[HH:MM:SS.mmm]" before the row that a marked chunk starts. A
// chunk that starts inside a row of 16 ends that row there and goes on in a row led by its own
// offset, its bytes in the columns they have in a full row (blanks before them), so every byte
// stays under the same column as in the plain dump and the next row starts at a multiple of 16.
void FormatHexDump(const unsigned char* bytes, int n,
                   const std::vector<CRingBuffer::ChunkStart>& starts, int64_t gapNs,
                   std::string& out);

// Whether chunk start k of `starts` gets a timestamp: the first one always, every other one after
// a pause of at least gapNs since the one before it.
bool ChunkStartMarked(const std::vector<CRingBuffer::ChunkStart>& starts, size_t k, int64_t gapNs);

// One part of a hex dump, appended to `out`: the n bytes at `base` in the history, each row led by
// its offset in the history. A part that starts inside a row starts a row of its own, the earlier
// columns blank, as a marked chunk does; every start in `marked` (indexes into the part) gets its
// timestamp line. A line break goes before the part when out is not empty.
void AppendHexDumpPart(const unsigned char* bytes, int n, int base,
                       const std::vector<CRingBuffer::ChunkStart>& marked, std::string& out);

// What a console widget shows for a console text: a well-formed UTF-8 sequence (2 to 4 bytes, no
// overlong form, no surrogate, at most U+10FFFF) as its character (past U+FFFF a surrogate
// pair); every other byte as one character, bytes 0x80 to 0xFF outside such a sequence as the
// Latin-1 characters of the same code (a sequence cut off at either end of the history shows
// byte by byte). A text in which fewer bytes from 0x80 up belong to such sequences than stand
// outside them (binary data, random bytes) shows every byte as its Latin-1 character, so what a
// console asks its font to draw stays within 255 characters. A CR LF pair, a lone CR and a lone LF
// each become one line break, as the console control of the original platform shows them, so the
// hex dump's "\r\n" rows never have empty lines between.
QString ConsoleWidgetText(const std::string& text);
