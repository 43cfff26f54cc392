// EncodeSendLine with any text and any capacity. The first two input bytes choose the capacity
// (0 up to 16 beyond the text's length), the rest is the typed line. The output buffer holds
// exactly `capacity` bytes, so AddressSanitizer reports any write beyond it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "serial/EncodeSendLine.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const unsigned choice = data[0] | (unsigned{data[1]} << 8);
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
    const int length = static_cast<int>(text.size());
    const int capacity = static_cast<int>(choice % static_cast<unsigned>(length + 17));

    const std::unique_ptr<unsigned char[]> out(new unsigned char[capacity]);
    const int n = EncodeSendLine(text, out.get(), capacity);
    Check(n >= 0 && n <= capacity);
    Check(n <= length);

    // A smaller capacity cuts the line short and changes nothing else: the result is the start
    // of the whole line's encoding (a capacity of the text's length always holds all of it).
    const std::unique_ptr<unsigned char[]> whole(new unsigned char[length]);
    const int all = EncodeSendLine(text, whole.get(), length);
    Check(all >= 0 && all <= length);
    Check(n == (capacity < all ? capacity : all));
    Check(std::memcmp(out.get(), whole.get(), static_cast<size_t>(n)) == 0);
    return 0;
}
