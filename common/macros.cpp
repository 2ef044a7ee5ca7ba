#include "common/macros.h"

#include <cstdio>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/identity.h"
#include "platform/socket.h"

namespace {

const char* const kDeviceLibrary = "deviceid";

enum class EMacro { RemoteName, RemoteId, MachineName, MachineId, User, Date, Time };

struct CMacroDefinition {
    EMacro macro;
    const char* pszLowerName;  // as searched in the lowered text
};

// The order of this table is the order of replacement.
const CMacroDefinition kMacros[] = {
    {EMacro::RemoteName, "%remotemachinename%"},
    {EMacro::RemoteId, "%remotemachineid%"},
    {EMacro::MachineName, "%machinename%"},
    {EMacro::MachineId, "%machineid%"},
    {EMacro::User, "%user%"},
    {EMacro::Date, "%date%"},
    {EMacro::Time, "%time%"},
};

// A stretch of the text that holds an inserted value.
struct CInserted {
    size_t nStart;
    size_t nLength;
};

bool OverlapsInserted(const std::vector<CInserted>& inserted, size_t nStart, size_t nLength) {
    for (const CInserted& value : inserted) {
        if (nStart < value.nStart + value.nLength && value.nStart < nStart + nLength) {
            return true;
        }
    }
    return false;
}

// The first occurrence of pszLowerName that lies wholly in text written by
// the caller, not in an inserted value.
size_t FindMacro(const std::string& strLowerText, const std::string& strLowerName,
                 const std::vector<CInserted>& inserted) {
    size_t nPos = strLowerText.find(strLowerName);
    while (nPos != std::string::npos && OverlapsInserted(inserted, nPos, strLowerName.size())) {
        nPos = strLowerText.find(strLowerName, nPos + 1);
    }
    return nPos;
}

// Asks the device; empty when it cannot answer.
std::string ReadDeviceValue(CDeviceIdentitySource& device, EMacro macro) {
    if (!device.IsSessionOpen()) {
        device.ConnectDevice();
    }
    std::string strAnswer = macro == EMacro::RemoteId
                                ? device.InvokeDeviceFunction(kDeviceLibrary, "FnStringMode",
                                                              "GetDeviceId")
                                : device.InvokeDeviceFunction(kDeviceLibrary, "FnStringMode2",
                                                              "GetMachineName");
    strAnswer = TrimRight(strAnswer);
    return device.IsSessionOpen() ? strAnswer : std::string();
}

}  // namespace

bool ExpandMacros(std::string& strText, const std::string& strUser,
                  CDeviceIdentitySource* pDevice) {
    bool bResult = true;
    std::vector<CInserted> inserted;
    for (;;) {
        std::string strLower = ToLowerAscii(strText);
        const CMacroDefinition* pFound = nullptr;
        size_t nPos = std::string::npos;
        for (const CMacroDefinition& definition : kMacros) {
            bool bRemote =
                definition.macro == EMacro::RemoteName || definition.macro == EMacro::RemoteId;
            if ((bRemote && pDevice == nullptr) ||
                (definition.macro == EMacro::User && strUser.empty())) {
                continue;
            }
            nPos = FindMacro(strLower, definition.pszLowerName, inserted);
            if (nPos != std::string::npos) {
                pFound = &definition;
                break;
            }
        }
        if (pFound == nullptr) {
            return bResult;
        }

        std::string strValue;
        switch (pFound->macro) {
            case EMacro::RemoteName:
            case EMacro::RemoteId:
                strValue = ReadDeviceValue(*pDevice, pFound->macro);
                if (strValue.empty()) {
                    strValue = pFound->macro == EMacro::RemoteId ? "%ERROR_REMOTEMACHINEID%"
                                                                 : "%ERROR_REMOTEMACHINENAME%";
                    bResult = false;
                }
                break;
            case EMacro::MachineName:
                strValue = GetLocalMachineName();
                break;
            case EMacro::MachineId:
                strValue = GetLocalMachineId();
                break;
            case EMacro::User:
                strValue = strUser;
                break;
            case EMacro::Date:
                strValue = GetDateText();
                break;
            case EMacro::Time:
                strValue = GetTimeText();
                break;
        }

        size_t nMacroLength = std::char_traits<char>::length(pFound->pszLowerName);
        strText = strText.substr(0, nPos) + strValue + strText.substr(nPos + nMacroLength);
        // Stretches after the replaced macro move by the change in length.
        for (CInserted& value : inserted) {
            if (value.nStart >= nPos + nMacroLength) {
                value.nStart = value.nStart + strValue.size() - nMacroLength;
            }
        }
        inserted.push_back({nPos, strValue.size()});
    }
}

std::string GetLocalMachineName() { return platform::GetMachineName(); }

std::string GetLocalMachineId() { return MachineIdFromAddresses(platform::GetAdapterAddresses()); }

std::string GetLocalIpNumber() {
    uint32_t nAddress = 0;
    const std::string strHost = platform::GetHostName();
    if (platform::StartSockets() != 0 || strHost.empty() ||
        !platform::ResolveHostName(strHost, nAddress)) {
        return std::string();
    }
    return platform::CSocketAddress{nAddress, 0}.GetAddressText();
}

std::string MachineIdFromAddresses(const std::vector<std::string>& addresses) {
    // Bytes that a short address does not reach keep the values of the
    // address read before it.
    unsigned short bytes[6] = {0, 0, 0, 0, 0, 0};
    for (const std::string& strAddress : addresses) {
        std::sscanf(strAddress.c_str(), "%2hx%2hx%2hx%2hx%2hx%2hx", &bytes[0], &bytes[1],
                    &bytes[2], &bytes[3], &bytes[4], &bytes[5]);
        bool bAllZero = true;
        for (unsigned short nByte : bytes) {
            bAllZero = bAllZero && nByte == 0;
        }
        if (!bAllZero) {
            break;
        }
    }
    char szId[18];
    std::snprintf(szId, sizeof(szId), "%02X-%02X-%02X-%02X-%02X-%02X", bytes[0] & 0xFF,
                  bytes[1] & 0xFF, bytes[2] & 0xFF, bytes[3] & 0xFF, bytes[4] & 0xFF,
                  bytes[5] & 0xFF);
    return szId;
}

std::string GetDateText() {
    platform::CDateTime now = platform::GetLocalDateTime();
    char szText[32];
    std::snprintf(szText, sizeof(szText), "%04d%02d%02d", now.nYear, now.nMonth, now.nDay);
    return szText;
}

std::string GetTimeText() {
    platform::CDateTime now = platform::GetLocalDateTime();
    char szText[32];
    std::snprintf(szText, sizeof(szText), "%02d%02d%02d", now.nHour, now.nMinute, now.nSecond);
    return szText;
}
