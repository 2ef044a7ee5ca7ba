#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ui/dialog.h"
#include "ui/template.h"

// What the window hosts' own tests share: a small dialog with every kind of
// control and style, and a dialog whose handlers a test fills in.

namespace hosttest {

using ui::EControlKind;

enum : int {
    kIdGroup = 10,
    kIdLabel = 11,
    kIdName = 12,
    kIdSecret = 13,
    kIdShown = 14,
    kIdLocked = 15,
    kIdHiddenLabel = 16,
    kIdList = 17,
    kIdGo = 18,
    kIdPlainList = 19,
    kIdProgress = 20,
    kIdEllipsis = 21,
};

inline const ui::CDialogTemplate& Template() {
    static const ui::CDialogTemplate t = [] {
        ui::CDialogTemplate t;
        t.nResourceId = 1;
        t.strCaption = "Small dialog";
        t.cx = 200;
        t.cy = 150;
        t.controls = {
            {kIdGroup, EControlKind::GroupBox, "Values", 4, 4, 192, 70},
            {kIdLabel, EControlKind::Label, "Name:", 8, 16, 30, 8},
            {kIdName, EControlKind::Edit, "", 40, 14, 100, 12},
            {kIdSecret, EControlKind::Edit, "", 40, 28, 100, 12, ui::kStylePassword},
            {kIdShown, EControlKind::Edit, "", 40, 42, 100, 12, ui::kStyleReadOnly},
            {kIdLocked, EControlKind::Edit, "", 40, 56, 100, 12, ui::kStyleDisabled},
            {kIdHiddenLabel, EControlKind::Label, "Later", 150, 16, 30, 8, ui::kStyleHidden},
            {kIdList, EControlKind::ListBox, "", 4, 78, 192, 40,
             ui::kStyleNoSelection | ui::kStyleVScroll | ui::kStyleHScroll |
                 ui::kStyleNoIntegralHeight},
            {kIdPlainList, EControlKind::ListBox, "", 150, 30, 40, 30},
            {kIdProgress, EControlKind::ProgressBar, "", 4, 120, 192, 8},
            {kIdEllipsis, EControlKind::Label, "", 150, 62, 46, 8, ui::kStyleEllipsis},
            {kIdGo, EControlKind::PushButton, "Go", 40, 128, 50, 14, ui::kStyleDefaultButton},
            {ui::kIdCancel, EControlKind::PushButton, "Cancel", 100, 128, 50, 14},
        };
        return t;
    }();
    return t;
}

// A dialog whose handlers a test fills in; it records every command.
class CScriptedDialog : public ui::CDialog {
public:
    explicit CScriptedDialog(const ui::CDialogTemplate& t = Template()) : ui::CDialog(t) {}

    void OnInitDialog() override {
        if (m_onInit) m_onInit();
    }
    void OnCommand(int nId) override {
        m_commands.push_back(nId);
        if (m_bDestroyed) m_bCalledAfterDestroy = true;
        if (m_onCommand) {
            m_onCommand(nId);
        } else if (nId != ui::kIdCancel || !m_bRefuseCancel) {
            ui::CDialog::OnCommand(nId);
        }
    }
    void OnSysCommand(int nCommand) override {
        m_sysCommands.push_back(nCommand);
        if (m_onSysCommand) m_onSysCommand(nCommand);
    }
    void OnDestroy() override {
        if (m_onDestroy) m_onDestroy();
        m_bDestroyed = true;
    }

    using ui::CDialog::AddSystemMenuItem;
    using ui::CDialog::EnableItem;
    using ui::CDialog::EndDialog;
    using ui::CDialog::GetClientRect;
    using ui::CDialog::GetItemRect;
    using ui::CDialog::GetItemProgress;
    using ui::CDialog::GetItemText;
    using ui::CDialog::IsItemEnabled;
    using ui::CDialog::ListInsert;
    using ui::CDialog::Minimize;
    using ui::CDialog::MoveItem;
    using ui::CDialog::PostCommand;
    using ui::CDialog::RunChild;
    using ui::CDialog::SetFocusItem;
    using ui::CDialog::SetItemProgress;
    using ui::CDialog::SetItemText;
    using ui::CDialog::ShowItem;
    using ui::CDialog::ShowMessageBox;

    std::function<void()> m_onInit;
    std::function<void(int)> m_onCommand;
    std::function<void(int)> m_onSysCommand;
    std::function<void()> m_onDestroy;
    bool m_bRefuseCancel = false;
    std::vector<int> m_commands;
    std::vector<int> m_sysCommands;
    bool m_bDestroyed = false;
    bool m_bCalledAfterDestroy = false;
};

}  // namespace hosttest
