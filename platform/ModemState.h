// The modem lines of a serial port at one moment, whoever reports them: the local tty (read
// through ioctl) or a device server (a modem-state notification decoded by net/Telnet). Every
// reader asks a line's level through Level(), so no part keeps its own switch over the lines.
#pragma once

namespace platform {

// The input lines, the ones whose changes are watched and counted: the order of every list of
// them (the window's rows, the counters, the runner's reports).
enum class ModemLine { Cts, Dsr, Dcd, Ri };

inline constexpr ModemLine kModemInputs[] = {ModemLine::Cts, ModemLine::Dsr, ModemLine::Dcd,
                                             ModemLine::Ri};
inline constexpr int kModemInputCount = 4;

// "CTS", "DSR", "DCD", "RI".
constexpr const char* ModemLineName(ModemLine line) {
    constexpr const char* names[kModemInputCount] = {"CTS", "DSR", "DCD", "RI"};
    return names[static_cast<int>(line)];
}

struct ModemState {
    // The inputs, true while on.
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool ri = false;
    // The outputs as set. Only the local tty tells them; a device server's notification does not
    // carry them and leaves them false.
    bool dtr = false;
    bool rts = false;
    // The inputs that changed since the state told before, as a device server marks them (RI:
    // it went off, the trailing edge). A local read leaves them false: the watch compares levels.
    bool deltaCts = false;
    bool deltaDsr = false;
    bool deltaDcd = false;
    bool riTrailingEdge = false;

    // Whether input `line` is on.
    constexpr bool Level(ModemLine line) const { return this->*kLevels[Index(line)]; }
    constexpr void SetLevel(ModemLine line, bool on) { this->*kLevels[Index(line)] = on; }
    // Whether input `line` is marked as changed (for RI: as gone off).
    constexpr bool Changed(ModemLine line) const { return this->*kChanges[Index(line)]; }
    // Whether every input has the same level in both.
    constexpr bool SameInputs(const ModemState& other) const {
        for (ModemLine line : kModemInputs)
            if (Level(line) != other.Level(line))
                return false;
        return true;
    }

    bool operator==(const ModemState&) const = default;

private:
    static constexpr int Index(ModemLine line) { return static_cast<int>(line); }
    static constexpr bool ModemState::*kLevels[kModemInputCount] = {
        &ModemState::cts, &ModemState::dsr, &ModemState::dcd, &ModemState::ri};
    static constexpr bool ModemState::*kChanges[kModemInputCount] = {
        &ModemState::deltaCts, &ModemState::deltaDsr, &ModemState::deltaDcd,
        &ModemState::riTrailingEdge};
};

}  // namespace platform
