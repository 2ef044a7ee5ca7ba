#include "common/macros.h"

#include <cstdio>
#include <iterator>
#include <map>
#include <optional>

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

// A macro of the caller's text, by where it stands in that text, and the
// value that replaces it.
struct CReplacement {
    size_t nStart;
    size_t nLength;
    std::string strValue;
};

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

// Inserted text is never searched again and a match may not reach into it, so
// every macro that is replaced stands whole in the caller's text, and the
// passes described in the header come down to this: the macros in the order
// of the table, each one's occurrences from left to right, every occurrence
// that overlaps none replaced before it. The work stays in proportion to the
// text's length, however many macros it holds.
bool ExpandMacros(std::string& strText, const std::string& strUser,
                  CDeviceIdentitySource* pDevice) {
    bool bResult = true;
    const std::string strLower = ToLowerAscii(strText);
    std::map<size_t, CReplacement> replacements;  // by start
    // The computer's name and address are read once, when first needed.
    std::optional<std::string> machineName;
    std::optional<std::string> machineId;
    auto overlapsReplaced = [&](size_t nStart, size_t nLength) {
        auto next = replacements.lower_bound(nStart);
        if (next != replacements.end() && next->first < nStart + nLength) {
            return true;
        }
        if (next != replacements.begin()) {
            const CReplacement& before = std::prev(next)->second;
            return before.nStart + before.nLength > nStart;
        }
        return false;
    };
    for (const CMacroDefinition& definition : kMacros) {
        bool bRemote =
            definition.macro == EMacro::RemoteName || definition.macro == EMacro::RemoteId;
        if ((bRemote && pDevice == nullptr) ||
            (definition.macro == EMacro::User && strUser.empty())) {
            continue;
        }
        const std::string strName = definition.pszLowerName;
        for (size_t nPos = strLower.find(strName); nPos != std::string::npos;
             nPos = strLower.find(strName, nPos + 1)) {
            if (overlapsReplaced(nPos, strName.size())) {
                continue;
            }
            std::string strValue;
            switch (definition.macro) {
                case EMacro::RemoteName:
                case EMacro::RemoteId:
                    strValue = ReadDeviceValue(*pDevice, definition.macro);
                    if (strValue.empty()) {
                        strValue = definition.macro == EMacro::RemoteId
                                       ? "%ERROR_REMOTEMACHINEID%"
                                       : "%ERROR_REMOTEMACHINENAME%";
                        bResult = false;
                    }
                    break;
                case EMacro::MachineName:
                    if (!machineName) {
                        machineName = GetLocalMachineName();
                    }
                    strValue = *machineName;
                    break;
                case EMacro::MachineId:
                    if (!machineId) {
                        machineId = GetLocalMachineId();
                    }
                    strValue = *machineId;
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
            replacements.emplace(nPos, CReplacement{nPos, strName.size(), std::move(strValue)});
        }
    }
    if (replacements.empty()) {
        return bResult;
    }
    std::string strExpanded;
    size_t nCopied = 0;
    for (const auto& [nStart, replacement] : replacements) {
        strExpanded.append(strText, nCopied, nStart - nCopied);
        strExpanded += replacement.strValue;
        nCopied = nStart + replacement.nLength;
    }
    strExpanded.append(strText, nCopied, std::string::npos);
    strText = std::move(strExpanded);
    return bResult;
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
