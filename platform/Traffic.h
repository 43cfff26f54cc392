// One clock on every byte: the moment a chunk crossed a link, read right at its system call, and
// the observer that sees every chunk of both links. A write is stamped just before its system
// call and a read just after its own, so that the time between a write and the read that
// delivered its bytes always holds the whole trip and can never come out below zero.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform {

// A moment on both clocks, read one right after the other: steady (CLOCK_MONOTONIC) for
// intervals and order, wall (CLOCK_REALTIME) for the time of day it corresponds to. Nanoseconds.
struct Stamp {
    int64_t steadyNs = 0;
    int64_t wallNs = 0;
    static Stamp Now();
    bool operator==(const Stamp&) const = default;
};

// Which link a chunk crossed, and which way: received on (rx) or written to (tx) it.
enum class TrafficKind : uint8_t { SerialRx, SerialTx, NetRx, NetTx };
// "serial-rx", "serial-tx", "net-rx", "net-tx"
const char* TrafficKindName(TrafficKind kind);

// Sees every chunk that crosses a link, on the thread that moved it (a receive thread, a send
// worker, the UI thread), right after the system call that moved it; `at` is the stamp taken
// before a write's call and after a read's. Must not block and must not keep `bytes`.
class ITrafficObserver {
public:
    virtual ~ITrafficObserver() = default;
    virtual void Traffic(TrafficKind kind, const Stamp& at, const unsigned char* bytes,
                         size_t n) = 0;
};

// Where an I/O object reports its chunks: set by its owner before the object's threads run (or
// at any time: the slot is atomic). The observer set must outlive every thread of the object.
class TrafficSlot {
public:
    void Set(ITrafficObserver* observer) { m_observer.store(observer); }
    ITrafficObserver* Get() const { return m_observer.load(std::memory_order_acquire); }
    void Report(TrafficKind kind, const Stamp& at, const unsigned char* bytes, size_t n) const {
        if (ITrafficObserver* o = Get(); o && n > 0)
            o->Traffic(kind, at, bytes, n);
    }

private:
    std::atomic<ITrafficObserver*> m_observer{nullptr};
};

}  // namespace platform
