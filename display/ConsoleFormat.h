// The two console forms of a receive history: text and hex dump.
#pragma once

#include <QString>

#include <string>

// Hex dump: 16 bytes a line in four groups of four ("%02X" each, groups separated by one space),
// each line led by its offset from the oldest byte ("%04X "), lines separated by "\r\n", no
// break after the last line. 2047 bytes give 128 lines and 5372 characters.
void FormatHexDump(const unsigned char* bytes, int n, std::string& out);

// Text form: one character per byte; a zero byte vanishes, every other byte goes in unchanged.
void FormatConsoleText(const unsigned char* bytes, int n, std::string& out);

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
