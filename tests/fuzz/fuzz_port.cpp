// The argument of PORT, as the server reads it: whatever it holds, the
// address stays four bytes and the port sixteen bits, and a result without
// a port leaves the port alone. The same bytes as EPRT's argument: an
// address taken has the family its protocol number says and a port from 1
// to 65535, and one refused leaves the address as it was.

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
    platform::CSocketAddress extended;
    extended.nAddress = 0x0A000001;
    extended.nPort = 4711;
    const int nResult = CFtpServer::ParseEprtArgument(strArgument, extended);
    if (nResult == 0) {
        const bool bIpv6 = strArgument.size() > 1 && strArgument[1] == '2';
        if (extended.nPort == 0 || (extended.bIpv6 && !bIpv6)) {
            std::abort();
        }
    } else if (nResult > 2 || extended.nPort != 4711 || extended.nAddress != 0x0A000001 ||
               extended.bIpv6) {
        std::abort();
    }
    return 0;
}
