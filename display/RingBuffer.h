// Receive history of one link: the newest 2047 bytes, with a display cursor.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Traffic.h"

constexpr int RING_BUFFER_SIZE = 2048;
// One slot always stays free so that a full ring and an empty ring differ.
constexpr int RING_BUFFER_CAPACITY = RING_BUFFER_SIZE - 1;

constexpr int SEEK_OLDEST = 0;
constexpr int SEEK_NEWEST = 1;

// The serial history is written by the serial receive thread while the UI thread renders and
// clears it, so every operation takes the ring's own lock; Snapshot() copies the whole history
// under one lock, so that a render sees one consistent history.
class CRingBuffer {
public:
    CRingBuffer() { Clear(); }
    CRingBuffer(const CRingBuffer&) = delete;
    CRingBuffer& operator=(const CRingBuffer&) = delete;

    void Clear();
    int GetCount() const;
    bool Put(unsigned char b);
    // Appends n bytes in order under one lock, exactly as n calls of Put.
    void Put(const unsigned char* bytes, int n);
    // The same, for one received chunk: its first byte is marked as a chunk start with the
    // moment it was read.
    void Put(const unsigned char* bytes, int n, const platform::Stamp& at);
    bool Get(unsigned char& out);
    bool Seek(int origin, int offset);

    // Where the history ends: the bytes put since the ring was made, counted within the clears
    // so far. A place among the received bytes (where a line was sent, say) is the end it had
    // then; it stays comparable with later ends until the next Clear.
    struct End {
        uint64_t clears = 0;
        uint64_t put = 0;
    };
    End GetEnd() const;

    // Copies every retained byte, oldest first, into out (room for RING_BUFFER_CAPACITY bytes)
    // and returns their count. The cursor is left alone. `end`, when given, receives the end of
    // the history copied (taken under the same lock).
    int Snapshot(unsigned char* out, End* end = nullptr) const;
    // Where a received chunk starts in the snapshot, and when it was read.
    struct ChunkStart {
        int index = 0;
        platform::Stamp at;
    };
    // The same snapshot with the chunk starts among its bytes, in order (taken under the same
    // lock). A chunk whose first byte has left the history has no start here.
    int Snapshot(unsigned char* out, std::vector<ChunkStart>& starts, End* end = nullptr) const;

    // Raw state, for tests.
    int StartIndex() const;
    int EndIndex() const;
    int CursorIndex() const;
    unsigned char StorageAt(int index) const;

private:
    int CountLocked() const;
    void PutLocked(unsigned char b);

    mutable std::mutex m_lock;
    unsigned char m_abData[RING_BUFFER_SIZE];
    // Per slot: the byte there starts a received chunk, read at m_aStamp.
    bool m_abStart[RING_BUFFER_SIZE];
    platform::Stamp m_aStamp[RING_BUFFER_SIZE];
    int m_nStart;
    int m_nEnd;
    int m_nCursor;
    End m_end;
};
