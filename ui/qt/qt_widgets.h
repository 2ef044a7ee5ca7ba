#pragma once

#include <QFont>
#include <QIcon>
#include <QWidget>

#include "ui/template.h"

// What the Qt host builds its windows from, for the host itself and for
// tests that look at those windows.

namespace ui::qt {

// The font a template names. "MS Shell Dlg", the classic dialog font, does
// not exist on Linux: it becomes DejaVu Sans (or the system's sans-serif
// font when that is missing) at the template's point size.
QFont DialogFont(const CDialogTemplate& dialogTemplate);

// The dialog base units of font as the Windows dialog manager measures
// them: the average width of the 52 Latin letters, rounded, and the height.
void MeasureBaseUnits(const QFont& font, int& nBaseX, int& nBaseY);

// The programs' own icon (two arrows, one each way), in several sizes.
QIcon ProgramIcon();

// The widget that shows control nId of the window, or null. Controls carry
// their id in the property below.
QWidget* FindControl(QWidget* pWindow, int nId);
constexpr const char* kControlIdProperty = "tandrelControlId";
// Context-menu actions carry their system command in this property.
constexpr const char* kSysCommandProperty = "tandrelSysCommand";

}  // namespace ui::qt
