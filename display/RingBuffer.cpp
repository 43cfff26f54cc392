#include "display/RingBuffer.h"

#include <algorithm>
#include <cstring>

void CRingBuffer::Clear() {
    std::lock_guard lock(m_lock);
    m_nStart = m_nEnd = m_nCursor = 0;
    std::memset(m_abData, 0, sizeof m_abData);
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

void CRingBuffer::PutLocked(unsigned char b) {
    m_abData[m_nEnd] = b;
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

int CRingBuffer::Snapshot(unsigned char* out) const {
    std::lock_guard lock(m_lock);
    const int count = CountLocked();
    const int first = std::min(count, RING_BUFFER_SIZE - m_nStart);
    std::memcpy(out, m_abData + m_nStart, static_cast<size_t>(first));
    std::memcpy(out + first, m_abData, static_cast<size_t>(count - first));
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
