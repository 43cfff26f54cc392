#include "runner/Config.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "net/NetConsole.h"
#include "platform/LineWords.h"

namespace {

// The values the serial options accept, in the order the messages list them: the rates of the
// window's baud list, its data bits, stop bits, parity and flow control.
constexpr uint32_t kBauds[] = {2400, 4800, 9600, 14400, 19200, 28800, 38400, 57600, 115200, 230400};
// The highest rate --baud takes: above the fastest common UART clocks (4 Mbit/s on FTDI and
// 16C950 parts); larger numbers are typing errors rather than rates.
constexpr long long kMaxBaud = 4000000;
constexpr int kDataBits[] = {5, 6, 7, 8};

// "a b c": the accepted values, as the messages list them.
template <class T, size_t N, class Text>
std::string ListOf(const T (&values)[N], Text text) {
    std::string list;
    for (size_t i = 0; i < N; ++i)
        list += (i ? " " : "") + text(values[i]);
    return list;
}

// "even odd none": the option words of a parity or flow table, in the order the window lists them.
template <class Row, size_t N>
std::string OptionWords(const Row (&rows)[N]) {
    std::string list;
    for (size_t i = 0; i < N; ++i)
        if (const Row* row = platform::AtListIndex(rows, static_cast<int>(i)); row && row->option)
            list += (list.empty() ? "" : " ") + std::string(row->option);
    return list;
}

// The accepted value that `match` picks; nullptr when none does.
template <class T, size_t N, class Match>
const T* Find(const T (&values)[N], Match match) {
    for (const T& v : values)
        if (match(v))
            return &v;
    return nullptr;
}

}  // namespace

bool ParseNumber(const std::string& text, long long low, long long high, long long* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > static_cast<unsigned long long>(high) ||
        static_cast<long long>(v) < low)
        return false;
    *value = static_cast<long long>(v);
    return true;
}

int64_t ParseSize(const std::string& text) {
    if (text.empty())
        return -1;
    int64_t unit = 1;
    std::string digits = text;
    const char last = text.back();
    if (last == 'K' || last == 'k' || last == 'M' || last == 'm') {
        unit = (last == 'K' || last == 'k') ? 1024 : 1024 * 1024;
        digits.pop_back();
    }
    long long n = 0;
    if (!ParseNumber(digits, 0, LLONG_MAX / (1024 * 1024), &n))
        return -1;
    return n * unit;
}

double LineBytesPerSecond(const LineSettings& s) {
    return static_cast<double>(s.baud) / s.FrameBits();
}

std::string ApplyLineOption(const std::string& name, const std::string& value, LineSettings& line) {
    long long n = 0;
    if (name == "--baud") {
        // Any rate the driver takes; the window's list only names the common ones.
        if (!ParseNumber(value, 0, LLONG_MAX, &n))
            return "--baud " + value + " is not a rate: give a whole number of baud from 1 to " +
                   std::to_string(kMaxBaud) + ", e.g. " +
                   ListOf(kBauds, [](uint32_t b) { return std::to_string(b); });
        if (n < 1 || n > kMaxBaud)
            return "--baud " + value + " is out of range: 1 to " + std::to_string(kMaxBaud);
        line.baud = static_cast<uint32_t>(n);
    } else if (name == "--data-bits") {
        const long long wanted = ParseNumber(value, 1, 64, &n) ? n : -1;
        const int* bits = Find(kDataBits, [wanted](int b) { return b == wanted; });
        if (!bits)
            return "--data-bits " + value +
                   " is not one of: " + ListOf(kDataBits, [](int b) { return std::to_string(b); });
        line.dataBits = *bits;
    } else if (name == "--stop-bits") {
        const long long wanted = ParseNumber(value, 1, 64, &n) ? n : -1;
        if (wanted != 1 && wanted != 2)
            return "--stop-bits " + value + " is not one of: 1 2";
        line.stopBits = wanted == 2 ? StopBits::Two : StopBits::One;
    } else if (name == "--parity") {
        const platform::ParityWords* row = platform::ByOption(platform::kParityWords, value);
        if (!row)
            return "--parity " + value + " is not one of: " + OptionWords(platform::kParityWords);
        line.parity = row->parity;
    } else if (name == "--flow") {
        const platform::FlowWords* row = platform::ByOption(platform::kFlowWords, value);
        if (!row)
            return "--flow " + value + " is not one of: " + OptionWords(platform::kFlowWords);
        line.flow = row->flow;
    } else {
        return "unknown serial setting " + name;
    }
    return {};
}

std::string ApplyEndpointOption(const std::string& name, const std::string& value,
                                RunnerOptions& o) {
    long long n = 0;
    if (name == "--connect" || name == "--udp") {
        const bool udp = name == "--udp";
        const std::string kind = udp ? "UDP" : "TCP";
        const size_t colon = value.rfind(':');
        if (colon == std::string::npos)
            return name + " needs HOST:PORT, got " + value;
        o.link.hostName = value.substr(0, colon);
        if (!ParseNumber(value.substr(colon + 1), 1, MAX_TCP_PORT, &n))
            return name + ": port " + value.substr(colon + 1) + " is not a " + kind +
                   " port (1 to 65535)";
        if (o.link.hostName.empty())
            return name + " needs HOST:PORT, got " + value;
        o.link.udp = udp;
        // A dotted address is the address; a name is resolved later, once (ResolveHosts), so
        // that reading the arguments never waits on a name server.
        in_addr addr{};
        o.link.host = inet_pton(AF_INET, o.link.hostName.c_str(), &addr) == 1 ? o.link.hostName
                                                                              : std::string();
        o.link.port = static_cast<unsigned>(n);
        o.link.mode = RunnerOptions::Net::Connect;
        return {};
    }
    if (!ParseNumber(value, 1, MAX_TCP_PORT, &n))
        return "--listen: port " + value + " is not a TCP port (1 to 65535)";
    o.link.port = static_cast<unsigned>(n);
    o.link.mode = RunnerOptions::Net::Listen;
    return {};
}

std::string ResolveHosts(RunnerOptions& o) {
    std::string why;
    if (o.stations.empty() && o.link.mode == RunnerOptions::Net::Connect && o.link.host.empty()) {
        o.link.host = ResolveIPv4(o.link.hostName, &why);
        if (o.link.host.empty())
            return (o.link.udp ? "--udp: " : "--connect: ") + why;
    }
    for (Station& s : o.stations) {
        if (s.listen || !s.host.empty())
            continue;
        s.host = ResolveIPv4(s.hostName, &why);
        if (s.host.empty())
            return "--station " + s.name + ": " + why;
    }
    return {};
}

std::string ResolveIPv4(const std::string& host, std::string* error) {
    if (host.empty()) {
        *error = "no host given";
        return {};
    }
    in_addr addr{};
    if (inet_pton(AF_INET, host.c_str(), &addr) == 1)
        return host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        *error = "can't resolve " + host + " to an IPv4 address (" +
                 (rc == EAI_SYSTEM ? std::string(std::strerror(errno)) : gai_strerror(rc)) +
                 "): check the name, or give a dotted address such as 192.168.0.10";
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text,
              sizeof text);
    ::freeaddrinfo(found);
    return text;
}

std::string StationFile(const std::string& path, const std::string& name, int setting) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    std::string tag = name.empty() ? "" : "-" + name;
    if (setting > 0)
        tag += "-" + std::to_string(setting);
    return hasExt ? path.substr(0, dot) + tag + path.substr(dot) : path + tag;
}

std::string CountOf(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}
