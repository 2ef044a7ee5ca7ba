#pragma once

#include <cerrno>
#include <string>

#include "platform/file.h"

// The system's own error codes that tests expect in causes and traces:
// errno values on Linux, Windows (and Windows Sockets) codes there. Their
// texts come from the platform, as the programs' own do.

namespace testsupport {

#ifdef _WIN32
constexpr int kErrorNoSuchFile = 2;             // ERROR_FILE_NOT_FOUND
constexpr int kErrorNoSuchFolder = 3;           // ERROR_PATH_NOT_FOUND
constexpr int kErrorAddressInUse = 10048;       // WSAEADDRINUSE
constexpr int kErrorConnectionReset = 10054;    // WSAECONNRESET
constexpr int kErrorConnectionRefused = 10061;  // WSAECONNREFUSED
constexpr int kErrorBrokenPipe = 10058;         // WSAESHUTDOWN: sending after the peer has gone
#else
constexpr int kErrorNoSuchFile = ENOENT;
constexpr int kErrorNoSuchFolder = ENOENT;
constexpr int kErrorAddressInUse = EADDRINUSE;
constexpr int kErrorConnectionReset = ECONNRESET;
constexpr int kErrorConnectionRefused = ECONNREFUSED;
constexpr int kErrorBrokenPipe = EPIPE;
#endif

inline std::string ErrorText(int nError) { return platform::GetSystemErrorText(nError); }

}  // namespace testsupport
