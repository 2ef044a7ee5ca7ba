// Windows Sockets must be started before anything makes a socket; the
// programs do it when they start, and every test program does it here,
// before its first test.

#include "platform/socket.h"

namespace {

// Never stopped: stopping Windows Sockets while the process exits can
// wait on threads the exit has already ended, and the system releases
// everything anyway.
struct CSocketsStarted {
    CSocketsStarted() { platform::StartSockets(); }
};

const CSocketsStarted g_socketsStarted;

}  // namespace
