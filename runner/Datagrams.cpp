#include "runner/Datagrams.h"

#include <QJsonArray>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "runner/Config.h"

namespace {

// Bucket k holds sizes from kBucketLow[k] up to the next bucket's low end.
constexpr int64_t kBucketLow[DatagramSizes::kBuckets] = {1, 2, 16, 64, 256, 1024};

// Finds where a piece of bytes lies in a larger text: the text's 8-byte words at every kStride-th
// offset, sorted, are looked up with each of the piece's first kStride offsets, and each
// candidate is checked byte for byte. A piece of at least kStride + 8 bytes is always found
// wherever it lies; a shorter one only where it is checked directly.
class Locator {
public:
    static constexpr size_t kStride = 32;
    static constexpr size_t kWord = 8;
    // The most places a word is followed to (data that repeats itself, all zeros, has many).
    static constexpr size_t kMaxPerWord = 16;

    explicit Locator(std::string_view text) : m_text(text) {
        if (text.size() >= kWord)
            for (size_t p = 0; p + kWord <= text.size(); p += kStride)
                m_index.push_back({Word(text.data() + p), static_cast<int64_t>(p)});
        std::sort(m_index.begin(), m_index.end());
    }

    bool Indexable(std::string_view piece) const { return piece.size() >= kStride + kWord; }

    bool At(std::string_view piece, int64_t pos) const {
        return pos >= 0 && static_cast<size_t>(pos) + piece.size() <= m_text.size() &&
               std::memcmp(m_text.data() + pos, piece.data(), piece.size()) == 0;
    }

    // Every place `piece` lies (up to what the index follows), in increasing order.
    std::vector<int64_t> Find(std::string_view piece) const {
        std::vector<int64_t> found;
        if (!Indexable(piece))
            return found;
        for (size_t j = 0; j < kStride; ++j) {
            const uint64_t w = Word(piece.data() + j);
            auto it = std::lower_bound(m_index.begin(), m_index.end(),
                                       std::pair<uint64_t, int64_t>{w, INT64_MIN});
            for (size_t k = 0; it != m_index.end() && it->first == w && k < kMaxPerWord;
                 ++it, ++k) {
                const int64_t pos = it->second - static_cast<int64_t>(j);
                if (At(piece, pos))
                    found.push_back(pos);
            }
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        return found;
    }

    // A piece too short for the index (8 bytes or more): the first place it lies within 64 KiB
    // of `hint`, or -1.
    int64_t FindNear(std::string_view piece, int64_t hint) const {
        if (piece.size() < kWord)
            return -1;
        const int64_t from = std::max<int64_t>(0, hint - kNear);
        const std::string_view window =
            m_text.substr(static_cast<size_t>(std::min<int64_t>(from, m_text.size())),
                          static_cast<size_t>(2 * kNear) + piece.size());
        const size_t at = window.find(piece);
        return at == std::string_view::npos ? -1 : from + static_cast<int64_t>(at);
    }

private:
    static constexpr int64_t kNear = 64 * 1024;
    static uint64_t Word(const char* p) {
        uint64_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }
    std::string_view m_text;
    std::vector<std::pair<uint64_t, int64_t>> m_index;
};

// "file bytes 16384 to 17407", "the header", "the header and file bytes 0 to 1005".
std::string WhereText(int64_t streamPos, int64_t length, int64_t headerBytes) {
    const int64_t first = streamPos - headerBytes;
    const int64_t last = first + length - 1;
    if (last < 0)
        return "the header";
    const std::string range =
        "file bytes " + std::to_string(std::max<int64_t>(first, 0)) + " to " + std::to_string(last);
    return first < 0 ? "the header and " + range : range;
}

std::string Datagram(size_t number, const std::string& where) {
    return "#" + std::to_string(number) + ", " + where;
}

void Append(std::string& text, int64_t count, const std::string& what, const std::string& first) {
    if (count == 0)
        return;
    if (!text.empty())
        text += ", ";
    text += std::to_string(count) + " " + what + " (first: " + first + ")";
}

}  // namespace

void DatagramSizes::Add(size_t n) {
    const auto size = static_cast<int64_t>(n);
    smallest = count == 0 ? size : std::min(smallest, size);
    largest = std::max(largest, size);
    ++count;
    bytes += size;
    int k = kBuckets - 1;
    while (k > 0 && size < kBucketLow[k])
        --k;
    ++buckets[static_cast<size_t>(k)];
}

const char* DatagramSizes::BucketName(int k) {
    static const char* const names[kBuckets] = {"1",      "2-15",     "16-63",
                                                "64-255", "256-1023", "1024+"};
    return names[k];
}

std::string DatagramSizes::Compact() const {
    std::string text;
    for (int k = 0; k < kBuckets; ++k)
        text += (k ? " " : "") + std::string(BucketName(k)) + ":" +
                std::to_string(buckets[static_cast<size_t>(k)]);
    return text;
}

std::string DatagramSizes::Text() const {
    if (count == 0)
        return "no datagrams from the device server";
    char mean[32];
    std::snprintf(mean, sizeof mean, "%.1f", static_cast<double>(bytes) / count);
    std::string text = std::to_string(count) + (count == 1 ? " datagram" : " datagrams") +
                       " from the device server, " + std::to_string(smallest) + " to " +
                       std::to_string(largest) + " bytes (mean " + mean + "); by size ";
    for (int k = 0; k < kBuckets; ++k)
        text += (k ? ", " : "") + std::string(BucketName(k)) + ": " +
                std::to_string(buckets[static_cast<size_t>(k)]);
    return text;
}

QJsonObject DatagramSizes::Json() const {
    QJsonArray sizes;
    for (int k = 0; k < kBuckets; ++k)
        sizes.append(QJsonObject{
            {"bucket", BucketName(k)},
            {"min", static_cast<qint64>(kBucketLow[k])},
            {"max", k + 1 < kBuckets ? QJsonValue(static_cast<qint64>(kBucketLow[k + 1] - 1))
                                     : QJsonValue()},
            {"count", static_cast<qint64>(buckets[static_cast<size_t>(k)])},
        });
    return QJsonObject{{"count", static_cast<qint64>(count)},
                       {"bytes", static_cast<qint64>(bytes)},
                       {"min_bytes", static_cast<qint64>(smallest)},
                       {"max_bytes", static_cast<qint64>(largest)},
                       {"sizes", sizes}};
}

DatagramFinding FindSentDatagrams(const Datagrams& sent, std::string_view received,
                                  int64_t headerBytes, bool tailAwaited) {
    DatagramFinding f;
    std::vector<std::pair<size_t, std::string>> lost;  // number, where
    size_t lastFound = 0;
    const Locator where(received);
    int64_t hint = 0;      // where the datagram after the last one found is expected
    int64_t highest = -1;  // the furthest place a datagram sent so far was found at
    int64_t streamPos = 0;
    int64_t fileDatagrams = 0;
    for (size_t k = 0; k < sent.Count(); ++k) {
        const std::string_view d = sent.At(k);
        const std::string what =
            Datagram(k, WhereText(streamPos, static_cast<int64_t>(d.size()), headerBytes));
        streamPos += static_cast<int64_t>(d.size());
        fileDatagrams += k > 0;
        std::vector<int64_t> found = where.Find(d);
        // A short datagram (the header, a file's last) is looked for near where the one before
        // it ended; one under 8 bytes only right there, and is not judged when it is not.
        if (!where.Indexable(d)) {
            if (where.At(d, hint))
                found.push_back(hint);
            else if (const int64_t near = where.FindNear(d, hint); near >= 0)
                found.push_back(near);
            else if (d.size() < Locator::kWord)
                continue;
        }
        if (found.empty()) {
            lost.emplace_back(k, what);
            continue;
        }
        lastFound = k;
        // Copies of it that do not overlap one another.
        int64_t copies = 0, end = -1;
        for (int64_t p : found)
            if (p >= end) {
                ++copies;
                end = p + static_cast<int64_t>(d.size());
            }
        if (copies > 1 && f.repeated++ == 0)
            f.firstRepeated = what;
        // The copy expected next, else the first after the last one found, else the first.
        auto at = std::lower_bound(found.begin(), found.end(), hint);
        const int64_t pos = at != found.end() ? *at : found.front();
        if (pos < highest && f.reordered++ == 0)
            f.firstReordered = what;
        highest = std::max(highest, pos);
        hint = pos + static_cast<int64_t>(d.size());
    }
    f.datagrams = fileDatagrams;
    // Those after the last one found were never waited for when the capture ended full.
    if (!tailAwaited)
        while (!lost.empty() && lost.back().first > lastFound)
            lost.pop_back();
    f.lost = static_cast<int64_t>(lost.size());
    if (!lost.empty())
        f.firstLost = lost.front().second;
    std::string text;
    if (f.lost)
        text = std::to_string(f.lost) + " of " + std::to_string(fileDatagrams) +
               " file datagrams lost (first: " + f.firstLost + ")";
    Append(text, f.repeated, "repeated", f.firstRepeated);
    Append(text, f.reordered, "out of order", f.firstReordered);
    if (!text.empty())
        text += "; found in the serial bytes received";
    f.text = text;
    return f;
}

DatagramFinding PlaceReceivedDatagrams(std::string_view sent, const Datagrams& received,
                                       int64_t headerBytes, bool tailAwaited) {
    DatagramFinding f;
    f.datagrams = static_cast<int64_t>(received.Count());
    const Locator where(sent);
    std::vector<bool> covered(sent.size(), false);
    int64_t hint = 0, highest = 0;
    for (size_t k = 0; k < received.Count(); ++k) {
        const std::string_view d = received.At(k);
        if (d.empty())
            continue;
        std::vector<int64_t> found;
        if (where.At(d, hint)) {
            found.push_back(hint);
        } else if (where.Indexable(d)) {
            found = where.Find(d);
        } else {
            // A short datagram (a device that sends every few bytes) is looked up with the ones
            // after it, when they came together; else near where the one before it ended.
            std::string joined(d);
            for (size_t j = k + 1; j < received.Count() && j < k + 64 && !where.Indexable(joined);
                 ++j)
                joined += received.At(j);
            if (where.Indexable(joined))
                found = where.Find(joined);
            if (found.empty())
                if (const int64_t near = where.FindNear(d, hint); near >= 0)
                    found.push_back(near);
        }
        if (found.empty()) {
            if (f.unplaced++ == 0)
                f.firstUnplaced = "#" + std::to_string(k + 1) + ", " +
                                  CountOf(static_cast<int64_t>(d.size()), "byte", "bytes");
            continue;
        }
        // The place not yet covered, nearest after the one expected.
        const auto len = static_cast<int64_t>(d.size());
        const auto fresh = [&](int64_t p) {
            for (int64_t i = p; i < p + len; ++i)
                if (!covered[static_cast<size_t>(i)])
                    return true;
            return false;
        };
        int64_t pos = -1;
        for (auto it = std::lower_bound(found.begin(), found.end(), hint); it != found.end(); ++it)
            if (fresh(*it)) {
                pos = *it;
                break;
            }
        for (auto it = found.begin(); pos < 0 && it != found.end(); ++it)
            if (fresh(*it))
                pos = *it;
        const std::string what = "#" + std::to_string(k + 1) + ", " +
                                 WhereText(pos < 0 ? found.front() : pos, len, headerBytes);
        if (pos < 0) {
            if (f.repeated++ == 0)
                f.firstRepeated = what;
            hint = found.front() + len;
            continue;
        }
        if (pos < highest && f.reordered++ == 0)
            f.firstReordered = what;
        std::fill(covered.begin() + pos, covered.begin() + pos + len, true);
        highest = std::max(highest, pos + len);
        hint = pos + len;
    }
    // What no datagram carried, in runs.
    int64_t firstGapAt = -1, firstGapLength = 0;
    for (size_t i = 0; i < covered.size();) {
        if (covered[i]) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < covered.size() && !covered[j])
            ++j;
        // The end of the data was never waited for when the capture ended full.
        if (j == covered.size() && !tailAwaited)
            break;
        if (f.gaps++ == 0) {
            firstGapAt = static_cast<int64_t>(i);
            firstGapLength = static_cast<int64_t>(j - i);
        }
        f.lostBytes += static_cast<int64_t>(j - i);
        i = j;
    }
    if (f.gaps)
        f.firstLost = WhereText(firstGapAt, firstGapLength, headerBytes);
    std::string text;
    if (f.gaps)
        text = CountOf(f.lostBytes, "byte", "bytes") + " never arrived in " +
               CountOf(f.gaps, "gap", "gaps") + " (first: " + f.firstLost + ")";
    Append(text, f.repeated, "repeated", f.firstRepeated);
    Append(text, f.reordered, "out of order", f.firstReordered);
    Append(text, f.unplaced, "not found in the sent data, changed or foreign", f.firstUnplaced);
    if (!text.empty())
        text = "of " + CountOf(f.datagrams, "datagram", "datagrams") + " received: " + text;
    f.text = text;
    return f;
}

void DatagramWatch::Start(bool record, PassDirection direction) {
    std::lock_guard lock(m_lock);
    m_taken = Taken{};
    m_counting = true;
    m_record = record;
    m_direction = direction;
}

DatagramWatch::Taken DatagramWatch::Take() {
    std::lock_guard lock(m_lock);
    m_counting = false;
    m_record = false;
    Taken taken = std::move(m_taken);
    m_taken = Taken{};
    return taken;
}

void DatagramWatch::Traffic(platform::TrafficKind kind, const platform::Stamp& at,
                            const unsigned char* bytes, size_t n) {
    using platform::TrafficKind;
    {
        std::lock_guard lock(m_lock);
        if (m_counting) {
            Taken& t = m_taken;
            const bool toNet = m_direction == PassDirection::SerialToNet;
            // Room for `more` bytes more on top of `have` in the record.
            const auto room = [&](size_t have, size_t more) {
                if (static_cast<int64_t>(have + more) <= kDatagramRecordLimit)
                    return true;
                t.overLimit = true;
                return false;
            };
            if (kind == TrafficKind::NetRx) {
                t.received.Add(n);
                if (m_record && toNet && room(t.netRx.bytes.size(), n))
                    t.netRx.Add(bytes, n);
            } else if (kind == TrafficKind::NetTx) {
                t.sent.Add(n);
                if (m_record && !toNet && room(t.netTx.bytes.size(), n))
                    t.netTx.Add(bytes, n);
            } else if (kind == TrafficKind::SerialRx && m_record && !toNet &&
                       room(t.serialRx.size(), n)) {
                t.serialRx.append(reinterpret_cast<const char*>(bytes), n);
            }
        }
    }
    if (platform::ITrafficObserver* inner = m_inner.load(std::memory_order_acquire))
        inner->Traffic(kind, at, bytes, n);
}
