// The mismatch recogniser on any pair of byte streams.
//
// Input: a mode byte, then the sent stream. Mode modulo 4: 0 the stored stream is the rest of the
// input split in two (the first half sent, the second stored); 1 stored = sent; 2 stored = sent
// with every 0xFF doubled, cut to the sent length as a completed capture is; 3 stored = sent
// with one byte (chosen by the mode's upper bits) dropped. Bit 2 of the mode cuts both spans
// short of "their files", which are then said to be longer.
//
// Checked: no crash; the text is one line; equal streams give no text; a doubled stream that
// differs from the sent one is recognised as Telnet escaping.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "transfer/Diagnosis.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    std::vector<unsigned char> sent(data + 1, data + size), stored;
    switch (mode % 4) {
        case 0: {
            const size_t half = sent.size() / 2;
            stored.assign(sent.begin() + static_cast<std::ptrdiff_t>(half), sent.end());
            sent.resize(half);
            break;
        }
        case 1:
            stored = sent;
            break;
        case 2:
            for (unsigned char b : sent) {
                stored.push_back(b);
                if (b == 0xFF)
                    stored.push_back(0xFF);
            }
            stored.resize(sent.size());
            break;
        default:
            stored = sent;
            if (!stored.empty())
                stored.erase(stored.begin() +
                             static_cast<std::ptrdiff_t>((mode >> 3) % stored.size()));
            break;
    }
    const bool windowed = (mode & 4) != 0;
    const int64_t sentSize = windowed ? static_cast<int64_t>(sent.size()) + 100 : -1;
    const int64_t storedSize = windowed ? static_cast<int64_t>(stored.size()) + 100 : -1;
    const std::string text =
        DiagnoseDifference(std::span<const unsigned char>(sent),
                           std::span<const unsigned char>(stored), 0, sentSize, storedSize);
    if (text.find('\n') != std::string::npos)
        std::abort();
    if (mode % 4 == 1 && !text.empty())
        std::abort();
    if (mode % 4 == 2 && !windowed && stored != sent &&
        text.rfind("every 0xFF byte arrived doubled", 0) != 0)
        std::abort();
    return 0;
}
