#include <cctype>

#include "platform/console.h"
#include "platform/paths.h"
#include "ui/application.h"
#include "ui/console_host.h"
#include "ui/win32/win32_host.h"

namespace ui {

namespace {

// The program's name as the operator typed it: without ".exe".
std::string ProgramName() {
    std::string strProgram = platform::GetProgramPath();
    strProgram = strProgram.substr(strProgram.find_last_of("\\/") + 1);
    if (strProgram.size() > 4) {
        std::string strExtension = strProgram.substr(strProgram.size() - 4);
        for (char& c : strExtension) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (strExtension == ".exe") {
            strProgram.resize(strProgram.size() - 4);
        }
    }
    return strProgram;
}

}  // namespace

std::unique_ptr<CDialogHost> CreateHost(bool bForceConsole) {
    if (!bForceConsole) {
        std::string strProblem;
        if (std::unique_ptr<CWin32Host> pHost = CWin32Host::Open(strProblem)) {
            return pHost;
        }
        // A window program has no streams of its own: the terminal it was
        // started from gets the line and the dialogue.
        platform::AttachParentConsole();
        platform::WriteErrorLine(ProgramName() + ": " + strProblem + "; running in the terminal");
        return std::make_unique<CConsoleHost>();
    }
    platform::AttachParentConsole();
    return std::make_unique<CConsoleHost>();
}

}  // namespace ui
