#include "platform/Traffic.h"

#include <ctime>

namespace platform {

namespace {

int64_t Read(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

Stamp Stamp::Now() {
    Stamp s;
    s.steadyNs = Read(CLOCK_MONOTONIC);
    s.wallNs = Read(CLOCK_REALTIME);
    return s;
}

const char* TrafficKindName(TrafficKind kind) {
    switch (kind) {
        case TrafficKind::SerialRx:
            return "serial-rx";
        case TrafficKind::SerialTx:
            return "serial-tx";
        case TrafficKind::NetRx:
            return "net-rx";
        case TrafficKind::NetTx:
            return "net-tx";
    }
    return "?";
}

}  // namespace platform
