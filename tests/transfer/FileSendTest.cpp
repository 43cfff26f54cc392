// The file sender on its own: what goes out for a file, piece by piece.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestUtil.h"
#include "transfer/Capture.h"
#include "transfer/FileSend.h"

namespace {

// The file is read in large blocks, yet on the link it goes out exactly as before: the header,
// then pieces of the link's chunk size, only the file's last piece shorter; a stop after some
// pieces ends the send without calling it sent.
TEST(FileSend, PiecesKeepTheLinksChunkSizeWhateverTheBlocksRead) {
    testutil::TempDir dir;
    struct Case {
        int size;
        int chunk;
        int stopAfter;  // pieces sent before the stop (-1: none)
    } cases[] = {
        {1, SERIAL_SEND_CHUNK, -1},       {255, SERIAL_SEND_CHUNK, -1},
        {65535, SERIAL_SEND_CHUNK, -1},   {65536 + 300, SERIAL_SEND_CHUNK, -1},
        {200000, NETWORK_SEND_CHUNK, -1}, {3 * 65536, NETWORK_SEND_CHUNK, -1},
        {200000, SERIAL_SEND_CHUNK, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes in " + std::to_string(c.chunk));
        std::string content(static_cast<size_t>(c.size), '\0');
        for (size_t i = 0; i < content.size(); ++i)
            content[i] = static_cast<char>(i * 7 + i / 251);
        const std::string path = dir.File("f" + std::to_string(c.size));
        testutil::WriteFile(path, content);
        std::atomic<bool> stop{false};
        std::vector<int> pieces;
        std::string sent;
        bool sentAll = false;
        SendFileJob job;
        job.path = path;
        job.chunk = c.chunk;
        job.startDelayMs = 0;
        job.send = [&](const unsigned char* b, int n, const platform::AbortSignal&) {
            pieces.push_back(n);
            sent.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
            if (static_cast<int>(pieces.size()) - 1 == c.stopAfter)
                stop = true;
            return true;
        };
        job.sentAll = [&] { sentAll = true; };
        platform::AbortSignal abort;
        const SendResult result = SendFile(job, stop, abort);
        ASSERT_FALSE(pieces.empty());
        EXPECT_EQ(pieces.front(), FILE_HEADER_SIZE);
        for (size_t i = 1; i + 1 < pieces.size(); ++i)
            ASSERT_EQ(pieces[i], c.chunk) << "piece " << i;
        if (c.stopAfter < 0) {
            EXPECT_EQ(result.end, SendResult::End::Sent);
            EXPECT_TRUE(sentAll);
            EXPECT_EQ(sent.substr(FILE_HEADER_SIZE), content);
        } else {
            EXPECT_EQ(result.end, SendResult::End::Stopped);
            EXPECT_FALSE(sentAll);
            EXPECT_EQ(pieces.size(), static_cast<size_t>(c.stopAfter) + 1);
        }
    }
}

}  // namespace
