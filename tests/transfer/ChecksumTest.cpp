// Every checksum against the catalogue's check value over "123456789", its bytes on the wire in
// either order, and the names a script may give.
#include <gtest/gtest.h>

#include "transfer/Checksum.h"

namespace {

TEST(Checksum, CheckValuesWireOrderAndNames) {
    const std::string nine = "123456789";
    struct Row {
        const char* name;     // as written in a script
        const char* kind;     // the row of the table it names
        uint32_t check;       // the catalogue's value (the 8-bit ones worked out by hand)
        std::string wire;     // the checksum's bytes after "123456789"
        const char* asNamed;  // NameOf the choice
    } rows[] = {
        {"crc16-modbus", "crc16-modbus", 0x4B37, "\x37\x4B", "crc16-modbus"},
        {"CRC16-Modbus-be", "crc16-modbus", 0x4B37, "\x4B\x37", "crc16-modbus-be"},
        {"crc16-modbus-le", "crc16-modbus", 0x4B37, "\x37\x4B", "crc16-modbus"},
        {"crc16-ccitt", "crc16-ccitt", 0x29B1, "\x29\xB1", "crc16-ccitt"},
        {"crc16-ccitt-le", "crc16-ccitt", 0x29B1, "\xB1\x29", "crc16-ccitt-le"},
        {"crc32", "crc32", 0xCBF43926, "\x26\x39\xF4\xCB", "crc32"},
        {"crc32-be", "crc32", 0xCBF43926, "\xCB\xF4\x39\x26", "crc32-be"},
        // 0x31 + ... + 0x39 = 0x1DD: sum8 0xDD, its two's complement 0x23.
        {"lrc", "lrc", 0x23, "\x23", "lrc"},
        {"sum8", "sum8", 0xDD, "\xDD", "sum8"},
        // The pairs cancel: (31^32)^(33^34)^(35^36)^(37^38)^39 = 03^07^03^0F^39 = 31.
        {"XOR", "xor", 0x31, "\x31", "xor"},
    };
    for (const Row& row : rows) {
        const auto choice = checksum::Find(row.name);
        ASSERT_TRUE(choice) << row.name;
        EXPECT_STREQ(choice->kind->name, row.kind) << row.name;
        EXPECT_EQ(choice->kind->check, row.check) << row.name;
        EXPECT_EQ(
            choice->kind->compute(reinterpret_cast<const unsigned char*>(nine.data()), nine.size()),
            row.check)
            << row.name;
        EXPECT_EQ(checksum::Bytes(*choice, nine), row.wire) << row.name;
        EXPECT_EQ(checksum::Append(*choice, nine), nine + row.wire) << row.name;
        EXPECT_EQ(checksum::NameOf(*choice), row.asNamed) << row.name;
        EXPECT_EQ(checksum::Find(checksum::NameOf(*choice)), choice) << row.name;
    }
    // Every row of the table holds its own check value.
    for (const checksum::Kind& kind : checksum::Table())
        EXPECT_EQ(kind.compute(reinterpret_cast<const unsigned char*>(nine.data()), nine.size()),
                  kind.check)
            << kind.name;
    for (const char* bad : {"crc17", "crc16", "xor-be", "lrc-le", "crc32-xx", "", "-be"})
        EXPECT_FALSE(checksum::Find(bad)) << bad;
    EXPECT_EQ(checksum::KnownNames(), "crc16-modbus, crc16-ccitt, crc32, lrc, xor, sum8");
}

}  // namespace
