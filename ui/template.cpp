#include "ui/template.h"

namespace ui {

const CControlTemplate* CDialogTemplate::Find(int nId) const {
    for (const CControlTemplate& control : controls) {
        if (control.nId == nId) {
            return &control;
        }
    }
    return nullptr;
}

CRect DialogUnitsToPixels(int x, int y, int cx, int cy, int nBaseX, int nBaseY) {
    // Rounded as the window system rounds, so both hosts place alike.
    auto horizontal = [nBaseX](int n) { return (n * nBaseX + 2) / 4; };
    auto vertical = [nBaseY](int n) { return (n * nBaseY + 4) / 8; };
    CRect rect;
    rect.left = horizontal(x);
    rect.top = vertical(y);
    rect.right = rect.left + horizontal(cx);
    rect.bottom = rect.top + vertical(cy);
    return rect;
}

}  // namespace ui
