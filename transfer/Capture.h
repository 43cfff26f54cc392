// Inbound file capture: finds a file announced by the file header inside the byte stream of a
// link and stores it beside the program.
//
// One state machine serves both links; what differs between the serial port and the network link
// (console, timer, progress details) is described by CCaptureLinkTraits and carried out by the
// ICaptureHost that the pass-through implements for each link.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/Paths.h"

// The link a capture (and its silence time-out) is on.
enum class CaptureLink { Serial, Network };
// A link armed for capture that stays silent this long ends the transfer.
constexpr int CAPTURE_TIMEOUT_MS = 2000;

// The file header: a 14-byte marker, then the file length as 4 bytes, most significant first.
constexpr int FILE_MARKER_SIZE = 14;
constexpr int FILE_HEADER_SIZE = 18;
extern const unsigned char g_abFileMarker[FILE_MARKER_SIZE];
// Fills an 18-byte header for a file of `length` bytes.
void BuildFileHeader(uint32_t length, unsigned char* header);

// The progress dialog shows a new byte count at most this often (and at every new percentage
// and at the end): a person reads no more, and a capture at full speed stores tens of thousands
// of chunks a second, each of which would otherwise wait for the UI thread.
constexpr int CAPTURE_PROGRESS_INTERVAL_MS = 50;

enum CaptureState : int32_t {
    CAPTURE_IDLE = 0,
    CAPTURE_MARKER = 1,
    CAPTURE_LENGTH = 2,
    CAPTURE_DATA = 3,
    CAPTURE_DONE = 4,
};

// How a capture ended (passed to the host so it can tell the user).
enum class CaptureEnd { Completed, Cancelled, OpenFailed, Rejected, WriteFailed };

// Where a capture stores its file: the folder (with its trailing '/'; empty = the program's
// directory) and the clock that stamps the name (empty = local time now).
using CaptureClock = std::function<platform::LocalTime()>;

// Compares the bytes a capture stores with the file that was sent, while they are stored: the
// sent file is read alongside in 64 KiB blocks, so the verdict is ready with the last byte and
// nothing is read afterwards. Runs on whichever thread stores the bytes (the serial capture on
// the port's receive thread, the network capture on the UI thread), under the capture lock, as
// the bytes are accepted.
class CSourceCompare {
public:
    static constexpr size_t BLOCK = 64 * 1024;
    // Opens the sent file; false with LastError() when it cannot be read.
    bool Open(const std::string& path);
    const std::string& LastError() const { return m_file.LastError(); }
    int64_t SourceSize() const { return m_nSize; }
    // The next n stored bytes. Once a difference is found the rest is only counted.
    void Feed(const unsigned char* bytes, int n);
    // The capture completed with `stored` bytes: a capture that is shorter or longer than the sent
    // file differs where the shorter one ends.
    void Complete(int64_t stored);
    // Offset of the first stored byte that differs from the sent file, or where the sent file
    // ended (or could no longer be read) before the stored bytes did.
    std::optional<int64_t> FirstMismatch() const { return m_firstMismatch; }

private:
    platform::CFile m_file;
    int64_t m_nSize = -1;
    std::vector<unsigned char> m_buf;
    size_t m_nPos = 0;      // next unused byte of m_buf
    size_t m_nLen = 0;      // bytes in m_buf
    int64_t m_nOffset = 0;  // stored bytes compared so far
    std::optional<int64_t> m_firstMismatch;
};

// What a capture stored, told when it ends (and taken when it is reset by a time-out or a lost
// link).
struct CaptureTally {
    int64_t announced = -1;                // the header's length; -1 when the length was not read
    int64_t stored = 0;                    // file bytes in the capture file (on the disk)
    int64_t sourceSize = -1;               // the sent file's length; -1 when nothing was compared
    std::optional<int64_t> firstMismatch;  // see CSourceCompare::FirstMismatch
    std::string path;                      // the capture file, once it was created
    // When the last file byte was received for the file (steady clock); the epoch when none was.
    std::chrono::steady_clock::time_point lastStored{};
};

// The capture gathers file bytes and writes them in blocks of this size (one system call where
// a 255-byte chunk each would take hundreds), at the end of the capture, and whenever it is reset.
constexpr size_t CAPTURE_WRITE_BLOCK = 64 * 1024;

// A capture's file with the bytes gathered for it. The capture state points to it while the
// capture runs; a capture that ends, or is reset, lets go of it (under the capture lock), and
// whoever took it writes what was gathered and closes it outside the lock.
struct CaptureSink {
    platform::CFile file;  // created once the header is complete
    std::string path;
    std::vector<unsigned char> gathered;  // accepted, not yet handed to a write (capture lock)
    int64_t written = 0;                  // bytes the file holds (capture lock)
    // A block is being written outside the lock; only its writer touches `file` meanwhile
    // (capture lock).
    bool writing = false;
    // Reset while a block was being written: the reset told `written` bytes stored, so the
    // writer cuts the file back to them and closes it (capture lock).
    bool abandoned = false;
};

// What the link is armed with, taken when it is armed, so that the capture never reads what the
// UI thread may be writing for the next transfer: the sent file's name (without directory), the
// output folder, the clock, and the run (told with every effect of a chunk, so that whoever
// carries an effect out later, on another thread, can tell a finished run's from the current
// one's).
struct CaptureArm {
    std::string sendFileName;
    std::string outputDir;
    CaptureClock clock;
    uint64_t run = 0;
};

// The capture state of one link (the serial link or the network link).
class CCaptureFields {
public:
    // 1 while received chunks go through capture. Written last when arming, so that the serial
    // receive thread never sees the flag before the state.
    std::atomic<int32_t> m_bCaptureArmed{0};
    int32_t m_nCaptureState = CAPTURE_IDLE;
    int32_t m_nCapturePos = 0;  // marker/length bytes held, or in state 3 whether the file is open
    unsigned char m_abCaptureHeader[FILE_MARKER_SIZE];
    int32_t m_nCaptureReceived = 0;  // file bytes accepted (gathered or written)
    int32_t m_nCaptureLength = 0;
    // When progress was last shown, and its percentage: see CAPTURE_PROGRESS_INTERVAL_MS.
    std::chrono::steady_clock::time_point m_tLastProgress{};
    int32_t m_nLastPercent = -1;
    CaptureArm m_arm;
    // The capture's file, once the header is complete.
    std::shared_ptr<CaptureSink> m_pSink;
    // The sent file, compared with the accepted bytes (null: no comparison), and when the last
    // file byte was accepted.
    std::unique_ptr<CSourceCompare> m_pCompare;
    std::chrono::steady_clock::time_point m_tLastStored{};

    // Serialises the capture step (serial receive thread) against arming and the time-out's reset
    // (UI thread). Never held across a write to the capture file nor a wait for the UI thread.
    mutable std::mutex m_captureLock;

    // Arming: a capture still going (cancelled, never saw another chunk) is reset first; then
    // the file's name, folder, clock and comparison, position and state, the armed flag last.
    void ArmCapture(const std::string& sendFileName, const std::string& outputDir = {},
                    CaptureClock clock = {}, std::unique_ptr<CSourceCompare> compare = nullptr,
                    uint64_t run = 0);
    // Sets every field to 0 and lets go of the output file (time-out, cancellation). The bytes
    // gathered for it are written and it is closed on the calling thread, unless the capture
    // step is writing a block to it at this moment: the call never waits for that write, the
    // file is then cut back to what it held before that block, and its writer closes it.
    // Returns what the capture had stored until then: the byte count is what the file holds.
    CaptureTally ResetCapture();
    // The capture's file is open (tests).
    bool FileOpen() const;
    // File bytes accepted and not yet written (tests).
    size_t GatheredBytes() const;
};

// What differs between the two links.
struct CCaptureLinkTraits {
    CaptureLink link;         // whose time-out the capture starts and stops
    bool stopTimerOnReject;   // network stops its time-out on a rejected length
    bool progressNeedsArmed;  // serial: progress only while still armed
};
extern const CCaptureLinkTraits g_serialCaptureTraits;
extern const CCaptureLinkTraits g_networkCaptureTraits;

// What the capture asks of its pass-through. IsTransferActive and ConsoleAppend are called with
// the link's capture lock held and must never wait for another thread; every other call is made
// without it, on the capture's thread, and carries the run the link was armed for (see
// CCaptureFields::m_nRun). None of them may wait for the UI thread.
class ICaptureHost {
public:
    virtual ~ICaptureHost() = default;
    virtual bool IsTransferActive() = 0;
    virtual void ClearTransferActive(uint64_t run) = 0;
    // Bytes released to the link's console (marker scan mismatches), then one notification.
    virtual void ConsoleAppend(const unsigned char* bytes, int n) = 0;
    virtual void ConsoleNotify() = 0;
    virtual void StartTimeout(uint64_t run, CaptureLink link) = 0;
    virtual void StopTimeout(uint64_t run, CaptureLink link) = 0;
    // The capture's progress as values: once the header's length is read (stored 0), then the
    // file bytes stored so far, at most every CAPTURE_PROGRESS_INTERVAL_MS, at every new
    // percentage and with the last byte.
    virtual void CaptureProgress(uint64_t run, int64_t stored, int64_t announced) = 0;
    // How the capture ended, what it stored and how that compared, its file's path (when it got
    // that far) and, for a file that could not be stored, the OS's reason.
    virtual void CaptureEnded(uint64_t run, CaptureEnd how, const CaptureTally& tally,
                              const std::string& path, const std::string& why) = 0;
};

// One received chunk (n >= 1) on an armed link; consumes the whole chunk (whatever the capture
// does not use is dropped).
//
// Locking: the state changes happen under link.m_captureLock; the chunk's file bytes are gathered
// there, and a full block (or, at the end, the rest) is written after the lock has been released.
// Only host calls that never wait for the UI thread are made while it is held (IsTransferActive,
// and ConsoleAppend, whose ring buffer has its own lock). Every other host call is made after the
// lock has been released and the chunk's writes are done, in the order the chunk produced them:
// notifications, the length, the progress, the ending (ClearTransferActive, StopTimeout,
// CaptureEnded), the time-out restart. So the UI thread can always take the lock (ResetCapture,
// ArmCapture) without waiting for a disk, and a nested event loop inside a host call may run
// another step on the same link.
void CaptureStep(CCaptureFields& link, const CCaptureLinkTraits& traits, ICaptureHost& host,
                 const unsigned char* b, int n);

// Output file name: <dir>YYYYMMDD_HHMMSS_<name>. Only the part of `sendFileName` after its last
// '/' is used, so the file always lands in `dir` (which ends in '/').
std::string CaptureFileName(const std::string& dir, const std::string& sendFileName,
                            const platform::LocalTime& t);
