#include "transfer/PassVerdict.h"

#include <algorithm>
#include <cstdio>

std::string FormatRate(double bytesPerSecond) {
    constexpr double KIB = 1024.0, MIB = 1024.0 * 1024.0;
    char text[64];
    if (bytesPerSecond < MIB)
        std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / KIB);
    else
        std::snprintf(text, sizeof text, "%.1f MiB/s", bytesPerSecond / MIB);
    return text;
}

std::string PassStatusText(const PassOutcome& out) {
    if (out.Verified())
        return " Verified : " + std::to_string(out.stored) + " Bytes identical, " +
               FormatRate(out.bytesPerSecond);
    if (out.Mismatch()) {
        // A completed capture always knows where it differs; the fallback is where the shorter
        // of the two ends.
        const int64_t at = out.firstMismatch.value_or(std::min(out.stored, out.sent));
        return " Mismatch : first difference at byte " + std::to_string(at) + " of " +
               std::to_string(out.stored);
    }
    if (out.end == PassOutcome::End::LinkLost)
        return " " + out.text;
    return {};
}

std::string ByteCountText(int64_t stored, int64_t announced) {
    char text[64];
    std::snprintf(text, sizeof text, "%lld / %lld Bytes", static_cast<long long>(stored),
                  static_cast<long long>(announced));
    return text;
}

const char* DirectionName(PassDirection direction) {
    return direction == PassDirection::SerialToNet ? "serial-to-net" : "net-to-serial";
}
