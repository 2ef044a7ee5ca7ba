#pragma once

#include <string>

#include "ui/dialog.h"

// The About box of both programs: the program's name and version, this
// computer's machine id and IP number. The program fills in the two values,
// so the box itself knows nothing of where they come from.

namespace ui {

enum : int {
    IDD_ABOUTBOX = 100,
    IDC_ABOUT_MACHINEID = 1000,
    IDC_ABOUT_IPNUMBER = 1001,
};

class CAboutDlg : public CDialog {
public:
    // strProgram is the caption and the name shown with the version.
    CAboutDlg(const std::string& strProgram, const std::string& strMachineId,
              const std::string& strIpNumber);
    void OnInitDialog() override;

private:
    CDialogTemplate m_aboutTemplate;
    std::string m_strMachineId;
    std::string m_strIpNumber;
};

}  // namespace ui
