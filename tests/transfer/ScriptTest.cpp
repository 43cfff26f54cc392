// Reading test scripts: every step's form, the messages for what is wrong, durations, the
// quoting the Commands window writes back, and matching over binary bytes.
#include <gtest/gtest.h>

#include "support/TestUtil.h"
#include "transfer/Script.h"

namespace {

TEST(ScriptParse, ReadsEveryStepWithCommentsAndNesting) {
    const std::string text =
        "# modbus poll\n"
        "\n"
        "on serial /^\\x01\\x03/ send serial \"\\x01\\x03\\x02\\x00\\x2a\" crc16-modbus after 2ms\n"
        "on network \"PING # not a comment\" send network \"PONG\"   # answer\r\n"
        "send network \"AT\\r\" crc16-ccitt-le\n"
        "expect serial /a\\/b#c/ 500ms  # slash and hash inside the regex\n"
        "repeat 3 every 10ms\n"
        "  repeat 2\n"
        "    wait 250us\n"
        "  end\n"
        "  expect network \"OK\\r\\n\" 2s\n"
        "end\n"
        "wait 1m";
    const ScriptParse p = ParseScript(text, "poll.vsk");
    ASSERT_TRUE(p.ok) << p.error;
    const Script& s = p.script;
    EXPECT_EQ(s.file, "poll.vsk");
    ASSERT_EQ(s.responders.size(), 2u);
    EXPECT_EQ(s.responders[0].line, 3);
    EXPECT_EQ(s.responders[0].on, ScriptLink::Serial);
    EXPECT_EQ(s.responders[0].match.pattern, "^\\x01\\x03");
    EXPECT_EQ(s.responders[0].match.written, "/^\\x01\\x03/");
    EXPECT_EQ(s.responders[0].reply.Wire(), std::string("\x01\x03\x02\x00\x2a\x39\x9b", 7));
    EXPECT_EQ(s.responders[0].afterNs, 2000000);
    EXPECT_EQ(s.responders[1].match.bytes, "PING # not a comment");
    EXPECT_EQ(s.responders[1].reply.link, ScriptLink::Network);
    EXPECT_FALSE(s.responders[1].reply.checksum);

    ASSERT_EQ(s.steps.size(), 4u);
    EXPECT_EQ(s.steps[0].op, ScriptStep::Op::Send);
    EXPECT_EQ(FormatSendStep(s.steps[0].send), "send network \"AT\\r\" crc16-ccitt-le");
    EXPECT_EQ(s.steps[1].op, ScriptStep::Op::Expect);
    EXPECT_EQ(s.steps[1].match.pattern, "a/b#c");
    EXPECT_EQ(s.steps[1].timeoutNs, 500000000);
    const ScriptStep& outer = s.steps[2];
    EXPECT_EQ(outer.op, ScriptStep::Op::Repeat);
    EXPECT_EQ(outer.line, 7);
    EXPECT_EQ(outer.count, 3);
    EXPECT_EQ(outer.everyNs, 10000000);
    ASSERT_EQ(outer.body.size(), 2u);
    EXPECT_EQ(outer.body[0].count, 2);
    EXPECT_EQ(outer.body[0].everyNs, 0);
    ASSERT_EQ(outer.body[0].body.size(), 1u);
    EXPECT_EQ(outer.body[0].body[0].durationNs, 250000);
    EXPECT_EQ(outer.body[1].match.bytes, "OK\r\n");
    EXPECT_EQ(outer.body[1].match.written, "\"OK\\r\\n\"");
    EXPECT_EQ(s.steps[3].durationNs, 60000000000);
}

TEST(ScriptParse, SaysWhatIsWrongAndWhere) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"send serial \"a\"\n\nwait 1s\nsend serial \"x\" crc17\n",
         "s.vsk:4: unknown checksum \"crc17\" (known: crc16-modbus, crc16-ccitt, crc32, lrc, xor, "
         "sum8)"},
        {"wait 1s\n\n\n\nrepeat 2\nrepeat 3\nend\n\n# last\n",
         "s.vsk:9: \"repeat\" at line 5 has no \"end\""},
        {"send serial \"a\"\n\nexpect serial \"OK\"\n",
         "s.vsk:3: expected a time-out such as 500ms or 2s after the expected data"},
        {"expect network /OK/ 0ms", "s.vsk:1: the time-out must be more than 0"},
        {"expect network /OK/ 61m", "s.vsk:1: the time-out must be at most 1 h (60m), not 61m"},
        {"expect network \"OK\" 5x",
         "s.vsk:1: \"5x\" is not a time-out: write a whole number and a unit (us, ms, s or m), "
         "such as 500ms or 2s"},
        {"expect network \"\" 1s",
         "s.vsk:1: the data \"\" is empty: give at least one byte to wait for"},
        {"expect serial /(ab/ 1s", nullptr},  // the regex library's own words follow
        {"expect serial /(a)\\1/ 1s",
         "s.vsk:1: the regex /(a)\\1/ uses a back-reference, which is not supported"},
        {"expect serial /abc 1s",
         "s.vsk:1: the regex has no closing / (write \\/ for a slash inside it)"},
        {"send serial \"abc",
         "s.vsk:1: the data has no closing \" (write \\\" for a quote inside it)"},
        {"send serial \"a\\qb\"",
         "s.vsk:1: unknown escape \\q in the data (known: \\xHH, \\r, \\n, \\t, \\\\, \\\")"},
        {"send serial \"\\x4\"",
         "s.vsk:1: \\x in the data must be followed by two hex digits, such as \\x0d"},
        {"send serial \"a\"crc32", "s.vsk:1: expected a space after \"a\", not \"c\""},
        {"send serial AT",
         "s.vsk:1: expected the data to send in double quotes, such as \"AT\\r\", "
         "not \"AT\""},
        {"send", "s.vsk:1: expected serial or network after \"send\""},
        {"send modem \"x\"", "s.vsk:1: expected serial or network after \"send\", not \"modem\""},
        {"send serial \"x\" xor-be",
         "s.vsk:1: the checksum \"xor-be\" is one byte and has no byte order: leave out -be or "
         "-le"},
        {"send serial \"x\" crc32 more", "s.vsk:1: unexpected \"more\" at the end of the line"},
        {"sned serial \"x\"",
         "s.vsk:1: unknown step \"sned\" (known: send, expect, wait, repeat, "
         "end, on)"},
        {"Wait 1s", "s.vsk:1: unknown step \"Wait\": steps are written in lower case (\"wait\")"},
        {"wait", "s.vsk:1: expected a duration such as 500ms or 2s after \"wait\""},
        {"wait 1.5s",
         "s.vsk:1: \"1.5s\" is not a duration: write a whole number and a unit (us, ms, s or m), "
         "such as 500ms or 2s"},
        {"repeat", "s.vsk:1: expected a count after \"repeat\", such as repeat 10"},
        {"repeat 0\nend", "s.vsk:1: the count must be from 1 to 10000000, not 0"},
        {"repeat 10000001\nend", "s.vsk:1: the count must be from 1 to 10000000, not 10000001"},
        {"repeat -1\nend",
         "s.vsk:1: \"-1\" is not a count: write a whole number from 1 to 10000000"},
        {"repeat 2 each 1ms\nend",
         "s.vsk:1: expected \"every\" or the end of the line after the count, not \"each\""},
        {"repeat 2 every\nend", "s.vsk:1: expected a period such as 1ms or 2s after \"every\""},
        {"wait 1s\nend", "s.vsk:2: \"end\" without a \"repeat\" to close"},
        {"repeat 2\non serial \"a\" send serial \"b\"\nend",
         "s.vsk:2: \"on\" belongs at the top level, not inside the \"repeat\" at line 1"},
        {"on serial \"a\" serial \"b\"",
         "s.vsk:1: expected \"send\" and the reply after \"a\", not \"serial\""},
        {"on serial \"a\" send serial \"b\" after",
         "s.vsk:1: expected a delay such as 10ms after \"after\""},
    };
    for (const Case& c : cases) {
        const ScriptParse p = ParseScript(c.text, "s.vsk");
        EXPECT_FALSE(p.ok) << c.text;
        if (c.error) {
            EXPECT_EQ(p.error, c.error) << c.text;
        } else {
            EXPECT_EQ(p.error.rfind("s.vsk:1: the regex /(ab/ does not compile: ", 0), 0u)
                << p.error;
        }
    }
    EXPECT_EQ(ParseScript("wait 1s\nend", "x").line, 2);
}

TEST(ScriptParse, DurationsBothWays) {
    struct Case {
        const char* text;
        int64_t ns;        // -1: not a duration
        const char* back;  // FormatDuration(ns)
    } cases[] = {
        {"500ms", 500000000, "500ms"},
        {"2s", 2000000000, "2s"},
        {"250us", 250000, "250us"},
        {"1500ms", 1500000000, "1500ms"},
        {"1m", 60000000000, "1m"},
        {"120s", 120000000000, "2m"},
        {"0ms", 0, "0ms"},
        {"1000us", 1000000, "1ms"},
        {"5", -1, nullptr},
        {"ms", -1, nullptr},
        {"5 ms", -1, nullptr},
        {"-5ms", -1, nullptr},
        {"5MS", -1, nullptr},
        {"1h", -1, nullptr},
        {"99999999999999999999s", -1, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseDuration(c.text), c.ns) << c.text;
        if (c.back) {
            EXPECT_EQ(FormatDuration(c.ns), c.back) << c.text;
        }
    }
    EXPECT_EQ(FormatDuration(1500), "2us");  // below a microsecond: rounded
}

TEST(ScriptParse, EveryByteSurvivesTheQuotingRoundTrip) {
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    for (const auto& sum : {std::optional<checksum::Choice>{}, checksum::Find("crc32-be")}) {
        ScriptSend send{ScriptLink::Network, all, sum};
        const std::string line = FormatSendStep(send);
        const ScriptParse p = ParseScript(line + "\n", "commands.vsk");
        ASSERT_TRUE(p.ok) << p.error;
        ASSERT_EQ(p.script.steps.size(), 1u);
        EXPECT_EQ(p.script.steps[0].send.data, all);
        EXPECT_EQ(p.script.steps[0].send.checksum, sum);
        EXPECT_EQ(p.script.steps[0].send.Wire(), send.Wire());
    }
    EXPECT_EQ(QuoteScriptData(std::string("A\r\n\t\\\"\x00\x7f\xff", 9)),
              "\"A\\r\\n\\t\\\\\\\"\\x00\\x7F\\xFF\"");
}

TEST(ScriptParse, MatchesOverBinaryBytes) {
    const std::string bytes("\x10\x00\xff\x80OK\r\n\xfe", 9);
    struct Case {
        const char* script;  // an expect line
        size_t from;
        std::optional<size_t> end;
    } cases[] = {
        {"expect serial /\\x00\\xFF/ 1s", 0, 3},
        {"expect serial /[\\x80-\\xFF]+/ 1s", 0, 4},
        {"expect serial /[\\x00-\\xFF]/ 1s", 0, 1},
        {"expect serial /^\\x10/ 1s", 0, 1},
        {"expect serial /^\\xff/ 1s", 2, std::nullopt},  // not at the start: ^ sees the byte before
        {"expect serial /OK\\r\\n/ 1s", 0, 8},
        {"expect serial /\\xfe$/ 1s", 0, std::nullopt},  // more may follow: $ never at the end
        {"expect serial /x*/ 1s", 0, std::nullopt},      // an empty match does not count
        {"expect serial \"\\x00\\xff\" 1s", 0, 3},
        {"expect serial \"\\x00\\xff\" 1s", 2, std::nullopt},
    };
    for (const Case& c : cases) {
        const ScriptParse p = ParseScript(c.script, "m.vsk");
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.script.steps[0].match.FindEnd(bytes, c.from), c.end) << c.script;
    }
    // A long buffer does not exhaust the stack.
    const ScriptParse p = ParseScript("expect serial /.*X/ 1s", "m.vsk");
    EXPECT_EQ(p.script.steps[0].match.FindEnd(std::string(1 << 16, 'a') + "X"), (1u << 16) + 1);
}

TEST(ScriptParse, LoadsAFileOrSaysWhyNot) {
    testutil::TempDir dir;
    testutil::WriteFile(dir.File("ok.vsk"), "wait 1ms\n");
    EXPECT_TRUE(LoadScript(dir.File("ok.vsk")).ok);
    EXPECT_EQ(LoadScript(dir.File("none.vsk")).error,
              dir.File("none.vsk") + ": cannot read: No such file or directory");
    EXPECT_EQ(LoadScript(dir.path).error, dir.path + ": cannot read: Is a directory");
}

}  // namespace
