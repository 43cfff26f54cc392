// The port and address field parsers, table by table.
#include "net/Fields.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QString>

#include <optional>
#include <string_view>

namespace {

struct UnsignedCase {
    std::string_view text;
    std::optional<unsigned> value;
};

TEST(Fields, ParseUnsignedField) {
    const UnsignedCase cases[] = {
        {"0", 0u},
        {"23", 23u},
        {"  8080 ", 8080u},
        {"\t65535\r\n", 65535u},
        {"\v\f7", 7u},
        {"4294967295", 4294967295u},
        {"0000000001", 1u},
        {"\xC2\xA0"
         "80\xE3\x80\x80",
         80u},  // U+00A0 before, U+3000 after
        {"\xE2\x80\x8A"
         "1\xE2\x80\xA9",
         1u},  // U+200A, U+2029
        {"\xC2\x85\xE1\x9A\x80"
         "9\xE2\x81\x9F\xE2\x80\xAF",
         9u},  // U+0085, U+1680, U+205F, U+202F
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"4294967296", std::nullopt},  // 2^32
        {"99999999999", std::nullopt},
        {"00000000001", std::nullopt},  // eleven digits
        {"+1", std::nullopt},
        {"-1", std::nullopt},
        {"1 2", std::nullopt},
        {"0x10", std::nullopt},
        {"12a", std::nullopt},
        {std::string_view("1\0", 2), std::nullopt},
        {"\xE2\x80\x8B"
         "1",
         std::nullopt},  // U+200B is no blank
        {"\xC0\xA0"
         "1",
         std::nullopt},              // an overlong space is no blank
        {"\xD9\xA1", std::nullopt},  // ARABIC-INDIC DIGIT ONE
        {"1\xC2", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseUnsignedField(c.text), c.value) << '"' << c.text << '"';
}

TEST(Fields, IsDottedAddressText) {
    for (std::string_view ok : {"", "1", "192", "192.", "192.168.0.1", "...", "1..3", ".1",
                                "255.255.255.255", "999.999.999.999", "001.02.3.4"})
        EXPECT_TRUE(IsDottedAddressText(ok)) << '"' << ok << '"';
    for (std::string_view bad : {"1234", "1.2.3.4.", "....", " 1", "1 ", "a", "1.2.3.4567", "1,2",
                                 "\xD9\xA1", "1.2.3.4\n"})
        EXPECT_FALSE(IsDottedAddressText(bad)) << '"' << bad << '"';
}

// The address field's validator with its pattern: what QRegularExpressionValidator lets stand
// (a complete match, an empty text, or a partial match) is what IsDottedAddressText accepts.
TEST(Fields, ValidatorPatternIsTheDottedAddressRule) {
    const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QString::fromLatin1(DOTTED_ADDRESS_PATTERN)));
    for (std::string_view text : {"", "1", "192.168.0.1", "1..3", "...", "1234", "1.2.3.4.", "a",
                                  " 1", "3\n", "1.2.3.4\n", "\n", "3\r", "3\n\n"}) {
        const QString field = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        const QRegularExpressionMatch m =
            pattern.match(field, 0, QRegularExpression::PartialPreferCompleteMatch);
        const bool accepted = m.hasMatch() || field.isEmpty() || m.hasPartialMatch();
        EXPECT_EQ(accepted, IsDottedAddressText(text)) << '"' << text << '"';
    }
}

struct AddressCase {
    std::string_view text;
    std::optional<uint32_t> value;
};

TEST(Fields, ParseIPv4) {
    const AddressCase cases[] = {
        {"0.0.0.0", 0u},
        {"127.0.0.1", 0x7F000001u},
        {"192.168.10.254", 0xC0A80AFEu},
        {"255.255.255.255", 0xFFFFFFFFu},
        {"", std::nullopt},
        {"1.2.3", std::nullopt},
        {"1.2.3.", std::nullopt},
        {"1.2.3.4.", std::nullopt},
        {"1.2.3.4.5", std::nullopt},
        {"256.0.0.1", std::nullopt},
        {"1.2.3.1000", std::nullopt},
        {"01.2.3.4", std::nullopt},  // a leading zero: inet_pton refuses it
        {"1.2.3.00", std::nullopt},
        {"1..3.4", std::nullopt},
        {" 1.2.3.4", std::nullopt},
        {"1.2.3.4 ", std::nullopt},
        {"0x1.2.3.4", std::nullopt},
        {std::string_view("1.2.3.4\0", 8), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseIPv4(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
