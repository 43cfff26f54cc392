#include "transfer/Diagnosis.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::span<const unsigned char>;

constexpr unsigned char CR = 0x0D, LF = 0x0A;

// A byte-stream change: how one step of the sent stream (one byte, or a CR LF pair) comes out.
enum class Change {
    DoubledFF,  // 0xFF -> 0xFF 0xFF (Telnet's escape of its command byte)
    LfToCrLf,   // LF -> CR LF
    CrLfToLf,   // CR LF -> LF
    CrDropped,  // CR -> nothing
    CrToLf,     // CR -> LF
    LfToCr,     // LF -> CR
    CrToCrLf,   // CR -> CR LF
    TopBit,     // b -> b & 0x7F
};

const char* ChangeText(Change c) {
    switch (c) {
        case Change::DoubledFF:
            return "every 0xFF byte arrived doubled: the device server speaks Telnet on this port "
                   "(use RFC 2217 or set the port to raw TCP)";
        case Change::LfToCrLf:
            return "CR/LF translated: every LF became CR LF";
        case Change::CrLfToLf:
            return "CR/LF translated: every CR LF became LF";
        case Change::CrDropped:
            return "CR/LF translated: every CR was dropped";
        case Change::CrToLf:
            return "CR/LF translated: every CR became LF";
        case Change::LfToCr:
            return "CR/LF translated: every LF became CR";
        case Change::CrToCrLf:
            return "CR/LF translated: every CR became CR LF";
        case Change::TopBit:
            return "the top bit of every byte was cleared: 7 data bits somewhere on the way";
    }
    return "";
}

// One step of `c` at sent[i]: fills out[] (0 to 2 bytes), returns the bytes consumed (0: a CR at
// the end of a span that stops before its file does, whose pair is unknown) and whether the
// change acted on them.
size_t Step(Change c, Bytes sent, size_t i, bool sentEnds, unsigned char out[2], int* nOut,
            bool* acted) {
    const unsigned char b = sent[i];
    *acted = false;
    *nOut = 1;
    out[0] = b;
    switch (c) {
        case Change::DoubledFF:
            if (b == 0xFF) {
                out[1] = 0xFF;
                *nOut = 2;
                *acted = true;
            }
            return 1;
        case Change::LfToCrLf:
            if (b == LF) {
                out[0] = CR;
                out[1] = LF;
                *nOut = 2;
                *acted = true;
            }
            return 1;
        case Change::CrLfToLf:
            if (b != CR)
                return 1;
            if (i + 1 == sent.size())
                return sentEnds ? 1 : 0;
            if (sent[i + 1] != LF)
                return 1;
            out[0] = LF;
            *acted = true;
            return 2;
        case Change::CrDropped:
            if (b == CR) {
                *nOut = 0;
                *acted = true;
            }
            return 1;
        case Change::CrToLf:
            if (b == CR) {
                out[0] = LF;
                *acted = true;
            }
            return 1;
        case Change::LfToCr:
            if (b == LF) {
                out[0] = CR;
                *acted = true;
            }
            return 1;
        case Change::CrToCrLf:
            if (b == CR) {
                out[1] = LF;
                *nOut = 2;
                *acted = true;
            }
            return 1;
        case Change::TopBit:
            if (b & 0x80) {
                out[0] = b & 0x7F;
                *acted = true;
            }
            return 1;
    }
    return 1;
}

// Whether the stored bytes are the sent bytes changed by `c`: every stored byte compared is
// explained, past the first difference `d`, the change acted at least once, and the stored
// bytes do not go on after the changed sent file ends. Stored bytes that stop first are a prefix
// of the changed stream (a capture ends at the announced length, a short one earlier).
bool Explains(Change c, Bytes sent, Bytes stored, bool sentEnds, size_t d) {
    size_t i = 0, j = 0;
    bool acted = false;
    while (i < sent.size()) {
        unsigned char out[2];
        int n = 0;
        bool a = false;
        const size_t used = Step(c, sent, i, sentEnds, out, &n, &a);
        if (used == 0)
            break;
        for (int k = 0; k < n; ++k, ++j) {
            if (j == stored.size())
                return acted && j > d;  // the stored file (or its window) stops here
            if (stored[j] != out[k])
                return false;
        }
        acted = acted || a;
        i += used;
    }
    // The sent span is used up: a sent file at its end leaves nothing more to store.
    if (sentEnds && j < stored.size())
        return false;
    return acted && j > d;
}

bool Matches(Bytes a, size_t i, Bytes b, size_t j, size_t n) {
    return i + n <= a.size() && j + n <= b.size() && std::memcmp(&a[i], &b[j], n) == 0;
}

std::string Plural(int64_t n, const char* one) {
    return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

// Dropped or inserted bytes: from the first difference on, finds the nearest shift after which
// the streams match again (at least MIN_RUN bytes, or to the end of both), and repeats.
std::string Realign(Bytes sent, Bytes stored, int64_t offset, size_t d) {
    constexpr size_t MIN_RUN = 16;
    struct Place {
        int64_t at;
        int64_t count;  // > 0 dropped, < 0 inserted
    };
    std::vector<Place> places;
    size_t i = d, j = d;
    bool more = false;    // a later difference that re-aligning does not explain
    bool capped = false;  // DIAGNOSIS_MAX_PLACES told, more may follow
    while (true) {
        while (i < sent.size() && j < stored.size() && sent[i] == stored[j])
            ++i, ++j;
        if (i == sent.size() || j == stored.size())
            break;
        if (places.size() == static_cast<size_t>(DIAGNOSIS_MAX_PLACES)) {
            capped = true;
            break;
        }
        bool found = false;
        for (size_t s = 1; s <= static_cast<size_t>(DIAGNOSIS_MAX_SHIFT) && !found; ++s) {
            const size_t dropRun = std::min(
                MIN_RUN, std::min(sent.size() - std::min(sent.size(), i + s), stored.size() - j));
            if (i + s <= sent.size() && dropRun >= 4 && Matches(sent, i + s, stored, j, dropRun)) {
                places.push_back({offset + static_cast<int64_t>(i), static_cast<int64_t>(s)});
                i += s;
                found = true;
                break;
            }
            const size_t insRun = std::min(
                MIN_RUN, std::min(sent.size() - i, stored.size() - std::min(stored.size(), j + s)));
            if (j + s <= stored.size() && insRun >= 4 && Matches(sent, i, stored, j + s, insRun)) {
                places.push_back({offset + static_cast<int64_t>(j), -static_cast<int64_t>(s)});
                j += s;
                found = true;
            }
        }
        if (!found) {
            more = true;
            break;
        }
    }
    if (places.empty())
        return {};
    int64_t dropped = 0, inserted = 0;
    for (const Place& p : places)
        (p.count > 0 ? dropped : inserted) += p.count > 0 ? p.count : -p.count;
    const Place& first = places.front();
    const std::string firstText = (first.count > 0 ? Plural(first.count, "byte") + " dropped"
                                                   : Plural(-first.count, "byte") + " inserted") +
                                  " at byte " + std::to_string(first.at);
    std::string text;
    if (places.size() == 1) {
        text = firstText;
    } else {
        text = "bytes dropped or inserted in " + std::to_string(places.size()) +
               (capped ? " or more" : "") + " places (" + std::to_string(dropped) + " dropped, " +
               std::to_string(inserted) + " inserted), the first: " + firstText;
    }
    if (more)
        text += "; other differences after it";
    else if (capped)
        text += ", found by re-aligning";
    else
        text += ", found by re-aligning; the rest matches";
    return text;
}

// A power of two of at least 256 bytes, or a multiple of 1 KiB, named: "65536 bytes (64 KiB)".
std::string RoundSizeName(int64_t n) {
    const bool power = n >= 256 && (n & (n - 1)) == 0;
    if (!power && (n <= 0 || n % 1024 != 0))
        return {};
    std::string name = std::to_string(n) + " bytes";
    if (n % (1024 * 1024) == 0)
        name += " (" + std::to_string(n / (1024 * 1024)) + " MiB)";
    else if (n % 1024 == 0)
        name += " (" + std::to_string(n / 1024) + " KiB)";
    return name;
}

}  // namespace

std::string DiagnoseDifference(Bytes sent, Bytes stored, int64_t offset, int64_t sentSize,
                               int64_t storedSize) {
    const bool sentEnds = sentSize < 0 || offset + static_cast<int64_t>(sent.size()) >= sentSize;
    const bool storedEnds =
        storedSize < 0 || offset + static_cast<int64_t>(stored.size()) >= storedSize;
    size_t d = 0;
    while (d < sent.size() && d < stored.size() && sent[d] == stored[d])
        ++d;
    if (d == sent.size() && d == stored.size())
        return {};  // equal as far as both go
    // Every stored byte is the sent one, and the stored file ends first: cut short.
    if (d == stored.size() && storedEnds) {
        const std::string round = RoundSizeName(offset + static_cast<int64_t>(d));
        return round.empty() ? std::string()
                             : "the data stops after exactly " + round +
                                   ", a round size: a buffer or a limit on the way";
    }
    if (d == stored.size() || d == sent.size())
        return {};  // a window ends here, or the stored bytes go on past the sent file
    for (Change c : {Change::DoubledFF, Change::LfToCrLf, Change::CrLfToLf, Change::CrDropped,
                     Change::CrToLf, Change::LfToCr, Change::CrToCrLf, Change::TopBit})
        if (Explains(c, sent, stored, sentEnds, d))
            return ChangeText(c);
    return Realign(sent, stored, offset, d);
}

namespace {

// Reads [from, from + n) of `fd` (less at its end); false when it cannot be read.
bool ReadAt(int fd, int64_t from, int64_t n, std::vector<unsigned char>* out) {
    out->resize(static_cast<size_t>(std::max<int64_t>(n, 0)));
    size_t done = 0;
    while (done < out->size()) {
        const ssize_t r = ::pread(fd, out->data() + done, out->size() - done,
                                  static_cast<off_t>(from + static_cast<int64_t>(done)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return false;
        if (r == 0)
            break;
        done += static_cast<size_t>(r);
    }
    out->resize(done);
    return true;
}

struct Fd {
    explicit Fd(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int64_t Size() const {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    }
    int fd;
};

}  // namespace

std::string DiagnoseFiles(const std::string& sentPath, const std::string& storedPath,
                          int64_t firstDifference) {
    const Fd sent(sentPath), stored(storedPath);
    if (sent.fd < 0 || stored.fd < 0 || firstDifference < 0)
        return {};
    const int64_t sentSize = sent.Size(), storedSize = stored.Size();
    if (sentSize < 0 || storedSize < 0)
        return {};
    const int64_t from = std::max<int64_t>(0, firstDifference - DIAGNOSIS_BEFORE);
    const int64_t to = firstDifference + DIAGNOSIS_AFTER;
    std::vector<unsigned char> a, b;
    if (!ReadAt(sent.fd, from, std::min(sentSize, to) - from, &a) ||
        !ReadAt(stored.fd, from, std::min(storedSize, to + DIAGNOSIS_AFTER) - from, &b))
        return {};
    return DiagnoseDifference(a, b, from, sentSize, storedSize);
}
