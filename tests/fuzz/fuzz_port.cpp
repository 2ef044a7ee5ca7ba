// The argument of PORT, as the server reads it: whatever it holds, the
// address stays four bytes and the port sixteen bits, and a result without
// a port leaves the port alone.

#include <cstdlib>
#include <string>

#include "server/ftpserver/ftpserver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strArgument(reinterpret_cast<const char*>(pData), nSize);
    platform::CSocketAddress address;
    address.nAddress = 0x7F000001;
    address.nPort = 4711;
    if (!CFtpServer::ParsePortArgument(strArgument, address) && address.nPort != 4711) {
        std::abort();
    }
    return 0;
}
