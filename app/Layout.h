// Placement of the main dialog's controls for a client area of W x H pixels.
#pragma once

#include <string>
#include <vector>

struct LayoutRect {
    int x, y, cx, cy;
    bool operator==(const LayoutRect&) const = default;
};

struct LayoutPlacement {
    int id;
    LayoutRect rect;
};

// The share of the width beyond 520 (serial rows) and 502 (network row) pixels that each column
// gets; integer division truncating toward zero, so a width of 517 gives 0, not -1.
inline int LayoutD1(int w) {
    return (w - 520) / 4;
}
inline int LayoutD2(int w) {
    return (w - 502) / 4;
}

// Every moved control in the order it is moved. The hidden buttons are not moved.
std::vector<LayoutPlacement> ComputeLayout(int w, int h);

// One control of the rectangle listing: its id and its format's label.
struct RectListingEntry {
    int id;
    const char* label;
};
const std::vector<RectListingEntry>& RectListingOrder();
// label + ":[left,top,right,bottom]\n".
std::string FormatRectLine(const char* label, long left, long top, long right, long bottom);

// The layout flag: false at process start, true after the first size notification. Tests that
// need a fresh process state reset it.
bool LayoutFlag();
void ResetLayoutFlagForTests();
