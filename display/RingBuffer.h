// Receive history of one link: the newest 2047 bytes, with a display cursor.
#pragma once

#include <mutex>

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
    bool Get(unsigned char& out);
    bool Seek(int origin, int offset);

    // Copies every retained byte, oldest first, into out (room for RING_BUFFER_CAPACITY bytes)
    // and returns their count. The cursor is left alone.
    int Snapshot(unsigned char* out) const;

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
    int m_nStart;
    int m_nEnd;
    int m_nCursor;
};
