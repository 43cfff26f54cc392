// What a UDP run's datagrams show, found from plain bytes: the sizes by bucket, and datagrams
// lost, repeated or reordered in either direction.
#include <gtest/gtest.h>

#include "runner/Datagrams.h"
#include "support/TestUtil.h"

namespace {

constexpr int64_t kHeader = 18;

// The header and `n` file datagrams of `size` bytes of distinct data.
Datagrams SentDatagrams(const std::string& stream, int n, size_t size) {
    Datagrams d;
    const auto* b = reinterpret_cast<const unsigned char*>(stream.data());
    d.Add(b, kHeader);
    for (int k = 0; k < n; ++k)
        d.Add(b + kHeader + k * size, size);
    return d;
}

// The datagrams of `sent` in the order `order` gives (numbers into sent, #0 the header).
std::string Arrived(const Datagrams& sent, const std::vector<int>& order) {
    std::string bytes;
    for (int k : order)
        bytes += sent.At(static_cast<size_t>(k));
    return bytes;
}

TEST(Datagrams, SizesFallIntoTheirBuckets) {
    DatagramSizes s;
    for (size_t n : {1, 2, 15, 16, 63, 64, 255, 256, 1023, 1024, 8192})
        s.Add(n);
    EXPECT_EQ(s.Compact(), "1:1 2-15:2 16-63:2 64-255:2 256-1023:2 1024+:2");
    EXPECT_EQ(s.count, 11);
    EXPECT_EQ(s.smallest, 1);
    EXPECT_EQ(s.largest, 8192);
    EXPECT_EQ(DatagramSizes{}.Text(), "no datagrams from the device server");
}

TEST(Datagrams, SentDatagramsAreFoundInTheSerialBytes) {
    const std::string stream = testutil::RandomBytes(kHeader + 10 * 100, 5);
    const Datagrams sent = SentDatagrams(stream, 10, 100);
    struct Case {
        std::vector<int> order;
        const char* text;
    } cases[] = {
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, ""},
        {{0, 1, 2, 4, 5, 6, 7, 8, 9, 10},
         "1 of 10 file datagrams lost (first: #3, file bytes 200 to 299); found in the serial "
         "bytes received"},
        {{0, 1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10},
         "1 repeated (first: #3, file bytes 200 to 299); found in the serial bytes received"},
        {{0, 1, 2, 4, 3, 5, 6, 7, 9, 8, 10},
         "2 out of order (first: #4, file bytes 300 to 399); found in the serial bytes "
         "received"},
        {{0, 1, 2, 3, 5, 5, 6, 8, 7, 9},
         "2 of 10 file datagrams lost (first: #4, file bytes 300 to 399), 1 repeated (first: "
         "#5, file bytes 400 to 499), 1 out of order (first: #8, file bytes 700 to 799); found "
         "in the serial bytes received"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FindSentDatagrams(sent, Arrived(sent, c.order), kHeader).text, c.text);
    // A capture that ended full waited for nothing after it: the last ones are not lost.
    EXPECT_EQ(
        FindSentDatagrams(sent, Arrived(sent, {0, 1, 2, 3, 3, 4, 5, 6, 7, 8}), kHeader, false).text,
        "1 repeated (first: #3, file bytes 200 to 299); found in the serial bytes received");
}

TEST(Datagrams, ReceivedDatagramsArePlacedInTheSentBytes) {
    const std::string stream = testutil::RandomBytes(kHeader + 10 * 100, 9);
    // As a device server packs them: the header, then datagrams of any size.
    const Datagrams packed = SentDatagrams(stream, 10, 100);
    std::string changed(packed.At(6));
    changed[10] ^= 0x5A;
    struct Case {
        std::vector<int> order;  // -1: the changed copy of #6
        const char* text;
    } cases[] = {
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, ""},
        {{0, 1, 2, 4, 5, 7, 8, 9, 10},
         "of 9 datagrams received: 200 bytes never arrived in 2 gaps (first: file bytes 200 to "
         "299)"},
        {{0, 1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10},
         "of 12 datagrams received: 1 repeated (first: #5, file bytes 200 to 299)"},
        {{0, 1, 3, 2, 4, 5, 6, 7, 8, 9, 10},
         "of 11 datagrams received: 1 out of order (first: #4, file bytes 100 to 199)"},
        {{0, 1, 2, 3, 4, 5, -1, 7, 8, 9, 10},
         "of 11 datagrams received: 100 bytes never arrived in 1 gap (first: file bytes 500 to "
         "599), 1 not found in the sent data, changed or foreign (first: #7, 100 bytes)"},
    };
    for (const Case& c : cases) {
        Datagrams received;
        for (int k : c.order) {
            const std::string d = k < 0 ? changed : std::string(packed.At(static_cast<size_t>(k)));
            received.Add(reinterpret_cast<const unsigned char*>(d.data()), d.size());
        }
        EXPECT_EQ(PlaceReceivedDatagrams(stream, received, kHeader).text, c.text);
    }
    // A device that sends every 4 bytes: one lost leaves a gap, the rest are placed.
    Datagrams small;
    for (size_t at = 0; at < stream.size(); at += 4)
        if (at != 400)
            small.Add(reinterpret_cast<const unsigned char*>(stream.data()) + at,
                      std::min<size_t>(4, stream.size() - at));
    Datagrams head;
    for (int k : {0, 1, 2, 2, 3})
        head.Add(reinterpret_cast<const unsigned char*>(packed.At(static_cast<size_t>(k)).data()),
                 packed.At(static_cast<size_t>(k)).size());
    EXPECT_EQ(PlaceReceivedDatagrams(stream, head, kHeader, false).text,
              "of 5 datagrams received: 1 repeated (first: #4, file bytes 100 to 199)");
    EXPECT_EQ(PlaceReceivedDatagrams(stream, small, kHeader).text,
              "of 254 datagrams received: 4 bytes never arrived in 1 gap (first: file bytes 382 "
              "to 385)");
}

}  // namespace
