#include "display/RingBuffer.h"

#include <algorithm>
#include <cstring>

void CRingBuffer::Clear() {
    std::lock_guard lock(m_lock);
    m_nStart = m_nEnd = m_nCursor = 0;
    ++m_end.clears;
    m_end.put = 0;
    std::memset(m_abData, 0, sizeof m_abData);
    std::memset(m_abStart, 0, sizeof m_abStart);
}

int CRingBuffer::CountLocked() const {
    if (m_nEnd == m_nStart)
        return 0;
    if (m_nEnd > m_nStart)
        return m_nEnd - m_nStart;
    return m_nEnd - m_nStart + RING_BUFFER_SIZE;
}

int CRingBuffer::GetCount() const {
    std::lock_guard lock(m_lock);
    return CountLocked();
}

CRingBuffer::End CRingBuffer::GetEnd() const {
    std::lock_guard lock(m_lock);
    return m_end;
}

void CRingBuffer::PutLocked(unsigned char b) {
    ++m_end.put;
    m_abData[m_nEnd] = b;
    m_abStart[m_nEnd] = false;
    m_nEnd = (m_nEnd + 1) % RING_BUFFER_SIZE;
    if (m_nEnd == m_nStart) {
        // The ring held 2047 bytes: drop the oldest, and move the cursor off it if it was there.
        if (m_nCursor == m_nStart)
            m_nCursor = (m_nCursor + 1) % RING_BUFFER_SIZE;
        m_nStart = (m_nStart + 1) % RING_BUFFER_SIZE;
    }
}

bool CRingBuffer::Put(unsigned char b) {
    std::lock_guard lock(m_lock);
    PutLocked(b);
    return true;
}

void CRingBuffer::Put(const unsigned char* bytes, int n) {
    std::lock_guard lock(m_lock);
    for (int i = 0; i < n; ++i)
        PutLocked(bytes[i]);
}

void CRingBuffer::Put(const unsigned char* bytes, int n, const platform::Stamp& at) {
    if (n <= 0)
        return;
    std::lock_guard lock(m_lock);
    // Of a chunk longer than the ring only the tail stays, and its start is gone with its head.
    const int skip = std::max(0, n - RING_BUFFER_CAPACITY);
    const int first = m_nEnd;
    for (int i = 0; i < n; ++i)
        PutLocked(bytes[i]);
    if (skip == 0) {
        m_abStart[first] = true;
        m_aStamp[first] = at;
    }
}

bool CRingBuffer::Get(unsigned char& out) {
    std::lock_guard lock(m_lock);
    if (CountLocked() == 0 || m_nCursor == m_nEnd)
        return false;
    out = m_abData[m_nCursor];
    m_nCursor = (m_nCursor + 1) % RING_BUFFER_SIZE;
    return true;
}

bool CRingBuffer::Seek(int origin, int offset) {
    std::lock_guard lock(m_lock);
    const int count = CountLocked();
    if (count == 0)
        return false;
    if (origin == SEEK_OLDEST) {
        // A negative offset is outside the contract; it is clamped to the oldest byte.
        if (offset < 0)
            offset = 0;
        if (offset < count)
            m_nCursor = (m_nStart + offset) % RING_BUFFER_SIZE;
        else
            m_nCursor = (m_nEnd + RING_BUFFER_SIZE - 1) % RING_BUFFER_SIZE;
        return true;
    }
    if (origin == SEEK_NEWEST) {
        // A positive offset is outside the contract; it is clamped to the newest byte.
        if (offset > 0)
            offset = 0;
        if (count + offset > 0)
            m_nCursor = (m_nEnd + offset + RING_BUFFER_SIZE - 1) % RING_BUFFER_SIZE;
        else
            m_nCursor = m_nStart;
        return true;
    }
    return false;
}

int CRingBuffer::Snapshot(unsigned char* out, End* end) const {
    std::lock_guard lock(m_lock);
    if (end)
        *end = m_end;
    const int count = CountLocked();
    const int first = std::min(count, RING_BUFFER_SIZE - m_nStart);
    std::memcpy(out, m_abData + m_nStart, static_cast<size_t>(first));
    std::memcpy(out + first, m_abData, static_cast<size_t>(count - first));
    return count;
}

int CRingBuffer::Snapshot(unsigned char* out, std::vector<ChunkStart>& starts, End* end) const {
    std::lock_guard lock(m_lock);
    if (end)
        *end = m_end;
    const int count = CountLocked();
    const int first = std::min(count, RING_BUFFER_SIZE - m_nStart);
    std::memcpy(out, m_abData + m_nStart, static_cast<size_t>(first));
    std::memcpy(out + first, m_abData, static_cast<size_t>(count - first));
    starts.clear();
    for (int i = 0; i < count; ++i) {
        const int slot = (m_nStart + i) % RING_BUFFER_SIZE;
        if (m_abStart[slot])
            starts.push_back({i, m_aStamp[slot]});
    }
    return count;
}

int CRingBuffer::StartIndex() const {
    std::lock_guard lock(m_lock);
    return m_nStart;
}
int CRingBuffer::EndIndex() const {
    std::lock_guard lock(m_lock);
    return m_nEnd;
}
int CRingBuffer::CursorIndex() const {
    std::lock_guard lock(m_lock);
    return m_nCursor;
}
unsigned char CRingBuffer::StorageAt(int index) const {
    std::lock_guard lock(m_lock);
    return m_abData[index];
}
