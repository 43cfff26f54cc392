// The main dialog's template: its controls in tab order, their captions, styles and rectangles
// in dialog units, and the initial items of the drop-down lists.
#pragma once

#include <span>

enum class ControlKind {
    DropList,  // drop-down list without an edit field, vertical scroll bar, not sorted
    PushButton,
    DefPushButton,  // the default push button
    Edit,           // single-line edit, border, horizontal auto-scroll
    IpAddress,      // IPv4 address control
    Label,
    GroupBox,
    CheckBox,  // automatic check box
    RichEdit,  // multi-line read-only console, both scroll bars, no word wrap
};

enum ControlStyle : unsigned {
    STYLE_NONE = 0,
    STYLE_HIDDEN = 1 << 0,
    STYLE_DISABLED = 1 << 1,
    STYLE_CENTER = 1 << 2,   // centred text (edit, group title)
    STYLE_SUNKEN = 1 << 3,   // sunken frame (status line)
    STYLE_VCENTER = 1 << 4,  // vertically centred, no word wrap (status line)
    STYLE_FLAT = 1 << 5,     // flat group box title
};

struct ControlTemplate {
    int id;
    const char* name;  // the control's id name, used as its objectName
    ControlKind kind;
    const char* text;
    int x, y, cx, cy;  // dialog units
    unsigned style;
    const char* accessibleName;  // for controls without a caption of their own
};

struct DialogTemplate {
    const char* caption;
    int cx, cy;  // dialog units
    const char* fontFace;
    int fontPointSize;
    std::span<const ControlTemplate> controls;
};

const DialogTemplate& TerminalDialogTemplate();

// Initial items of a drop-down list of the main dialog (empty for other ids).
std::span<const char* const> ComboItems(int id);
