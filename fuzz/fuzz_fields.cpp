// The port and address field parsers against references: the port parser the dialog used before
// (QString::trimmed, at most 10 digits) and std::from_chars; the address field's validator (its
// pattern, judged as QRegularExpressionValidator judges typed text); and inet_pton, which the
// link's connect uses.
#include <QRegularExpression>
#include <QString>

#include <arpa/inet.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "net/Fields.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

// The dialog's port parser as it was, on the field's text.
std::optional<unsigned> QtParseUnsigned(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty() || t.size() > 10)
        return std::nullopt;
    unsigned long long value = 0;
    for (QChar c : t) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c.unicode() - '0');
    }
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<unsigned>(value);
}

// For ASCII text: ASCII blanks trimmed, then up to 10 digits read by std::from_chars.
std::optional<unsigned> FromCharsParse(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    if (s.empty() || s.size() > 10 || s.front() < '0' || s.front() > '9')
        return std::nullopt;  // from_chars would take nothing else, but "+" and "-" stay out too
    unsigned long long value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<unsigned>(value);
}

// What the address field's validator lets stand: a complete match, an empty text, or a text
// that a complete match could still grow from.
bool ValidatorAccepts(const QString& text) {
    static const QRegularExpression dotted(
        QRegularExpression::anchoredPattern(QString::fromLatin1(DOTTED_ADDRESS_PATTERN)));
    const QRegularExpressionMatch m =
        dotted.match(text, 0, QRegularExpression::PartialPreferCompleteMatch);
    return m.hasMatch() || text.isEmpty() || m.hasPartialMatch();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const QString field = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    bool ascii = true;
    bool hasNul = false;
    for (char c : text) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        hasNul = hasNul || c == '\0';
    }

    // The port field. Invalid UTF-8 reaches the old parser as U+FFFD, which is no digit either.
    const std::optional<unsigned> port = ParseUnsignedField(text);
    Check(port == QtParseUnsigned(field));
    if (ascii)
        Check(port == FromCharsParse(text));

    // The address field, as typed.
    const bool dotted = IsDottedAddressText(text);
    Check(dotted == ValidatorAccepts(field));

    // A complete address, as the connect reads it.
    const std::optional<uint32_t> address = ParseIPv4(text);
    if (hasNul) {
        Check(!address);
    } else {
        const std::string cstr(text);
        in_addr a{};
        const bool ok = inet_pton(AF_INET, cstr.c_str(), &a) == 1;
        Check(address.has_value() == ok);
        if (ok)
            Check(*address == ntohl(a.s_addr));
    }
    if (address)
        Check(dotted);
    return 0;
}
