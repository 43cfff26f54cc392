// Decoding of a typed send line: "\x" or "\X" with one or two hex digits stands for the byte of
// that value; every other character (including any other backslash form) goes out unchanged.
#pragma once

#include <string_view>

// Decodes the line's bytes (UTF-8 for characters beyond ASCII, sent as they are) into out and
// returns the count. Never writes more than `capacity` bytes; the output is never longer than the
// input, so a capacity of text.size() always holds the whole line.
int EncodeSendLine(std::string_view text, unsigned char* out, int capacity);

// The value of one hex digit (either case); -1 for any other character.
int HexDigitValue(char c);

// What goes after a typed line (never after a file): nothing, CR, LF or CR LF.
enum class LineEnding { None, CR, LF, CRLF };
// The ending's bytes: "", "\r", "\n", "\r\n".
std::string_view LineEndingBytes(LineEnding ending);
