// The latency test of vaskel-passthrough: numbered frames written on one link at a steady
// interval, found again in the byte stream of the other link, and each frame's one-way time taken
// from the stamps of the system calls that moved its last byte (the engine's traffic observer).
// Also how the device packed the bytes: the sizes of the reads on the receiving side and the gaps
// between them.
#pragma once

#include <QJsonObject>

#include <cstdint>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Traffic.h"
#include "runner/Options.h"
#include "runner/StopSignals.h"
#include "transfer/PassThrough.h"

class TerminalEngine;
class ProgressLine;

// A frame: the marker byte, the sequence number (4 bytes, little-endian), then check bytes that
// are a hash of the run's key, the sequence number and their position, so that any changed byte
// (the sequence number's included) and a frame of another run are told apart from a good frame.
constexpr unsigned char LATENCY_FRAME_MARKER = 0xA5;
constexpr int LATENCY_MIN_FRAME_SIZE = 8;
void MakeLatencyFrame(uint32_t runKey, uint32_t seq, unsigned char* out, size_t size);
// True when `p` holds a good frame of the run `runKey` of `size` bytes; its number in *seq.
bool ReadLatencyFrame(uint32_t runKey, const unsigned char* p, size_t size, uint32_t* seq);

// p50/p90/p99/max of a set of durations, in milliseconds (nearest rank).
struct Percentiles {
    double p50 = 0, p90 = 0, p99 = 0, max = 0;
};
// `sorted` ascending; all zero when empty.
Percentiles PercentilesOf(const std::vector<double>& sorted);

// What one latency run found.
struct LatencyFigures {
    PassDirection direction = PassDirection::SerialToNet;
    int frameSize = 0;
    int planned = 0;                  // frames the run was to send
    int sent = 0;                     // frames written completely
    int received = 0;                 // distinct good frames that arrived
    int lost = 0;                     // sent or planned, never arrived (good or corrupted)
    int duplicated = 0;               // good frames that arrived again
    int reordered = 0;                // good frames that arrived after a higher-numbered one
    int corrupted = 0;                // frame-sized stretches of bytes that are no good frame
    std::vector<double> latenciesMs;  // one per received frame, ascending
    Percentiles latency;              // of latenciesMs
    double minMs = 0, meanMs = 0;
    std::map<size_t, uint64_t> readSizes;  // bytes per read on the receiving link -> reads
    uint64_t reads = 0;
    Percentiles gap;        // between consecutive reads on the receiving link, ms
    int64_t bytesRead = 0;  // on the receiving link during the run
    double seconds = 0;     // first frame written to last byte read
    double bytesPerSecond = 0;
    double maxLatencyMs = -1;  // the limit the run was held to (< 0: none)
    std::string linkLost;      // why frames stopped going out early; empty when all went
};

// The verdict of a latency run: 0 every planned frame arrived intact (and the p99 within the
// limit); 2 nothing at all arrived; 1 otherwise.
int LatencyExitCode(const LatencyFigures& f);
// "verified", "timeout" (nothing arrived), "lost" (frames lost or corrupted, link lost), "slow"
// (p99 above the limit).
std::string LatencyResultWord(const LatencyFigures& f);
// "Latency : p50 0.41 ms, p99 1.20 ms, max 2.31 ms, 1000 of 1000 frames"
std::string LatencyMessage(const LatencyFigures& f);
// What went wrong, for the line after the summary and the JUnit failure: "frames: 2 lost,
// 1 duplicated, 0 reordered, 1 corrupted; p99 1.20 ms is above --max-latency 1 ms"; empty when
// nothing did.
std::string LatencyProblems(const LatencyFigures& f);
// Every figure of the run for the JSON report (without the run's number).
QJsonObject LatencyJson(const LatencyFigures& f);

// Sees both links' traffic (set as the engine's measurement) and, while a run is armed, stamps
// the frames written on one link and finds them in what the other link reads. Any thread; the
// state is behind a lock held for the parsing of one chunk.
class LatencyMeter : public platform::ITrafficObserver {
public:
    void Arm(PassDirection direction, uint32_t runKey, int frameSize, int frames);
    // Stops looking and returns what was found; `sent` frames went out.
    LatencyFigures Disarm(int sent);
    // Good frames received so far, and the largest latency seen so far (ns).
    int Received() const;
    int64_t MaxSeenNs() const;

    void Traffic(platform::TrafficKind kind, const platform::Stamp& at, const unsigned char* bytes,
                 size_t n) override;

private:
    void Parse();
    void Accept(uint32_t seq, int64_t atNs);
    int64_t StampOf(uint64_t offset) const;

    mutable std::mutex m_lock;
    bool m_armed = false;
    platform::TrafficKind m_txKind{}, m_rxKind{};
    uint32_t m_key = 0;
    size_t m_size = 0;
    int m_frames = 0;
    // Sending side: bytes written so far; the stamp of the write that carried each frame's last
    // byte (-1: not yet).
    uint64_t m_txBytes = 0;
    std::vector<int64_t> m_txNs;
    // Receiving side: the first arrival of each frame (-1: not yet), the unparsed bytes from
    // stream offset m_base, and the reads that brought them (stream end, stamp).
    std::vector<int64_t> m_rxNs;
    std::vector<unsigned char> m_buf;
    uint64_t m_base = 0;
    uint64_t m_skipped = 0;  // bytes passed over since the last good frame
    std::vector<std::pair<uint64_t, int64_t>> m_chunks;
    int m_received = 0, m_duplicated = 0, m_reordered = 0, m_corrupted = 0;
    int64_t m_highest = -1;
    int64_t m_maxSeenNs = 0;
    std::map<size_t, uint64_t> m_readSizes;
    std::vector<int64_t> m_readNs;  // every read's stamp
    int64_t m_bytesRead = 0;
    int64_t m_firstTxNs = -1, m_lastRxNs = -1;
};

// Runs one direction of the latency test on the engine's open links (the engine's thread, in
// local event loops): writes the frames, waits for stragglers, returns the figures. `stop` ends
// it at once, with the figures so far.
LatencyFigures RunLatency(TerminalEngine& engine, LatencyMeter& meter, PassDirection direction,
                          const RunnerOptions& options, uint32_t runKey, ProgressLine& progress,
                          const SessionStop& stop);
