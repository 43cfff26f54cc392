// The capture step on an arbitrary stream, cut into arbitrary chunks, with a host that records
// what the capture tells it and a transfer that may be cancelled, timed out or started again.
//
// Input: a flags byte (bit 0: start on the network link's traits, bit 1: progress dialog
// visible), a plan length P, P plan bytes, then the stream. Plan bytes, in order:
//   0x00..0x7F  deliver the next 1..128 stream bytes as one chunk
//   0x80..0xBF  deliver the next 64, 128, ... 4096 stream bytes as one chunk
//   0xC0..0xFF  by value modulo 4: cancel the transfer; start a new transfer (arm again);
//               switch between the serial and network traits; time-out (reset the link)
// When the plan ends, the rest of the stream goes out in chunks of 2048 bytes.
//
// A model of each transfer reads the same bytes: the first marker, the 4-byte length after it,
// the file bytes after that. Checked after every chunk: the stored file never exceeds the
// announced length; in a transfer never cancelled it holds exactly the file bytes received so
// far, the capture ends as Completed exactly when all announced bytes have arrived (then the file
// equals them) and as Rejected exactly for a length of 0 or with the top bit set, and the bytes
// before the marker reach the console.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "transfer/Capture.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

const std::string_view kMarker(reinterpret_cast<const char*>(g_abFileMarker), FILE_MARKER_SIZE);
const std::string kSendName = "fuzz.bin";

// The per-process output folder (tmpfs when there is one) and the file every capture writes:
// the clock is fixed, so each capture truncates the same file.
std::string g_dir;
std::string g_outputPath;

platform::LocalTime FixedTime() {
    return {2007, 3, 5, 14, 7, 9};
}

void RemoveOutput() {
    if (!g_outputPath.empty())
        unlink(g_outputPath.c_str());
    if (!g_dir.empty())
        rmdir(g_dir.c_str());
}

// Size of the output file, -1 when there is none.
long long OutputSize() {
    struct stat st {};
    if (stat(g_outputPath.c_str(), &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

std::string ReadOutput() {
    std::string content;
    const int fd = open(g_outputPath.c_str(), O_RDONLY | O_CLOEXEC);
    Check(fd >= 0);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        content.append(buf, static_cast<size_t>(n));
    close(fd);
    return content;
}

class RecordingHost : public ICaptureHost {
public:
    bool active = true;
    bool visible = true;
    std::string console;
    int completed = 0, rejected = 0, cancelled = 0;

    bool IsTransferActive() override { return active; }
    void ClearTransferActive(uint64_t) override { active = false; }
    void ConsoleAppend(const unsigned char* bytes, int n) override {
        Check(n > 0);
        console.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
    }
    void ConsoleNotify() override {}
    void StartTimeout(uint64_t, CaptureLink) override {}
    void StopTimeout(uint64_t, CaptureLink) override {}
    void CaptureProgress(uint64_t, int64_t stored, int64_t announced) override {
        Check(announced > 0 && stored >= 0 && stored <= announced);
    }
    void CaptureEnded(uint64_t, CaptureEnd how, const CaptureTally&, const std::string& path,
                      const std::string&) override {
        switch (how) {
            case CaptureEnd::Completed:
                Check(path == g_outputPath);
                ++completed;
                break;
            case CaptureEnd::Rejected:
                ++rejected;
                break;
            case CaptureEnd::Cancelled:
                ++cancelled;
                break;
            case CaptureEnd::OpenFailed:
            case CaptureEnd::WriteFailed:
                std::abort();  // the temporary folder takes every file
        }
    }
};

// What one transfer should do with the bytes that reached its capture step.
class Model {
public:
    void Add(std::string_view chunk) {
        m_bytes.append(chunk);
        if (m_markerAt != std::string::npos)
            return;
        m_markerAt = m_bytes.find(kMarker, m_searched);
        if (m_markerAt == std::string::npos && m_bytes.size() >= kMarker.size())
            m_searched = m_bytes.size() - kMarker.size() + 1;
    }
    bool HasHeader() const {
        return m_markerAt != std::string::npos && m_bytes.size() >= m_markerAt + FILE_HEADER_SIZE;
    }
    uint32_t Length() const {
        const auto* h = reinterpret_cast<const unsigned char*>(m_bytes.data() + m_markerAt);
        return (uint32_t{h[14]} << 24) | (uint32_t{h[15]} << 16) | (uint32_t{h[16]} << 8) |
               uint32_t{h[17]};
    }
    bool Rejected() const { return HasHeader() && (Length() == 0 || Length() >= 0x80000000u); }
    std::string_view Data() const {
        const size_t from = m_markerAt + FILE_HEADER_SIZE;
        const size_t available = m_bytes.size() - from;
        return std::string_view(m_bytes).substr(from, available < Length() ? available : Length());
    }
    bool Complete() const { return HasHeader() && !Rejected() && Data().size() == Length(); }
    // The bytes the marker scan releases: all before the marker, or, while none has come, all
    // but the end that may still start one.
    std::string_view Console() const {
        if (m_markerAt != std::string::npos)
            return std::string_view(m_bytes).substr(0, m_markerAt);
        size_t held = kMarker.size() - 1;
        while (held > 0 && !(m_bytes.size() >= held &&
                             std::string_view(m_bytes).substr(m_bytes.size() - held) ==
                                 kMarker.substr(0, held)))
            --held;
        return std::string_view(m_bytes).substr(0, m_bytes.size() - held);
    }

private:
    std::string m_bytes;
    size_t m_searched = 0;
    size_t m_markerAt = std::string::npos;
};

struct Run {
    CCaptureFields link;
    RecordingHost host;
    const CCaptureLinkTraits* traits = &g_serialCaptureTraits;
    Model model;
    bool clean = true;  // neither cancelled nor timed out

    void Arm() {
        unlink(g_outputPath.c_str());  // so that a file present belongs to this transfer
        host.active = true;
        host.console.clear();
        host.completed = host.rejected = host.cancelled = 0;
        model = Model();
        clean = true;
        link.ArmCapture(kSendName, g_dir, &FixedTime);
    }

    void Deliver(const unsigned char* b, int n) {
        if (link.m_bCaptureArmed.load() != 1)
            return;  // the console's business, not the capture's
        model.Add(std::string_view(reinterpret_cast<const char*>(b), static_cast<size_t>(n)));
        CaptureStep(link, *traits, host, b, n);
        CheckStep();
    }

    void CheckStep() {
        Check(host.completed + host.rejected + host.cancelled <= 1);
        if (link.m_nCaptureState == CAPTURE_DATA)
            Check(link.m_nCaptureReceived >= 0 && link.m_nCaptureReceived <= link.m_nCaptureLength);
        const long long size = OutputSize();
        if (!model.HasHeader() || model.Rejected()) {
            Check(size < 0);  // no file without a valid header
        } else if (size >= 0) {
            Check(static_cast<unsigned long long>(size) <= model.Length());
        }
        if (host.completed || host.rejected || host.cancelled)
            CheckIdle();
        if (host.rejected)
            Check(model.Rejected());
        if (host.cancelled)
            Check(!clean);
        if (host.completed) {
            Check(model.Complete());
            const std::string stored = ReadOutput();
            Check(stored.size() == model.Length() && stored == model.Data());
        }
        if (!clean)
            return;
        Check(host.completed == (model.Complete() ? 1 : 0));
        Check(host.rejected == (model.Rejected() ? 1 : 0));
        Check(host.cancelled == 0);
        if (model.HasHeader() && !model.Rejected() && !model.Complete()) {
            Check(link.m_bCaptureArmed.load() == 1 && link.m_nCaptureState == CAPTURE_DATA);
            // What the file holds and what is gathered for its next write.
            Check(size + static_cast<long long>(link.GatheredBytes()) ==
                  static_cast<long long>(model.Data().size()));
        }
    }

    void CheckIdle() {
        Check(link.m_bCaptureArmed.load() == 0 && link.m_nCaptureState == CAPTURE_IDLE);
        Check(!link.FileOpen());
    }

    // At the end of a transfer (a new one starts, or the input ends): the file holds the start of
    // the file bytes, and a transfer never cancelled showed exactly the bytes before the marker.
    void Finish() {
        if (OutputSize() >= 0) {
            const std::string stored = ReadOutput();
            Check(model.HasHeader() && model.Data().substr(0, stored.size()) == stored);
        }
        if (clean)
            Check(host.console == model.Console());
        else
            Check(model.Console().substr(0, host.console.size()) == host.console);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
    if (base.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string pattern = base + "/vaskel-fuzz-capture-XXXXXX";
    Check(mkdtemp(pattern.data()) != nullptr);
    g_dir = pattern + "/";
    g_outputPath = CaptureFileName(g_dir, kSendName, FixedTime());
    std::atexit(RemoveOutput);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    static Run* run = new Run;  // one link for the whole process, as the program has
    Run& r = *run;
    r.link.ResetCapture();
    r.traits = data[0] & 1 ? &g_networkCaptureTraits : &g_serialCaptureTraits;
    r.host.visible = (data[0] & 2) != 0;
    r.Arm();

    size_t planSize = data[1];
    if (planSize > size - 2)
        planSize = size - 2;
    const uint8_t* plan = data + 2;
    const uint8_t* stream = plan + planSize;
    size_t left = size - 2 - planSize;

    auto deliver = [&](size_t n) {
        if (n > left)
            n = left;
        if (n == 0)
            return;
        r.Deliver(stream, static_cast<int>(n));
        stream += n;
        left -= n;
    };
    for (size_t k = 0; k < planSize; ++k) {
        const uint8_t op = plan[k];
        if (op < 0x80) {
            deliver(op + 1u);
        } else if (op < 0xC0) {
            deliver((op - 0x80u + 1u) * 64u);
        } else {
            switch (op % 4) {
                case 0:  // Cancel pressed
                    r.host.active = false;
                    r.clean = false;
                    break;
                case 1:  // the next transfer
                    r.Finish();
                    r.Arm();
                    break;
                case 2:
                    r.traits = r.traits == &g_serialCaptureTraits ? &g_networkCaptureTraits
                                                                  : &g_serialCaptureTraits;
                    break;
                default:  // the time-out
                    r.link.ResetCapture();
                    r.host.active = false;
                    r.clean = false;
                    r.CheckIdle();
                    break;
            }
        }
    }
    while (left > 0)
        deliver(2048);
    r.Finish();
    return 0;
}
