#include "transfer/Capture.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Paths.h"

const unsigned char g_abFileMarker[FILE_MARKER_SIZE] = {
    0x42, 0x44, 0x46, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x46, 0x44, 0x42,
};

// The serial capture runs on the receive thread: its progress needs the link still armed, and a
// rejected length leaves the time-out running. The network capture stops its time-out on a
// rejected length.
const CCaptureLinkTraits g_serialCaptureTraits = {
    .link = CaptureLink::Serial,
    .stopTimerOnReject = false,
    .progressNeedsArmed = true,
};
const CCaptureLinkTraits g_networkCaptureTraits = {
    .link = CaptureLink::Network,
    .stopTimerOnReject = true,
    .progressNeedsArmed = false,
};

void BuildFileHeader(uint32_t length, unsigned char* header) {
    for (int k = 0; k < FILE_MARKER_SIZE; ++k)
        header[k] = g_abFileMarker[k];
    header[14] = static_cast<unsigned char>(length >> 24);
    header[15] = static_cast<unsigned char>(length >> 16);
    header[16] = static_cast<unsigned char>(length >> 8);
    header[17] = static_cast<unsigned char>(length);
}

std::string CaptureFileName(const std::string& dir, const std::string& sendFileName,
                            const platform::LocalTime& t) {
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d_%02d%02d%02d_", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    // The name is meant to come without a directory; a '/' in it must not move the output file
    // out of the output folder.
    const size_t slash = sendFileName.rfind('/');
    const std::string name =
        slash == std::string::npos ? sendFileName : sendFileName.substr(slash + 1);
    return dir + stamp + name;
}

bool CSourceCompare::Open(const std::string& path) {
    if (!m_file.OpenRead(path))
        return false;
    m_nSize = m_file.GetLength();
    m_buf.resize(BLOCK);
    m_nPos = m_nLen = 0;
    m_nOffset = 0;
    m_firstMismatch.reset();
    return true;
}

void CSourceCompare::Feed(const unsigned char* bytes, int n) {
    size_t left = n > 0 ? static_cast<size_t>(n) : 0;
    if (m_firstMismatch) {
        m_nOffset += static_cast<int64_t>(left);
        return;
    }
    while (left > 0) {
        if (m_nPos == m_nLen) {
            // The sent file ended (or cannot be read any further) before the stored bytes: they
            // differ here. A read error is never taken for equality.
            const long r = m_file.IsOpen() ? m_file.Read(m_buf.data(), m_buf.size()) : -1;
            if (r <= 0) {
                m_firstMismatch = m_nOffset;
                m_nOffset += static_cast<int64_t>(left);
                return;
            }
            m_nPos = 0;
            m_nLen = static_cast<size_t>(r);
        }
        const size_t k = std::min(left, m_nLen - m_nPos);
        const unsigned char* src = m_buf.data() + m_nPos;
        if (std::memcmp(bytes, src, k) != 0) {
            size_t i = 0;
            while (bytes[i] == src[i])
                ++i;
            m_firstMismatch = m_nOffset + static_cast<int64_t>(i);
            m_nOffset += static_cast<int64_t>(left);
            return;
        }
        m_nPos += k;
        m_nOffset += static_cast<int64_t>(k);
        bytes += k;
        left -= k;
    }
}

void CSourceCompare::Complete(int64_t stored) {
    if (!m_firstMismatch && stored != m_nSize)
        m_firstMismatch = std::min(stored, m_nSize);
}

namespace {

// What the capture has accepted so far; `completed`: it accepted every announced byte, so a sent
// file of another length differs. The byte count is settled once the file is written (Settle).
// Caller holds the capture lock.
CaptureTally TallyOf(CCaptureFields& link, bool completed) {
    CaptureTally t;
    if (link.m_nCaptureState >= CAPTURE_DATA)
        t.announced = static_cast<int64_t>(static_cast<uint32_t>(link.m_nCaptureLength));
    t.stored = link.m_nCaptureReceived;
    if (link.m_nCaptureState >= CAPTURE_DATA && link.m_pSink)
        t.path = link.m_pSink->path;
    t.lastStored = link.m_tLastStored;
    if (link.m_pCompare) {
        if (completed)
            link.m_pCompare->Complete(t.stored);
        t.sourceSize = link.m_pCompare->SourceSize();
        t.firstMismatch = link.m_pCompare->FirstMismatch();
    }
    return t;
}

// The file holds `onDisk` of the bytes the tally counted: a difference found beyond them is not
// in the file.
void Settle(CaptureTally& t, int64_t onDisk) {
    if (onDisk < 0)
        onDisk = 0;
    if (onDisk >= t.stored)
        return;
    t.stored = onDisk;
    if (t.firstMismatch && *t.firstMismatch >= onDisk)
        t.firstMismatch.reset();
}

// Every end of a capture and every reset: numbers 0, link disarmed, and the output file let go
// of; it is returned to the caller, who finishes it once the lock is released (see FinishSink).
// Held marker or length bytes are thereby discarded. Caller holds the capture lock.
std::shared_ptr<CaptureSink> ClearCaptureFields(CCaptureFields& link) {
    link.m_pCompare.reset();
    link.m_tLastStored = {};
    link.m_bCaptureArmed.store(0);
    link.m_nCaptureState = CAPTURE_IDLE;
    link.m_nCapturePos = 0;
    link.m_nCaptureReceived = 0;
    link.m_nCaptureLength = 0;
    return std::move(link.m_pSink);
}

// Writes what was gathered for a file that has been let go of, and closes it; the bytes the file
// holds then (its length when a write failed: a write that fell short may have stored part of
// its block). Only the caller holds `sink` now, unless it was abandoned to a writer (see
// CaptureSink::abandoned), which is never finished here.
int64_t FinishSink(CaptureSink& sink, bool* ok = nullptr, std::string* why = nullptr) {
    bool good = sink.file.IsOpen();
    if (good && !sink.gathered.empty()) {
        good = sink.file.Write(sink.gathered.data(), sink.gathered.size());
        if (good)
            sink.written += static_cast<int64_t>(sink.gathered.size());
    }
    sink.gathered.clear();
    int64_t onDisk = sink.written;
    if (!good && sink.file.IsOpen())
        onDisk = sink.file.GetLength();
    if (why && !good)
        *why = sink.file.LastError();
    if (ok)
        *ok = good;
    return onDisk;
}

// How a capture ended, and the file it let go of, to be finished outside the lock.
struct CaptureEnding {
    CaptureEnd how = CaptureEnd::Completed;
    bool stopTimer = false;
    bool tell = true;  // false: the capture just stops (a chunk after a cancel or time-out)
    std::string path;  // the output file, once its name was made
    std::string why;   // OpenFailed, WriteFailed
    CaptureTally tally;
    std::shared_ptr<CaptureSink> sink;
};

// What one chunk asks of the main dialog beyond the console bytes. Gathered under the capture
// lock and carried out once it has been released (see CaptureStep in the header); each kind of
// effect happens at most once per chunk, so carrying them out in this fixed order is the order in
// which the chunk produced them.
struct CaptureEffects {
    uint64_t run = 0;         // the run the link was armed for when the chunk was handled
    int notifications = 0;    // one per mismatching byte of the marker scan
    int announcedLength = 0;  // > 0: a valid length was read
    bool progress = false;
    int received = 0;
    int length = 0;
    // A full block taken from the running capture's file, to be written outside the lock.
    std::shared_ptr<CaptureSink> blockSink;
    std::vector<unsigned char> block;
    std::optional<CaptureEnding> ending;
    bool restartTimer = false;
};

void EndCapture(CCaptureFields& link, CaptureEnd how, bool stopTimer, CaptureEffects& fx,
                bool tell = true) {
    CaptureEnding e;
    e.path = link.m_pSink ? link.m_pSink->path : std::string();
    e.tally = TallyOf(link, how == CaptureEnd::Completed);
    e.sink = ClearCaptureFields(link);  // a partial file (cancelled, write failed) stays on disk
    e.how = how;
    e.stopTimer = stopTimer;
    e.tell = tell;
    fx.ending = std::move(e);
}

// The marker scan from b[i]; returns the index after the bytes it used. A mismatch releases the
// held bytes to the console; the mismatching byte either starts a new candidate (0x42) or goes to
// the console as well. No proper suffix of a marker prefix starts with 0x42 except at its first
// byte, so restarting at the mismatching byte never misses a marker.
int ScanMarker(CCaptureFields& link, ICaptureHost& host, const unsigned char* b, int i, int n,
               CaptureEffects& fx) {
    while (i < n) {
        const unsigned char c = b[i++];
        if (c == g_abFileMarker[link.m_nCapturePos]) {
            link.m_abCaptureHeader[link.m_nCapturePos++] = c;
            if (link.m_nCapturePos == FILE_MARKER_SIZE) {
                link.m_nCaptureState = CAPTURE_LENGTH;
                link.m_nCapturePos = 0;
                break;
            }
            continue;
        }
        if (link.m_nCapturePos > 0)
            host.ConsoleAppend(link.m_abCaptureHeader, link.m_nCapturePos);
        if (c == g_abFileMarker[0]) {
            link.m_abCaptureHeader[0] = c;
            link.m_nCapturePos = 1;
        } else {
            host.ConsoleAppend(&c, 1);
            link.m_nCapturePos = 0;
        }
        ++fx.notifications;
    }
    return i;
}

// Gathers the length bytes from b[i]; returns the index after them. False when the capture ended
// (rejected length).
bool ReadLength(CCaptureFields& link, const CCaptureLinkTraits& traits, const unsigned char* b,
                int& i, int n, CaptureEffects& fx) {
    while (i < n && link.m_nCapturePos < 4)
        link.m_abCaptureHeader[link.m_nCapturePos++] = b[i++];
    if (link.m_nCapturePos < 4)
        return true;  // the rest of the length comes with the next chunk
    const unsigned char* h = link.m_abCaptureHeader;
    const uint32_t raw =
        (uint32_t{h[0]} << 24) | (uint32_t{h[1]} << 16) | (uint32_t{h[2]} << 8) | uint32_t{h[3]};
    link.m_nCaptureLength = static_cast<int32_t>(raw);  // top bit set = negative = rejected
    link.m_nCapturePos = 0;
    link.m_nCaptureState = CAPTURE_DATA;
    if (link.m_nCaptureLength <= 0) {
        EndCapture(link, CaptureEnd::Rejected, traits.stopTimerOnReject, fx);
        return false;
    }
    link.m_nCaptureReceived = 0;
    link.m_nLastPercent = -1;
    fx.announcedLength = link.m_nCaptureLength;
    return true;
}

// Gathers `count` file bytes; a block that is full before them is taken out to be written once
// the lock is released. Caller holds the capture lock.
void Gather(CaptureSink& sink, const std::shared_ptr<CaptureSink>& owner, const unsigned char* b,
            size_t count, CaptureEffects& fx) {
    if (!sink.writing && !sink.gathered.empty() &&
        sink.gathered.size() + count > CAPTURE_WRITE_BLOCK) {
        fx.block.swap(sink.gathered);
        fx.blockSink = owner;
        sink.writing = true;
    }
    if (sink.gathered.capacity() < CAPTURE_WRITE_BLOCK)
        sink.gathered.reserve(CAPTURE_WRITE_BLOCK);
    sink.gathered.insert(sink.gathered.end(), b, b + count);
}

// Takes the file bytes of b[i..n-1]; bytes after the file's end are dropped. False when the
// capture ended (open failed, cancelled).
bool WriteData(CCaptureFields& link, const CCaptureLinkTraits& traits, ICaptureHost& host,
               const unsigned char* b, int i, int n, CaptureEffects& fx) {
    if (link.m_nCapturePos == 0) {
        // Created as soon as the header is complete, even before the first data byte.
        const CaptureArm& arm = link.m_arm;
        const std::string dir =
            arm.outputDir.empty() ? platform::ProgramDirectory() : arm.outputDir;
        const platform::LocalTime now = arm.clock ? arm.clock() : platform::GetLocalTime();
        auto sink = std::make_shared<CaptureSink>();
        sink->path = CaptureFileName(dir, arm.sendFileName, now);
        const bool opened = sink->file.OpenCreateWrite(sink->path);
        const std::string why = sink->file.LastError();
        link.m_pSink = std::move(sink);
        if (!opened) {
            EndCapture(link, CaptureEnd::OpenFailed, true, fx);
            fx.ending->why = why;
            fx.ending->sink.reset();  // nothing to write or close
            return false;
        }
        link.m_nCapturePos = 1;
    }
    // The serial capture runs beside the window thread, which may have cancelled meanwhile.
    if (!host.IsTransferActive()) {
        EndCapture(link, CaptureEnd::Cancelled, true, fx);
        return false;
    }
    const int remaining = link.m_nCaptureLength - link.m_nCaptureReceived;
    const int available = n - i;
    const int count = remaining > available ? available : remaining;
    if (count > 0) {
        Gather(*link.m_pSink, link.m_pSink, b + i, static_cast<size_t>(count), fx);
        if (link.m_pCompare)
            link.m_pCompare->Feed(b + i, count);
        link.m_tLastStored = std::chrono::steady_clock::now();
    }
    link.m_nCaptureReceived += count;
    if (link.m_nCaptureReceived >= link.m_nCaptureLength)
        link.m_nCaptureState = CAPTURE_DONE;
    // 64-bit: received x 100 overflows 32 bits beyond 21474836 bytes.
    const int percent =
        static_cast<int>(int64_t{link.m_nCaptureReceived} * 100 / link.m_nCaptureLength);
    if (host.IsTransferActive() && (!traits.progressNeedsArmed || link.m_bCaptureArmed.load())) {
        const auto now = std::chrono::steady_clock::now();
        if (link.m_nCaptureState == CAPTURE_DONE || percent != link.m_nLastPercent ||
            now - link.m_tLastProgress >= std::chrono::milliseconds(CAPTURE_PROGRESS_INTERVAL_MS)) {
            fx.progress = true;
            fx.received = link.m_nCaptureReceived;
            fx.length = link.m_nCaptureLength;
            link.m_nLastPercent = percent;
            link.m_tLastProgress = now;
        }
    }
    return true;
}

// The state machine for one chunk; caller holds the capture lock.
void RunStep(CCaptureFields& link, const CCaptureLinkTraits& traits, ICaptureHost& host,
             const unsigned char* b, int n, CaptureEffects& fx) {
    // Cancelled or timed out: the chunk reaches neither the console nor a file.
    if (!host.IsTransferActive()) {
        EndCapture(link, CaptureEnd::Cancelled, false, fx, false);
        return;
    }
    int i = 0;
    if (link.m_nCaptureState == CAPTURE_MARKER)
        i = ScanMarker(link, host, b, i, n, fx);
    if (link.m_nCaptureState == CAPTURE_LENGTH && !ReadLength(link, traits, b, i, n, fx))
        return;
    if (link.m_nCaptureState == CAPTURE_DATA && !WriteData(link, traits, host, b, i, n, fx))
        return;
    if (link.m_nCaptureState == CAPTURE_DONE)
        EndCapture(link, CaptureEnd::Completed, true, fx);
    // Any chunk handled while armed pushes the time-out back; the only place it starts.
    fx.restartTimer = link.m_bCaptureArmed.load() == 1;
}

// The chunk's file writes, with the capture lock released. A failed write (or a file whose name
// was removed) ends the capture as WriteFailed with what the file holds; a block whose capture
// was reset meanwhile is undone (see CaptureSink::abandoned).
void WriteOut(CCaptureFields& link, CaptureEffects& fx) {
    if (fx.blockSink) {
        CaptureSink& sink = *fx.blockSink;
        bool ok = sink.file.Write(fx.block.data(), fx.block.size());
        // A file whose name was removed (it, or the whole folder) goes on taking writes that
        // nobody will find: such a capture fails with nothing stored instead of claiming a file.
        bool linked = ok && sink.file.IsLinked();
        bool abandoned;
        {
            std::lock_guard lock(link.m_captureLock);
            sink.writing = false;
            abandoned = sink.abandoned;
            if (!abandoned && ok)
                sink.written += static_cast<int64_t>(fx.block.size());
            // Failed while the capture still runs: it ends here (one that ended in this chunk
            // already let go of the file, and is failed below).
            if (!abandoned && !(ok && linked) && link.m_pSink == fx.blockSink) {
                fx.progress = false;
                fx.restartTimer = false;
                EndCapture(link, CaptureEnd::WriteFailed, true, fx);
            }
        }
        if (abandoned) {
            sink.file.TruncateTo(sink.written);
            sink.file.Close();
        } else if (!(ok && linked) && fx.ending && fx.ending->sink == fx.blockSink) {
            fx.progress = false;
            fx.restartTimer = false;
            fx.ending->how = CaptureEnd::WriteFailed;
            fx.ending->stopTimer = true;
            fx.ending->why = sink.file.LastError();
            // A write that fell short (disk full) may have stored part of its block.
            Settle(fx.ending->tally, ok ? 0 : sink.file.GetLength());
            sink.gathered.clear();
            sink.file.Close();
            fx.ending->sink.reset();
        }
        fx.block.clear();
        fx.blockSink.reset();
    }
    if (!fx.ending || !fx.ending->sink)
        return;
    CaptureEnding& e = *fx.ending;
    CaptureSink& sink = *e.sink;
    bool ok = true;
    std::string why;
    const int64_t onDisk = FinishSink(sink, &ok, &why);
    if (e.how == CaptureEnd::Completed && ok && !sink.file.IsLinked()) {
        ok = false;
        why = sink.file.LastError();
        Settle(e.tally, 0);
    } else {
        Settle(e.tally, onDisk);
    }
    if (!ok && (e.how == CaptureEnd::Completed || e.how == CaptureEnd::WriteFailed)) {
        fx.progress = false;
        e.how = CaptureEnd::WriteFailed;
        e.why = why;
    }
    sink.file.Close();
    e.sink.reset();
}

// The side of one chunk that reaches beyond the link, with the capture lock released.
void ApplyEffects(const CCaptureLinkTraits& traits, ICaptureHost& host, const CaptureEffects& fx) {
    for (int k = 0; k < fx.notifications; ++k)
        host.ConsoleNotify();
    if (fx.announcedLength > 0)
        host.CaptureProgress(fx.run, 0, fx.announcedLength);
    if (fx.progress)
        host.CaptureProgress(fx.run, fx.received, fx.length);
    if (fx.ending && fx.ending->tell) {
        const CaptureEnding& e = *fx.ending;
        host.ClearTransferActive(fx.run);
        if (e.stopTimer)
            host.StopTimeout(fx.run, traits.link);
        host.CaptureEnded(fx.run, e.how, e.tally, e.path, e.why);
    }
    if (fx.restartTimer)
        host.StartTimeout(fx.run, traits.link);
}

}  // namespace

void CCaptureFields::ArmCapture(const std::string& sendFileName, const std::string& outputDir,
                                CaptureClock clock, std::unique_ptr<CSourceCompare> compare,
                                uint64_t run) {
    ResetCapture();
    std::lock_guard lock(m_captureLock);
    m_arm.run = run;
    m_pCompare = std::move(compare);
    m_tLastStored = {};
    m_arm.sendFileName = sendFileName;
    m_arm.outputDir = outputDir;
    m_arm.clock = std::move(clock);
    m_nCaptureReceived = 0;
    m_nCaptureLength = 0;
    m_nCapturePos = 0;
    m_nCaptureState = CAPTURE_MARKER;
    m_bCaptureArmed.store(1);  // last: a receive thread that sees 1 finds the state set
}

CaptureTally CCaptureFields::ResetCapture() {
    CaptureTally t;
    std::shared_ptr<CaptureSink> sink;
    {
        std::lock_guard lock(m_captureLock);
        t = TallyOf(*this, false);
        sink = ClearCaptureFields(*this);
        if (sink && sink->writing) {
            // Its writer cuts the file back to what it held before its block and closes it.
            sink->abandoned = true;
            Settle(t, sink->written);
            return t;
        }
    }
    if (sink) {
        Settle(t, FinishSink(*sink));
        sink->file.Close();
    }
    return t;
}

bool CCaptureFields::FileOpen() const {
    std::lock_guard lock(m_captureLock);
    return m_pSink && m_pSink->file.IsOpen();
}

size_t CCaptureFields::GatheredBytes() const {
    std::lock_guard lock(m_captureLock);
    return m_pSink ? m_pSink->gathered.size() : 0;
}

void CaptureStep(CCaptureFields& link, const CCaptureLinkTraits& traits, ICaptureHost& host,
                 const unsigned char* b, int n) {
    if (b == nullptr || n <= 0)
        return;
    CaptureEffects fx;
    {
        std::lock_guard lock(link.m_captureLock);
        fx.run = link.m_arm.run;
        RunStep(link, traits, host, b, n, fx);
    }
    WriteOut(link, fx);
    ApplyEffects(traits, host, fx);
}
