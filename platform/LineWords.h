// Parity and flow control in every vocabulary the program speaks, one row per value: the index in
// the window's list and the item it shows there, the word of the status line and the reports,
// the word the runner's options take, the value RFC 2217 sends on the wire, and the termios flags
// the device sets. Every part that names or maps a parity or a flow control reads this table, so
// adding a value or changing a text is one row.
//
// The texts are what the user sees today and differ between places on purpose: the window lists
// "Xon/Xoff", the status line and the runner say "software", the settings' sentence says
// "Xon/Xoff flow control", a device server's answer is reported as "XON/XOFF".
#pragma once

#include <termios.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/SerialDevice.h"

namespace platform {

struct ParityWords {
    Parity parity;
    int listIndex;         // in the window's parity list; -1: not offered there
    const char* listItem;  // the list's item ("Even"); null when not in the list
    const char* word;      // status line, reports, a device server's answer ("even")
    const char* option;    // the runner's --parity word; null: not accepted
    char letter;           // of "8E1"
    uint8_t rfc2217;       // the SET-PARITY value
    tcflag_t cflag;        // termios c_cflag bits among kParityCflags
};

// termios' parity bits: what a parity's cflag replaces.
inline constexpr tcflag_t kParityCflags = PARENB | PARODD | CMSPAR;

inline constexpr ParityWords kParityWords[] = {
    {Parity::None, 2, "None", "none", "none", 'N', 1, 0},
    {Parity::Odd, 1, "Odd", "odd", "odd", 'O', 2, PARENB | PARODD},
    {Parity::Even, 0, "Even", "even", "even", 'E', 3, PARENB},
    // Mark and space: the parity bit stuck at 1 or 0 (CMSPAR, with PARODD choosing mark).
    {Parity::Mark, -1, nullptr, "mark", nullptr, 'M', 4, PARENB | CMSPAR | PARODD},
    {Parity::Space, -1, nullptr, "space", nullptr, 'S', 5, PARENB | CMSPAR},
};

struct FlowWords {
    FlowControl flow;
    int listIndex;           // in the window's flow list; -1: not offered there
    const char* listItem;    // the list's item ("Xon/Xoff")
    const char* word;        // status line and reports ("software")
    const char* option;      // the runner's --flow word; null: not accepted
    const char* sentence;    // the settings' sentence ("Xon/Xoff flow control")
    const char* answerWord;  // a device server's answer as reported ("XON/XOFF")
    uint8_t rfc2217;         // the SET-CONTROL value
    tcflag_t iflag, cflag;   // the termios flags this flow control turns on
};

inline constexpr FlowWords kFlowWords[] = {
    {FlowControl::None, 0, "None", "none", "none", "no flow control", "none", 1, 0, 0},
    {FlowControl::XonXoff, 1, "Xon/Xoff", "software", "software", "Xon/Xoff flow control",
     "XON/XOFF", 2, IXON | IXOFF, 0},
    {FlowControl::Hardware, 2, "Hardware", "hardware", "hardware", "hardware flow control",
     "hardware", 3, 0, CRTSCTS},
};

// The row of a value; null for a value outside the enum (a cast from a bad number).
constexpr const ParityWords* WordsOf(Parity parity) {
    for (const ParityWords& row : kParityWords)
        if (row.parity == parity)
            return &row;
    return nullptr;
}
constexpr const FlowWords* WordsOf(FlowControl flow) {
    for (const FlowWords& row : kFlowWords)
        if (row.flow == flow)
            return &row;
    return nullptr;
}

// The row at `index` of the window's list; null outside it.
template <class Row, size_t N>
constexpr const Row* AtListIndex(const Row (&rows)[N], int index) {
    for (const Row& row : rows)
        if (index >= 0 && row.listIndex == index)
            return &row;
    return nullptr;
}

// The row whose runner option word is `word`; null when none is.
template <class Row, size_t N>
constexpr const Row* ByOption(const Row (&rows)[N], std::string_view word) {
    for (const Row& row : rows)
        if (row.option && word == row.option)
            return &row;
    return nullptr;
}

// The row that RFC 2217 value `value` stands for; null when none does.
template <class Row, size_t N>
constexpr const Row* ByRfc2217(const Row (&rows)[N], uint32_t value) {
    for (const Row& row : rows)
        if (row.rfc2217 == value)
            return &row;
    return nullptr;
}

// The window's list items in list order. A list index outside 0..Count-1 or one used twice
// does not compile.
template <size_t Count, class Row, size_t N>
constexpr std::array<const char*, Count> ListItems(const Row (&rows)[N]) {
    std::array<const char*, Count> items{};
    for (const Row& row : rows) {
        if (row.listIndex < 0)
            continue;
        if (static_cast<size_t>(row.listIndex) >= Count || items[row.listIndex] != nullptr)
            throw "list index outside the list or used twice";
        items[row.listIndex] = row.listItem;
    }
    for (const char* item : items)
        if (item == nullptr)
            throw "a list index without a row";
    return items;
}

inline constexpr auto kParityListItems = ListItems<3>(kParityWords);
inline constexpr auto kFlowListItems = ListItems<3>(kFlowWords);

}  // namespace platform
