#include "platform/console.h"
#include "platform/paths.h"
#include "ui/application.h"
#include "ui/console_host.h"
#include "ui/qt/qt_host.h"

namespace ui {

std::unique_ptr<CDialogHost> CreateHost(bool bForceConsole) {
    if (!bForceConsole) {
        std::string strProblem;
        if (std::unique_ptr<CQtHost> pHost = CQtHost::Open(strProblem)) {
            return pHost;
        }
        if (!strProblem.empty()) {
            // One line, so that a program started with a display it cannot
            // use still keeps its output as it is in the terminal.
            std::string strProgram = platform::GetProgramPath();
            strProgram = strProgram.substr(strProgram.find_last_of("\\/") + 1);
            platform::WriteErrorLine(strProgram + ": " + strProblem + "; running in the terminal");
        }
    }
    return std::make_unique<CConsoleHost>();
}

}  // namespace ui
