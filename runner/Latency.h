// The latency test of vaskel-passthrough: numbered frames written on one link at a steady
// interval, found again in the byte stream of the other link, and each frame's one-way time taken
// from the stamps of the system calls that moved its last byte (the engine's traffic observer):
// from just before the write that carried it to just after the read that delivered it. Also how
// the device packed the bytes: the sizes of the reads on the receiving side and the gaps between
// them; what the links held before the first frame; and the runner's own floor, the same
// measurement with nothing but the kernel between writer and reader.
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
    int planned = 0;     // frames the run was to send
    int sent = 0;        // frames written completely
    int received = 0;    // distinct good frames that arrived
    int lost = 0;        // sent or planned, never arrived (good or corrupted)
    int duplicated = 0;  // good frames that arrived more than once (each counted once)
    int reordered = 0;   // good frames that arrived after a higher-numbered one
    // Frames expected where other bytes came instead: each frame-sized stretch (or what is left
    // of a cut frame) in a place where a frame that never arrived good was due. Every planned
    // frame is exactly one of received, corrupted or lost, so lost + corrupted + duplicated never
    // exceed the frames planned.
    int corrupted = 0;
    // Bytes that belong to no frame of the run: garbage between frames, frames of another run,
    // what is left of a stretch once the frames due there are counted corrupted.
    int64_t strayBytes = 0;
    std::vector<double> latenciesMs;  // one per received frame, ascending (never clamped)
    Percentiles latency;              // of latenciesMs
    double minMs = 0, meanMs = 0;
    // Frames read before they were written: the stamps are wrong and no figure can be trusted.
    int negative = 0;
    std::map<size_t, uint64_t> readSizes;  // bytes per read on the receiving link -> reads
    uint64_t reads = 0;
    Percentiles gap;        // between consecutive reads on the receiving link, ms
    int64_t bytesRead = 0;  // on the receiving link during the run
    double seconds = 0;     // first frame written to last byte read
    double bytesPerSecond = 0;
    double waitedSeconds = 0;  // first frame written to the end of the run's wait
    double maxLatencyMs = -1;  // the limit the run was held to (< 0: none)
    std::string linkLost;      // why frames stopped going out early; empty when all went
    // What the links delivered before the first frame, read and set aside until both were quiet
    // for LATENCY_QUIET_MS (never longer than LATENCY_DRAIN_MAX_MS): bytes, and whether the side
    // was still sending when the wait ended.
    int64_t waitingSerialBytes = 0, waitingNetBytes = 0;
    bool serialKeptSending = false, netKeptSending = false;
};

constexpr int LATENCY_QUIET_MS = 100;
constexpr int LATENCY_DRAIN_MAX_MS = 2000;

// The verdict of a latency run: 0 every planned frame arrived intact, no stray byte, no frame
// read before it was written, the p99 within the limit; 2 nothing at all arrived; 1 otherwise.
int LatencyExitCode(const LatencyFigures& f);
// "verified", "timeout" (nothing arrived), "lost" (frames lost or corrupted, link lost), "stray"
// (bytes of no frame), "invalid" (a frame read before it was written), "slow" (p99 above the
// limit).
std::string LatencyResultWord(const LatencyFigures& f);
// "Latency : p50 0.41 ms, p99 1.20 ms, max 2.31 ms, 1000 of 1000 frames"
std::string LatencyMessage(const LatencyFigures& f);
// What went wrong, for the line after the summary and the JUnit failure, each with its count and
// limit, joined by "; ": "nothing arrived on the network link within 1.2 s of the first frame",
// "3 of 100 frames lost", "2 frames corrupted", "40 stray bytes that belong to no frame",
// "1 frame read before it was written (min -0.01 ms): the stamps are out of order and the figures
// cannot be trusted", "1 frame duplicated", "1 frame reordered", "p99 4.20 ms is above
// --max-latency 2 ms", why the link went. Never empty when the exit code is not 0; empty when
// nothing went wrong.
std::string LatencyProblems(const LatencyFigures& f);
// What the links held before the first frame (not a fault): "2000 bytes were waiting on the
// serial side before the test; 1 byte was waiting on the network side before the test"; a side
// that never went quiet adds "and it did not go quiet within 2 s". Empty when nothing waited.
std::string LatencyWaitingText(const LatencyFigures& f);
// Every figure of the run for the JSON report (without the run's number).
QJsonObject LatencyJson(const LatencyFigures& f);

// Sees both links' traffic (set as the engine's measurement) and, while a run is armed, stamps
// the frames written on one link and finds them in what the other link reads. Any thread; the
// state is behind a lock held for the parsing of one chunk.
class LatencyMeter : public platform::ITrafficObserver {
public:
    // Counts what either link reads, as bytes that were waiting, until Arm.
    void BeginDrain();
    struct Drained {
        int64_t serialBytes = 0, netBytes = 0;
        int64_t lastSerialNs = -1, lastNetNs = -1;  // the stamp of each side's latest read
    };
    Drained DrainedSoFar() const;
    // From here on every read of the receiving link is the run's (nothing falls between the
    // drain and the run); the drain's counts go into the figures.
    void Arm(PassDirection direction, uint32_t runKey, int frameSize, int frames);
    // Stops looking and returns what was found; `sent` frames went out.
    LatencyFigures Disarm(int sent);
    // Good frames received so far, and the largest latency seen so far (ns).
    int Received() const;
    int64_t MaxSeenNs() const;

    void Traffic(platform::TrafficKind kind, const platform::Stamp& at, const unsigned char* bytes,
                 size_t n) override;

private:
    // What the armed run sends: the links, the run's key, the frame size and count.
    struct Plan {
        platform::TrafficKind txKind{}, rxKind{};
        uint32_t key = 0;
        size_t size = 0;
        int frames = 0;
    };
    // Sending side: bytes written so far, the stamp of the write that carried each frame's last
    // byte (-1: not yet), and the stamp of the first write.
    struct Sent {
        uint64_t bytes = 0;
        std::vector<int64_t> lastByteNs;
        int64_t firstNs = -1;
    };
    // Receiving side, in stream order: the unparsed bytes from stream offset `base`, and the reads
    // that brought them (stream end, stamp).
    struct Unparsed {
        std::vector<unsigned char> bytes;
        uint64_t base = 0;
        std::vector<std::pair<uint64_t, int64_t>> reads;
        // The stamp of the read that brought the byte at stream `offset`.
        int64_t StampOf(uint64_t offset) const;
    };
    // What the frames found so far come to. Per frame: its first arrival (-1: not yet), the bytes
    // of other stretches counted as that frame arrived corrupted (0: none), and whether a good
    // copy came more than once. `gap`: bytes passed over since the last good frame (number
    // `gapAfter`, -1: none yet); when the gap closes, its bytes go to the frames due in it that
    // have not arrived (corrupted), a frame's worth each, and the rest are stray.
    struct Tally {
        std::vector<int64_t> arrivedNs;
        std::vector<uint32_t> corruptBytes;
        std::vector<bool> repeated;
        int received = 0, duplicated = 0, reordered = 0;
        int64_t stray = 0;
        int64_t highest = -1;
        int64_t maxSeenNs = 0;
        uint64_t gap = 0;
        int64_t gapAfter = -1;
        void CloseGap(int64_t nextSeq, size_t frameSize);
        void Accept(uint32_t seq, int64_t atNs, const std::vector<int64_t>& sentNs);
    };
    // How the receiving link delivered: bytes per read -> reads, every read's stamp, the bytes
    // and the latest stamp.
    struct Reads {
        std::map<size_t, uint64_t> sizes;
        std::vector<int64_t> stamps;
        int64_t bytes = 0;
        int64_t lastNs = -1;
    };

    void Parse();

    mutable std::mutex m_lock;
    bool m_armed = false;
    bool m_draining = false;
    Drained m_drained;
    // The armed run's parts, made afresh by Arm.
    Plan m_plan;
    Sent m_sent;
    Unparsed m_unparsed;
    Tally m_tally;
    Reads m_reads;
};

// Runs one direction of the latency test on the engine's open links (the engine's thread, in
// local event loops): reads what both links hold until they are quiet, writes the frames, waits
// for stragglers, returns the figures. `stop` ends it at once, with the figures so far.
LatencyFigures RunLatency(TerminalEngine& engine, LatencyMeter& meter, PassDirection direction,
                          const RunnerOptions& options, uint32_t runKey, ProgressLine& progress,
                          const SessionStop& stop);

// The runner's own floor: the same meter and frame loop with nothing between writer and reader
// but the kernel. Frames written on the master of a fresh pty pair are read through the serial
// read path the runner uses (the engine's serial console), and frames sent on a loopback TCP
// connection through its network read path. No device is needed; 200 frames at 1 ms take about
// half a second. Runs local event loops on the calling thread.
struct LatencyFloorSide {
    bool measured = false;  // false: `failure` says why
    std::string failure;
    int frames = 0, received = 0;
    Percentiles latency;
    double minMs = 0;
};
struct LatencyFloor {
    int frameSize = 0, intervalMs = 0;
    LatencyFloorSide serial, network;
};
LatencyFloor MeasureLatencyFloor(int frameSize = 16, int frames = 200, int intervalMs = 1);
// "runner floor: serial p50 0.03 ms, p99 0.08 ms; network p50 0.02 ms, p99 0.05 ms"; a side not
// measured says "serial not measured (why)".
std::string LatencyFloorText(const LatencyFloor& floor);
// {"frame_size", "interval_ms", "serial": {"frames", "received", "p50", "p90", "p99", "max",
// "min"} or {"error"}, "network": the same}, milliseconds.
QJsonObject LatencyFloorJson(const LatencyFloor& floor);
