#include "runner/Stations.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

namespace {

bool Fail(std::string* error, std::string text) {
    *error = std::move(text);
    return false;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > 64)
        return false;
    for (const char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
            return false;
    return true;
}

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos)
        return {};
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        const size_t at = s.find(sep, from);
        parts.push_back(
            Trim(s.substr(from, at == std::string::npos ? std::string::npos : at - from)));
        if (at == std::string::npos)
            return parts;
        from = at + 1;
    }
}

const char* const kSweepKeys[] = {"baud", "data-bits", "parity", "stop-bits", "flow"};

}  // namespace

bool ParseStation(const std::string& text, Station& out, std::string* error) {
    const std::vector<std::string> f = Split(text, ',');
    if (f.size() != 3)
        return Fail(
            error, "--station needs NAME,SERIAL,HOST:PORT or NAME,SERIAL,listen:PORT, got " + text);
    if (!ValidName(f[0]))
        return Fail(error, "--station: the name " + f[0] +
                               " must be 1 to 64 letters, digits, '-', '_' or '.'");
    if (f[1].empty())
        return Fail(error, "--station " + f[0] + ": no serial device");
    RunnerOptions o;
    std::string endpoint = f[2];
    std::string err;
    if (endpoint.rfind("listen:", 0) == 0)
        err = ApplyEndpointOption("--listen", endpoint.substr(7), o);
    else
        err = ApplyEndpointOption("--connect", endpoint, o);
    if (!err.empty())
        return Fail(error, "--station " + f[0] + ": " + err);
    out = Station{
        f[0],       f[1], o.link.mode == RunnerOptions::Net::Listen, o.link.host, o.link.hostName,
        o.link.port};
    return true;
}

bool ReadStationsFile(const std::string& path, std::vector<Station>& out, std::string* error) {
    // A stations file is a rack's list: a few dozen short lines. Anything far larger is the
    // wrong file (a device, a log), read no further than the limit.
    constexpr size_t kMaxFileBytes = 1 << 20;
    constexpr size_t kMaxLineBytes = 4096;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Fail(error, "--stations: can't read " + path + ": " + std::strerror(errno));
    std::string text(kMaxFileBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad())
        return Fail(error, "--stations: can't read " + path + ": " + std::strerror(errno));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxFileBytes)
        return Fail(error, "--stations " + path +
                               " is larger than 1 MiB: give a file with one station a line");
    size_t from = 0;
    for (int number = 1; from < text.size(); ++number) {
        const size_t nl = text.find('\n', from);
        std::string line =
            text.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
        from = nl == std::string::npos ? text.size() : nl + 1;
        if (line.size() > kMaxLineBytes)
            return Fail(error, path + ":" + std::to_string(number) + ": the line is longer than " +
                                   std::to_string(kMaxLineBytes) +
                                   " bytes: one station a line, NAME,DEVICE,HOST:PORT");
        if (const size_t hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        line = Trim(line);
        if (line.empty())
            continue;
        Station s;
        std::string err;
        if (!ParseStation(line, s, &err))
            return Fail(error, path + ":" + std::to_string(number) + ": " + err);
        out.push_back(std::move(s));
    }
    return true;
}

bool CheckStations(const std::vector<Station>& stations, std::string* error) {
    std::set<std::string> names, serials;
    std::set<unsigned> listens;
    for (const Station& s : stations) {
        if (!names.insert(s.name).second)
            return Fail(error, "two stations are named " + s.name);
        if (!serials.insert(s.serial).second)
            return Fail(error, "two stations use the serial device " + s.serial);
        if (s.listen && !listens.insert(s.port).second)
            return Fail(error, "two stations listen on port " + std::to_string(s.port));
    }
    return true;
}

bool ParseSweep(const std::string& text, SweepAxis& out, std::string* error) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos)
        return Fail(error, "--sweep needs KEY=V1,V2,..., got " + text);
    out.key = text.substr(0, eq);
    bool known = false;
    for (const char* k : kSweepKeys)
        known = known || out.key == k;
    if (!known)
        return Fail(error,
                    "--sweep: " + out.key + " is not one of: baud data-bits parity stop-bits flow");
    out.values = Split(text.substr(eq + 1), ',');
    std::set<std::string> seen;
    for (const std::string& v : out.values) {
        LineSettings probe;
        if (std::string err = ApplyLineOption("--" + out.key, v, probe); !err.empty())
            return Fail(error, "--sweep " + err.substr(2));
        if (!seen.insert(v).second)
            return Fail(error, "--sweep " + out.key + ": " + v + " is given twice");
    }
    return true;
}

std::vector<LineSettings> SweepSettings(const LineSettings& base,
                                        const std::vector<SweepAxis>& axes) {
    std::vector<LineSettings> all{base};
    for (const SweepAxis& axis : axes) {
        std::vector<LineSettings> next;
        for (const LineSettings& s : all)
            for (const std::string& v : axis.values) {
                LineSettings c = s;
                ApplyLineOption("--" + axis.key, v, c);  // checked when parsed
                next.push_back(c);
            }
        all = std::move(next);
    }
    return all;
}

std::string SettingLabel(const LineSettings& s) {
    std::string label = s.Compact();
    if (s.flow != FlowControl::None)
        label += " " + FlowWord(s.flow);
    return label;
}
