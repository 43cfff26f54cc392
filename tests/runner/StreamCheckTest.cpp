// The check an extra client runs on what arrives: the file found behind its header in any
// chunking, after bytes that only look like a header's start, compared with the sent file; and
// what the peer said outside the file.
#include <gtest/gtest.h>

#include "runner/Clients.h"
#include "support/TestUtil.h"

namespace {

std::string Header(uint32_t length) {
    unsigned char h[FILE_HEADER_SIZE];
    BuildFileHeader(length, h);
    return std::string(reinterpret_cast<const char*>(h), sizeof h);
}

TEST(StreamCheck, FindsTheFileInAnyChunkingAndTellsWhatWasSaid) {
    testutil::TempDir dir;
    const std::string file = testutil::RandomBytes(5000, 7);
    testutil::WriteFile(dir.File("sent.bin"), file);
    std::string flipped = file;
    flipped[1234] = static_cast<char>(flipped[1234] ^ 0x01);
    const std::string marker = Header(0).substr(0, FILE_MARKER_SIZE);
    const struct {
        const char* name;
        std::string stream;
        size_t chunk;
        int64_t stored;
        bool verified;
        int64_t firstMismatch;  // -1: none
        const char* said;
    } cases[] = {
        {"text before", "hello\r\n" + Header(5000) + file, 1, 5000, true, -1, "hello"},
        {"a marker's start, then the marker's last byte again",
         marker.substr(0, 5) + marker.substr(13) + marker.substr(0, 13) + "x" + Header(5000) + file,
         3, 5000, true, -1, "BDF\"\"BBDF\"\"\"\"\"\"\"\"FDx"},
        {"a byte changed", Header(5000) + flipped, 7, 5000, false, 1234, ""},
        {"cut short", Header(5000) + file.substr(0, 2500), 4096, 2500, false, -1, ""},
        {"said after the file", Header(5000) + file + "Port already in use\r\n", 100, 5000, true,
         -1, "Port already in use"},
        {"longer than announced", Header(4000) + file, 512, 4000, false, 4000, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StreamCheck check;
        std::string error;
        ASSERT_TRUE(check.Arm(dir.File("sent.bin"), &error)) << error;
        for (size_t at = 0; at < c.stream.size(); at += c.chunk) {
            const std::string part = c.stream.substr(at, c.chunk);
            check.Feed(reinterpret_cast<const unsigned char*>(part.data()), part.size(),
                       static_cast<int64_t>(at + 1));
        }
        const StreamCheck::Tally t = check.Get();
        EXPECT_EQ(t.stored, c.stored);
        EXPECT_EQ(t.Verified(), c.verified);
        EXPECT_EQ(t.firstMismatch.value_or(-1), c.firstMismatch);
        EXPECT_EQ(SaidText(check.Said()), c.said);
    }
}

}  // namespace
