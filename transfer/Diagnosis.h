// What kind of difference a mismatching capture shows: the stored bytes are compared with the
// sent bytes around the first difference, and a few well-known ways a device server (or a line
// setting on the way) changes a byte stream are tried on them, then re-alignment for dropped or
// inserted bytes. The result is one line of text, empty when nothing is recognised.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// The neighbourhood of the first difference that DiagnoseFiles reads: this many bytes before it
// (a change made a little earlier shows only where the data stops matching by chance) and after
// it of the sent file, twice that of the stored file (a doubling byte stream is up to twice as
// long). At most 64 KiB + 1 MiB + 64 KiB + 2 MiB are read, whatever the file sizes (up to the
// 2 GiB limit), so the work is bounded: a few ms from the page cache.
constexpr int64_t DIAGNOSIS_BEFORE = 64 * 1024;
constexpr int64_t DIAGNOSIS_AFTER = 1024 * 1024;
// Re-aligning looks at most this far for the stream to match again after a difference, and
// tells at most this many places.
constexpr int DIAGNOSIS_MAX_SHIFT = 4096;
constexpr int DIAGNOSIS_MAX_PLACES = 16;

// The recogniser. `sent` and `stored` are the bytes of both files from file offset `offset`
// (the same for both, at or before the first difference, with no change before it); `sentSize`
// and `storedSize` are the whole files' lengths (-1: the span ends where its file does). A span
// that stops before its file's end stops the comparison there without judging what follows.
std::string DiagnoseDifference(std::span<const unsigned char> sent,
                               std::span<const unsigned char> stored, int64_t offset = 0,
                               int64_t sentSize = -1, int64_t storedSize = -1);

// Reads the neighbourhood of `firstDifference` (a byte offset; where the shorter file ends when
// one is a prefix of the other) from both files and recognises the difference. Empty when
// nothing is recognised or a file cannot be read.
std::string DiagnoseFiles(const std::string& sentPath, const std::string& storedPath,
                          int64_t firstDifference);
