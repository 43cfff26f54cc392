// The network link over UDP as vaskel-passthrough sees it: how the device server packed the
// serial bytes into datagrams (their count and sizes), and, when a run fails, which datagrams
// were lost, repeated or reordered on the way, found from the bytes themselves.
#pragma once

#include <QJsonObject>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Traffic.h"
#include "transfer/PassThrough.h"

// Datagram sizes in buckets: 1, 2-15, 16-63, 64-255, 256-1023 and 1024 bytes or more.
struct DatagramSizes {
    static constexpr int kBuckets = 6;
    int64_t count = 0;
    int64_t bytes = 0;
    int64_t smallest = 0;  // bytes of the smallest and largest datagram (0: none)
    int64_t largest = 0;
    std::array<int64_t, kBuckets> buckets{};

    void Add(size_t n);
    // "1", "2-15", "16-63", "64-255", "256-1023", "1024+"
    static const char* BucketName(int k);
    // "1026 datagrams from the device server, 16 to 8192 bytes (mean 1022.3); by size 1: 0,
    // 2-15: 0, 16-63: 1, 64-255: 3, 256-1023: 10, 1024+: 1012", or "no datagrams from the
    // device server".
    std::string Text() const;
    // "1:0 2-15:0 16-63:1 64-255:3 256-1023:10 1024+:1012"
    std::string Compact() const;
    // {"count", "bytes", "min_bytes", "max_bytes", "sizes": [{"bucket": "2-15", "min": 2,
    // "max": 15, "count": 0}, ...]} ("max" null for the last bucket).
    QJsonObject Json() const;
    bool operator==(const DatagramSizes&) const = default;
};

// Datagrams in the order they crossed the link: their bytes one after the other, and where each
// ends in them.
struct Datagrams {
    std::string bytes;
    std::vector<int64_t> ends;
    size_t Count() const { return ends.size(); }
    std::string_view At(size_t k) const {
        const int64_t begin = k == 0 ? 0 : ends[k - 1];
        return std::string_view(bytes).substr(static_cast<size_t>(begin),
                                              static_cast<size_t>(ends[k] - begin));
    }
    void Add(const unsigned char* b, size_t n) {
        bytes.append(reinterpret_cast<const char*>(b), n);
        ends.push_back(static_cast<int64_t>(bytes.size()));
    }
};

// What the datagrams of one failed run show, from the data.
struct DatagramFinding {
    int64_t datagrams = 0;  // the datagrams judged (sent ones, or received ones)
    int64_t lost = 0;       // net to serial: sent datagrams not found in the serial bytes
    int64_t lostBytes = 0;  // serial to net: bytes of the sent data no datagram carried
    int64_t gaps = 0;       // serial to net: the runs of such bytes
    int64_t repeated = 0;   // found again where the data had already come
    int64_t reordered = 0;  // found before data that was sent ahead of it
    int64_t unplaced = 0;   // serial to net: received datagrams not found in the sent data
    // The first of each, in words: "#17, file bytes 16384 to 17407".
    std::string firstLost, firstRepeated, firstReordered, firstUnplaced;
    bool Any() const { return lost || gaps || repeated || reordered || unplaced; }
    // "3 of 1024 file datagrams lost (first: #17, file bytes 16384 to 17407), 1 repeated
    // (first: #40, ...), 2 out of order (first: #90, ...)"; empty when nothing was found.
    std::string text;
};

// Net to serial: where each datagram sent (#0 the header, then the file's datagrams #1...) is
// found in the bytes the serial side received (`headerBytes` bytes of the header first). A
// datagram found nowhere is lost, one found twice repeated, one found before a datagram sent
// ahead of it out of order. Datagrams shorter than 8 bytes are only looked for where the one
// before them ended. Without `tailAwaited` (the capture ended full, before the rest could come)
// the datagrams after the last one found are not judged.
DatagramFinding FindSentDatagrams(const Datagrams& sent, std::string_view received,
                                  int64_t headerBytes, bool tailAwaited = true);
// Serial to net: where each datagram received (#1 the first) is found in the bytes sent (the
// header, `headerBytes` long, then the file). Sent bytes no datagram carried are lost (told as
// gaps), a datagram carrying only bytes that had already come repeated, one found before data
// that had already come out of order, one found nowhere not in the sent data. A datagram under
// 40 bytes is looked up together with the ones after it, else near where the one before ended.
// Without `tailAwaited` the sent bytes after the last ones received are not judged.
DatagramFinding PlaceReceivedDatagrams(std::string_view sent, const Datagrams& received,
                                       int64_t headerBytes, bool tailAwaited = true);

// How many bytes each side of a run is recorded for the finding at most; beyond it the
// datagrams are still counted, but the run is not diagnosed.
constexpr int64_t kDatagramRecordLimit = 64 * 1024 * 1024;

// One run's datagrams as the reports give them.
struct DatagramReport {
    DatagramSizes received;    // the datagrams the network link received
    DatagramSizes sent;        // the datagrams the network link sent
    std::string finding;       // DatagramFinding::text, for a failed run; empty when none
    std::string notDiagnosed;  // why a failed run was not diagnosed (too much data), or empty
};

// Sees every chunk of both links of a UDP session, passing each on to the measurement behind it
// (a latency meter, a script runner): counts the datagrams the network link receives and sends,
// and while recording keeps the bytes a run's finding needs. Any thread.
class DatagramWatch : public platform::ITrafficObserver {
public:
    // The measurement every chunk goes on to (null: none); it must outlive the link threads.
    void SetInner(platform::ITrafficObserver* inner) { m_inner.store(inner); }
    // Starts counting afresh; with `record`, keeps what a run in `direction` needs for its
    // finding: the datagrams received (serial to net), or the datagrams sent and the serial bytes
    // received (net to serial), each up to kDatagramRecordLimit bytes.
    void Start(bool record, PassDirection direction);
    struct Taken {
        DatagramSizes received, sent;
        Datagrams netRx, netTx;
        std::string serialRx;
        bool overLimit = false;  // something was not recorded
    };
    // What was seen since Start; counting and recording stop.
    Taken Take();

    void Traffic(platform::TrafficKind kind, const platform::Stamp& at, const unsigned char* bytes,
                 size_t n) override;

private:
    std::atomic<platform::ITrafficObserver*> m_inner{nullptr};
    std::mutex m_lock;  // guards everything below
    bool m_counting = false;
    bool m_record = false;
    PassDirection m_direction = PassDirection::SerialToNet;
    Taken m_taken;
};
