// Windows Sockets must be started before anything makes a socket; the
// programs do it when they start, and every test program does it here,
// before its first test.

#include "platform/socket.h"

namespace {

struct CSocketsStarted {
    CSocketsStarted() { platform::StartSockets(); }
    ~CSocketsStarted() { platform::StopSockets(); }
};

const CSocketsStarted g_socketsStarted;

}  // namespace
