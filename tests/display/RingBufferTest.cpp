#include "display/RingBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::vector<unsigned char> ReadAll(CRingBuffer& ring) {
    std::vector<unsigned char> out;
    if (!ring.Seek(SEEK_OLDEST, 0))
        return out;
    unsigned char b;
    while (ring.Get(b))
        out.push_back(b);
    return out;
}

void PutSequence(CRingBuffer& ring, int from, int to) {  // bytes from..to inclusive, mod 256
    for (int i = from; i <= to; ++i)
        ring.Put(static_cast<unsigned char>(i & 0xFF));
}

TEST(RingBuffer, NewAndClearedRingIsEmptyAndZeroed) {
    CRingBuffer ring;
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(ring.GetCount(), 0);
        unsigned char b = 0xAA;
        EXPECT_FALSE(ring.Get(b));
        EXPECT_FALSE(ring.Seek(SEEK_OLDEST, 0));
        EXPECT_FALSE(ring.Seek(SEEK_NEWEST, 0));
        for (int i = 0; i < RING_BUFFER_SIZE; ++i)
            ASSERT_EQ(ring.StorageAt(i), 0) << i;
        PutSequence(ring, 1, 3000);
        ring.Clear();
    }
}

TEST(RingBuffer, WrapsAt2047AndDropsTheOldest) {
    CRingBuffer ring;
    PutSequence(ring, 1, 2047);
    EXPECT_EQ(ring.StartIndex(), 0);
    EXPECT_EQ(ring.EndIndex(), 2047);
    EXPECT_EQ(ring.GetCount(), 2047);

    ring.Put(static_cast<unsigned char>(2048 & 0xFF));
    EXPECT_EQ(ring.StartIndex(), 1);
    EXPECT_EQ(ring.EndIndex(), 0);
    EXPECT_EQ(ring.GetCount(), 2047);
    auto all = ReadAll(ring);
    ASSERT_EQ(all.size(), 2047u);
    for (int i = 0; i < 2047; ++i)
        ASSERT_EQ(all[i], static_cast<unsigned char>((i + 2) & 0xFF)) << i;
}

TEST(RingBuffer, SeekOldestAtOrBeyondCountLandsOnNewest) {
    CRingBuffer ring;
    PutSequence(ring, 10, 14);  // 5 bytes
    for (int offset : {5, 6, 1000}) {
        ASSERT_TRUE(ring.Seek(SEEK_OLDEST, offset));
        unsigned char b;
        ASSERT_TRUE(ring.Get(b));
        EXPECT_EQ(b, 14);
        EXPECT_FALSE(ring.Get(b));
    }
    ASSERT_TRUE(ring.Seek(SEEK_OLDEST, 2));
    unsigned char b;
    ASSERT_TRUE(ring.Get(b));
    EXPECT_EQ(b, 12);
}

TEST(RingBuffer, SeekNewestCountsBackFromTheNewest) {
    CRingBuffer ring;
    PutSequence(ring, 10, 14);
    unsigned char b;
    ASSERT_TRUE(ring.Seek(SEEK_NEWEST, 0));
    ASSERT_TRUE(ring.Get(b));
    EXPECT_EQ(b, 14);
    ASSERT_TRUE(ring.Seek(SEEK_NEWEST, -1));
    ASSERT_TRUE(ring.Get(b));
    EXPECT_EQ(b, 13);
    for (int offset : {-4, -5, -6, -100000}) {
        ASSERT_TRUE(ring.Seek(SEEK_NEWEST, offset));
        ASSERT_TRUE(ring.Get(b));
        EXPECT_EQ(b, offset == -4 ? 10 : 10) << offset;
    }
    EXPECT_FALSE(ring.Seek(7, 0));
}

TEST(RingBuffer, AfterAFullReadTheNextPutIsTheNextGet) {
    CRingBuffer ring;
    PutSequence(ring, 1, 30);
    ReadAll(ring);
    EXPECT_EQ(ring.CursorIndex(), ring.EndIndex());
    ring.Put(0x77);
    unsigned char b;
    ASSERT_TRUE(ring.Get(b));
    EXPECT_EQ(b, 0x77);
    EXPECT_FALSE(ring.Get(b));
}

TEST(RingBuffer, DroppingTheCursorsByteMovesTheCursorOn) {
    CRingBuffer ring;
    // Bring start to index 2047: 2047 + 2047 puts leave start at 2047.
    PutSequence(ring, 0, 2047 + 2046);
    ASSERT_EQ(ring.StartIndex(), 2047);
    ASSERT_TRUE(ring.Seek(SEEK_OLDEST, 0));
    ASSERT_EQ(ring.CursorIndex(), 2047);
    ring.Put(0x55);
    EXPECT_EQ(ring.StartIndex(), 0);
    EXPECT_EQ(ring.CursorIndex(), 0);
    unsigned char b;
    ASSERT_TRUE(ring.Get(b));
    EXPECT_EQ(b, ring.StorageAt(0));
}

TEST(RingBuffer, SnapshotMatchesAFullWalk) {
    CRingBuffer ring;
    PutSequence(ring, 0, 5000);
    unsigned char snap[RING_BUFFER_CAPACITY];
    int n = ring.Snapshot(snap);
    auto walk = ReadAll(ring);
    ASSERT_EQ(n, static_cast<int>(walk.size()));
    EXPECT_TRUE(std::equal(walk.begin(), walk.end(), snap));
}

// A writer thread and a reader that clears and snapshots: every snapshot is an ordered run of
// the writer's sequence (no torn or interleaved history).
TEST(RingBuffer, ConcurrentPutClearAndSnapshotStayConsistent) {
    CRingBuffer ring;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        unsigned char v = 0;
        while (!stop)
            ring.Put(v++);
    });
    unsigned char snap[RING_BUFFER_CAPACITY];
    for (int i = 0; i < 2000; ++i) {
        if (i % 100 == 0)
            ring.Clear();
        int n = ring.Snapshot(snap);
        for (int k = 1; k < n; ++k)
            ASSERT_EQ(static_cast<unsigned char>(snap[k - 1] + 1), snap[k]);
    }
    stop = true;
    writer.join();
}

}  // namespace

// Each stamped chunk marks its first byte while that byte is kept: marks leave with their bytes,
// a chunk longer than the history keeps no start, unstamped bytes carry none, Clear drops all.
TEST(RingBuffer, ChunkStartsFollowTheirBytes) {
    CRingBuffer ring;
    const auto stamp = [](int64_t s) { return platform::Stamp{s, s + 100}; };
    const std::string ab = "ab", cde = "cde", big(2046, 'x'), huge(3000, 'y');
    const auto put = [&](const std::string& s, int64_t t) {
        ring.Put(reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()),
                 stamp(t));
    };
    unsigned char out[RING_BUFFER_CAPACITY];
    std::vector<CRingBuffer::ChunkStart> starts;
    const auto indexes = [&] {
        ring.Snapshot(out, starts);
        std::vector<int> v;
        for (const auto& s : starts)
            v.push_back(s.index);
        return v;
    };

    put(ab, 1);
    ring.Put(reinterpret_cast<const unsigned char*>("-"), 1);  // unstamped: no start
    put(cde, 2);
    EXPECT_EQ(indexes(), (std::vector<int>{0, 3}));
    EXPECT_EQ(starts[1].at, stamp(2));

    put(big, 3);  // "ab" and "-" leave, "cde" is cut to "e": its start is gone
    EXPECT_EQ(indexes(), (std::vector<int>{1}));
    EXPECT_EQ(starts[0].at, stamp(3));

    put(huge, 4);
    EXPECT_TRUE(indexes().empty());
    put(ab, 5);
    EXPECT_EQ(indexes(), (std::vector<int>{RING_BUFFER_CAPACITY - 2}));
    ring.Clear();
    put(cde, 6);
    EXPECT_EQ(indexes(), (std::vector<int>{0}));
    EXPECT_EQ(starts[0].at, stamp(6));
}
