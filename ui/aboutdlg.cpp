#include "ui/aboutdlg.h"

namespace ui {

namespace {

CDialogTemplate MakeAboutTemplate(const std::string& strProgram) {
    CDialogTemplate t;
    t.nResourceId = IDD_ABOUTBOX;
    t.strCaption = strProgram;
    t.cx = 142;
    t.cy = 121;
    t.controls = {
        {-1, EControlKind::Label, strProgram + " v.1.2", 40, 10, 90, 8},
        {-1, EControlKind::Label, "MachineId:", 7, 40, 40, 8},
        {IDC_ABOUT_MACHINEID, EControlKind::Edit, "", 50, 38, 85, 12, kStyleReadOnly},
        {-1, EControlKind::Label, "Ip Number:", 7, 60, 40, 8},
        {IDC_ABOUT_IPNUMBER, EControlKind::Edit, "", 50, 58, 85, 12, kStyleReadOnly},
        {kIdOk, EControlKind::PushButton, "OK", 46, 100, 50, 14, kStyleDefaultButton},
    };
    return t;
}

}  // namespace

// The base keeps a reference to the template, so it is built before the
// base is constructed and lives in the object.
CAboutDlg::CAboutDlg(const std::string& strProgram, const std::string& strMachineId,
                     const std::string& strIpNumber)
    : CDialog(m_aboutTemplate),
      m_aboutTemplate(MakeAboutTemplate(strProgram)),
      m_strMachineId(strMachineId),
      m_strIpNumber(strIpNumber) {}

void CAboutDlg::OnInitDialog() {
    SetItemText(IDC_ABOUT_MACHINEID, m_strMachineId);
    SetItemText(IDC_ABOUT_IPNUMBER, m_strIpNumber);
}

}  // namespace ui
