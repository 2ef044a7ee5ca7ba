#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/identity.h"

namespace platform {

namespace {

constexpr size_t kMaxComputerName = 15;

}  // namespace

std::string GetMachineName() {
    char szName[256] = {};
    if (gethostname(szName, sizeof(szName) - 1) != 0) {
        return std::string();
    }
    std::string strName = szName;
    if (strName.size() > kMaxComputerName) {
        strName.resize(kMaxComputerName);
    }
    return strName;
}

std::string GetHostName() {
    char szName[256] = {};
    if (gethostname(szName, sizeof(szName) - 1) != 0) {
        return std::string();
    }
    return szName;
}

std::vector<std::string> GetAdapterAddresses() {
    std::vector<std::string> addresses;
    struct if_nameindex* pInterfaces = if_nameindex();
    if (pInterfaces == nullptr) {
        return addresses;
    }
    std::vector<std::pair<unsigned, std::string>> interfaces;
    for (struct if_nameindex* p = pInterfaces; p->if_index != 0 && p->if_name != nullptr; ++p) {
        interfaces.emplace_back(p->if_index, p->if_name);
    }
    if_freenameindex(pInterfaces);
    std::sort(interfaces.begin(), interfaces.end());

    int hSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (hSocket < 0) {
        return addresses;
    }
    for (const auto& [nIndex, strName] : interfaces) {
        struct ifreq request {};
        if (strName.size() >= sizeof(request.ifr_name)) {
            continue;
        }
        std::memcpy(request.ifr_name, strName.c_str(), strName.size());
        if (ioctl(hSocket, SIOCGIFHWADDR, &request) != 0) {
            continue;
        }
        const unsigned char* pBytes =
            reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
        char szText[13];
        std::snprintf(szText, sizeof(szText), "%02X%02X%02X%02X%02X%02X", pBytes[0], pBytes[1],
                      pBytes[2], pBytes[3], pBytes[4], pBytes[5]);
        addresses.emplace_back(szText);
    }
    close(hSocket);
    return addresses;
}

}  // namespace platform
