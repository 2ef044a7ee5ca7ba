#pragma once

#include <string>

#include "ui/application.h"

namespace client {

// The switches of TandrelClient, preceded by '/' or '-', in any case:
//   "putfirst"        send (PUT) before fetching (GET)
//   "start"           start the run at once when the script is complete
//   "silent"          start at once, show the dialog minimised, end after the run
//   "startputfirst"   "start" and "putfirst"
//   "silentputfirst"  "silent" and "putfirst"
// and "console" of every dialog program. Flags are only ever set; anything
// else on the command line is ignored.
class CTandrelCommandLineInfo : public ui::CCommandLineInfo {
public:
    void ParseParam(const std::string& strParam, bool bFlag, bool bLast) override;

    bool m_bStart = false;
    bool m_bSilent = false;
    bool m_bPutFirst = false;
};

class CTandrelClientApp : public ui::CApplication {
public:
    void InitInstance() override;
};

// Exit statuses of TandrelClient, so that cron jobs and scripts can act on a
// run's outcome.
enum : int {
    kExitOk = 0,              // the run ended with every file transferred or equal
    kExitSocketsFailed = 1,   // the network could not be used
    kExitScriptFailed = 2,    // the sync script could not be read or is wrong
    kExitNoRun = 3,           // the dialog ended before any run (Cancel, end of input)
    kExitConnectFailed = 4,   // the server or device could not be reached
    kExitLoginFailed = 5,     // the server refused the user or password
    kExitFilesFailed = 6,     // at least one file failed, the run broke off, or the
                              // script has no GET and no PUT section
};

}  // namespace client
