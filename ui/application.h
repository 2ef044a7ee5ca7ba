#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ui/dialog.h"

// The application pattern of the GUI programs: an application object whose
// InitInstance runs the program's main dialog, and a command-line
// information class that receives the command line word by word.

namespace ui {

class CCommandLineInfo {
public:
    virtual ~CCommandLineInfo() = default;

    // One word of the command line. bFlag is true when the word began with
    // '/' or '-', which is removed; bLast marks the last word. The base
    // understands "console" (any case): use the terminal host even where a
    // display exists. Derived classes call it for the words they do not know.
    virtual void ParseParam(const std::string& strParam, bool bFlag, bool bLast);

    bool m_bForceConsole = false;
};

// Hands each word of vecArguments (the command line without the program's
// own name) to info.ParseParam.
void ParseCommandLine(const std::vector<std::string>& vecArguments, CCommandLineInfo& info);

// Switch names are compared without regard to case (ASCII).
bool IsSwitch(const std::string& strParam, const char* pszName);

// The host for this process: the window host when a display can be used and
// bForceConsole is not set, the terminal host otherwise. Defined apart from
// the rest of ui/ (ui/hostfactory.cpp, target tandrel_ui_hosts), since it
// links every host.
std::unique_ptr<CDialogHost> CreateHost(bool bForceConsole);

class CApplication {
public:
    virtual ~CApplication() = default;

    // Keeps the arguments, runs InitInstance and returns the exit status it
    // left in m_nExitCode.
    int Run(int argc, char** argv);

    // Starts the program: parse the command line, run the main dialog.
    virtual void InitInstance() = 0;

protected:
    std::vector<std::string> m_vecArguments;  // without the program's name
    int m_nExitCode = 0;
};

}  // namespace ui
