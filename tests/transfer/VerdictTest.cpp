// The comparison of stored bytes with the sent file, and the words for the verdict.
#include <gtest/gtest.h>

#include "support/TestUtil.h"
#include "transfer/Capture.h"
#include "transfer/PassVerdict.h"

namespace {

TEST(SourceCompare, FindsTheFirstDifferenceWhereverTheChunksFall) {
    testutil::TempDir dir;
    const size_t size = 3 * CSourceCompare::BLOCK + 100;  // reads cross several blocks
    const std::string sent = testutil::RandomBytes(size, 11);
    testutil::WriteFile(dir.File("sent"), sent);
    struct Case {
        const char* name;
        std::string stored;
        bool completed;
        int64_t firstMismatch;  // -1: none
    } cases[] = {
        {"equal", sent, true, -1},
        {"differs in the first byte", std::string(1, static_cast<char>(~sent[0])) + sent.substr(1),
         true, 0},
        {"differs after a block",
         sent.substr(0, CSourceCompare::BLOCK + 7) + "\x01" +
             sent.substr(CSourceCompare::BLOCK + 8),
         true, -2},
        {"stored bytes go on after the file", sent + "xy", true, static_cast<int64_t>(size)},
        {"completed short of the file", sent.substr(0, 5000), true, 5000},
        {"not completed yet, equal so far", sent.substr(0, 5000), false, -1},
    };
    for (Case& c : cases) {
        int64_t expected = c.firstMismatch;
        if (expected == -2)  // unless the random byte was 0x01 already
            expected = sent[CSourceCompare::BLOCK + 7] == '\x01' ? -1 : CSourceCompare::BLOCK + 7;
        CSourceCompare compare;
        ASSERT_TRUE(compare.Open(dir.File("sent")));
        EXPECT_EQ(compare.SourceSize(), static_cast<int64_t>(size));
        // Stored in the uneven chunks a link delivers.
        const auto* b = reinterpret_cast<const unsigned char*>(c.stored.data());
        for (size_t at = 0, k = 1; at < c.stored.size(); k = k * 7 % 2047 + 1) {
            const size_t n = std::min(k, c.stored.size() - at);
            compare.Feed(b + at, static_cast<int>(n));
            at += n;
        }
        if (c.completed)
            compare.Complete(static_cast<int64_t>(c.stored.size()));
        EXPECT_EQ(compare.FirstMismatch().value_or(-1), expected) << c.name;
    }
}

TEST(PassVerdict, StatusLineAndRateTexts) {
    EXPECT_EQ(FormatRate(812.4 * 1024), "812.4 KiB/s");
    EXPECT_EQ(FormatRate(3.2 * 1024 * 1024), "3.2 MiB/s");
    EXPECT_EQ(FormatRate(240), "0.2 KiB/s");
    PassOutcome out;
    out.end = PassOutcome::End::Completed;
    out.announced = out.stored = out.sent = 1048576;
    out.bytesPerSecond = 2.5 * 1024 * 1024;
    EXPECT_EQ(PassStatusText(out), " Verified : 1048576 Bytes identical, 2.5 MiB/s");
    out.firstMismatch = 4242;
    EXPECT_EQ(PassStatusText(out), " Mismatch : first difference at byte 4242 of 1048576");
    out.end = PassOutcome::End::LinkLost;
    out.text = "Link lost : network peer closed the connection";
    EXPECT_EQ(PassStatusText(out), " Link lost : network peer closed the connection");
    // A time-out, a cancel and a capture that was not stored leave the window's own texts.
    for (auto end :
         {PassOutcome::End::TimedOut, PassOutcome::End::Cancelled, PassOutcome::End::WriteFailed}) {
        PassOutcome other;
        other.end = end;
        EXPECT_EQ(PassStatusText(other), "");
    }
}

}  // namespace
