// Parsers of the network fields the dialog reads: the port number and the dotted address.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The port field: an unsigned decimal number of at most 10 digits and at most 2^32 - 1, with
// optional blanks around it and nothing else. Blanks are what QString::trimmed() removes, in
// UTF-8: tab, LF, VT, FF, CR, space, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F and U+3000. Any other text (a sign, an inner blank, an empty field) gives none.
std::optional<unsigned> ParseUnsignedField(std::string_view text);

// What the address field lets a person type: up to four dot-separated numbers of at most three
// ASCII digits each, any of them empty ("", "192.", "1..3" pass; "1.2.3.4.", "1234", " 1" don't).
bool IsDottedAddressText(std::string_view text);
// The same rule as the field's validator pattern (QRegularExpression). It ends in "\z", not "$":
// "$" also matches before a final line feed, so a pasted "1.2.3.4\n" got into the field.
inline constexpr char DOTTED_ADDRESS_PATTERN[] = R"(^(\d{0,3})(\.\d{0,3}){0,3}\z)";

// A complete address as the link's connect reads it (inet_pton): exactly four dot-separated
// decimal numbers 0..255, each without a leading zero unless it is "0". Host byte order, the first
// number in the top byte.
std::optional<uint32_t> ParseIPv4(std::string_view text);
