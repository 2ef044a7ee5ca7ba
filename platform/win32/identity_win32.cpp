#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstdio>
#include <vector>

#include "platform/identity.h"
#include "platform/win32/internal.h"

namespace platform {

namespace {

constexpr size_t kMaxComputerName = 15;

}  // namespace

std::string GetMachineName() {
    // The NetBIOS name, which the system itself keeps to 15 characters.
    wchar_t szName[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD nLength = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(szName, &nLength)) {
        return std::string();
    }
    std::wstring strName(szName, nLength);
    if (strName.size() > kMaxComputerName) {
        strName.resize(kMaxComputerName);
    }
    return win32::FromWide(strName);
}

std::string GetHostName() {
    wchar_t szName[256] = {};
    DWORD nLength = 256;
    if (!GetComputerNameExW(ComputerNameDnsHostname, szName, &nLength)) {
        return std::string();
    }
    return win32::FromWide(szName, static_cast<int>(nLength));
}

std::vector<std::string> GetAdapterAddresses() {
    std::vector<std::string> addresses;
    ULONG nSize = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG nResult = ERROR_BUFFER_OVERFLOW;
    // The list may grow between the call that sizes it and the one that
    // fills it.
    for (int nAttempt = 0; nAttempt < 4 && nResult == ERROR_BUFFER_OVERFLOW; ++nAttempt) {
        buffer.resize(nSize);
        nResult = GetAdaptersAddresses(
            AF_UNSPEC,
            GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                GAA_FLAG_INCLUDE_ALL_INTERFACES,
            nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &nSize);
    }
    if (nResult != NO_ERROR) {
        return addresses;
    }
    for (auto* p = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); p != nullptr;
         p = p->Next) {
        if (p->IfType == IF_TYPE_SOFTWARE_LOOPBACK) {
            addresses.emplace_back("000000000000");
            continue;
        }
        if (p->PhysicalAddressLength != 6) {
            continue;
        }
        const unsigned char* pBytes = p->PhysicalAddress;
        char szText[13];
        std::snprintf(szText, sizeof(szText), "%02X%02X%02X%02X%02X%02X", pBytes[0], pBytes[1],
                      pBytes[2], pBytes[3], pBytes[4], pBytes[5]);
        addresses.emplace_back(szText);
    }
    return addresses;
}

}  // namespace platform
