#pragma once

#include <string>
#include <vector>

// Dialogs described as data. A template gives the dialog's caption, size and
// font and every control with its id, kind, text, place and styles; hosts
// build real windows (or a terminal dialogue, or a test double) from it.
// Positions and sizes are in dialog units: a quarter of the font's average
// character width horizontally, an eighth of its height vertically.

namespace ui {

// Ids with a meaning of their own to every host.
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// The system-menu command that opens a dialog's About box.
constexpr int kSysCommandAbout = 16;

enum class EControlKind { PushButton, GroupBox, Label, Edit, ListBox, ProgressBar };

// A progress bar's position: 0 is nothing done, kProgressMax all of it.
// kProgressUnknown says that work goes on without saying how far it has got
// (a busy bar). A bar starts at 0. Its text is what the position stands for in
// words: window hosts draw the bar alone (the dialog shows the words in a
// label of its own where it wants them), and a terminal shows the text as
// its status line.
constexpr int kProgressMax = 1000;
constexpr int kProgressUnknown = -1;

// nPosition as a bar takes it: above kProgressMax the bar is full, and any
// negative position is kProgressUnknown.
constexpr int ClampProgress(int nPosition) {
    return nPosition < 0 ? kProgressUnknown : nPosition > kProgressMax ? kProgressMax : nPosition;
}

// Control styles, combined as bits.
enum : unsigned {
    kStyleNone = 0,
    kStyleHidden = 1u << 0,         // not visible at first
    kStyleDisabled = 1u << 1,       // not enabled at first
    kStyleDefaultButton = 1u << 2,  // pressed by Enter
    kStylePassword = 1u << 3,       // edit shows no characters
    kStyleReadOnly = 1u << 4,       // edit can be read, not changed
    kStyleNoSelection = 1u << 5,    // list shows items without selecting them
    kStyleVScroll = 1u << 6,
    kStyleHScroll = 1u << 7,
    kStyleNoIntegralHeight = 1u << 8,  // list keeps its height exactly
    kStyleEllipsis = 1u << 9,  // label keeps to one line; a text too wide
                               // for it loses characters in its middle,
                               // where an ellipsis shows the cut
};

struct CControlTemplate {
    int nId;
    EControlKind eKind;
    std::string strText;
    int x, y, cx, cy;  // dialog units
    unsigned nStyles = kStyleNone;
};

struct CDialogTemplate {
    int nResourceId;
    std::string strCaption;
    int cx, cy;  // dialog units
    std::string strFontName = "MS Shell Dlg";
    int nFontPoints = 8;
    bool bSystemMenu = true;
    bool bMinimizeBox = false;
    std::vector<CControlTemplate> controls;

    // The control with nId, or null.
    const CControlTemplate* Find(int nId) const;
};

// A rectangle in pixels of the dialog's client area.
struct CRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool operator==(const CRect&) const = default;
};

// Converts dialog units to pixels for a font whose average character is
// nBaseX pixels wide and nBaseY pixels high.
CRect DialogUnitsToPixels(int x, int y, int cx, int cy, int nBaseX, int nBaseY);

// The font metrics that hosts without a real font use (those of the
// classic 8-point dialog font at 96 dots per inch).
constexpr int kDefaultBaseX = 6;
constexpr int kDefaultBaseY = 13;

}  // namespace ui
