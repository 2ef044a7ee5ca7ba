#pragma once

#include <string>

#include "platform/instance.h"
#include "ui/application.h"

namespace server {

// The switches of TandrelServer: "runonce", "start" and "startone" (and
// "console" of every dialog program), preceded by '/' or '-', in any case.
class CTandrelCommandLineInfo : public ui::CCommandLineInfo {
public:
    void ParseParam(const std::string& strParam, bool bFlag, bool bLast) override;

    bool m_bStart = false;          // start at once and run unattended
    bool m_bSingleSession = false;  // a client's QUIT ends the program
    bool m_bRunOnce = false;        // end at once when another instance runs
};

class CTandrelServerApp : public ui::CApplication {
public:
    void InitInstance() override;

private:
    // Held for the program's whole life, so later instances see this one.
    platform::CInstanceLock m_instanceLock;
};

// Exit statuses of TandrelServer.
enum : int {
    kExitOk = 0,              // ended by the operator, a stop request, QUIT, or runonce
    kExitSocketsFailed = 1,   // the network could not be used
    kExitSettingsFailed = 2,  // the configuration file could not be read or is wrong
    kExitNeverStarted = 3,    // a start switch was given, but the server never ran
};

}  // namespace server
