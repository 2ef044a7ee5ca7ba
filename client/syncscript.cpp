#include "client/syncscript.h"

#include "client/transfer/activesyncdevice.h"
#include "common/macros.h"
#include "common/settings.h"
#include "common/text.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/socket.h"

namespace {

enum EHeader : size_t { kVersionHeader, kServerHeader, kPutHeader, kGetHeader };

const std::vector<std::string> kHeaders = {"[TandrelClient]", "[SERVER]", "[PUT]", "[GET]"};

const char* const kMsgServerMacro = "ERROR: Cannot expand Macro. Check the device is connected";
const char* const kMsgSectionMacro =
    "ERROR: Cannot expand Macro. The complete PUT/GET section will be ignored. Check the "
    "device is connected and the file deviceid.dll is located in the root folder on the "
    "Pocket PC";
const char* const kMsgGetWildcards =
    "Syntax error. Metacharacters are no allowed in GET->RemoteFiles";

const char* const kMsgInvalidTls = "Syntax error. Invalid Tls. You must specify Yes or No";

// An IPv6 literal (also in brackets, as in a URL) stays as it is; a name
// becomes its IPv4 address, or its IPv6 one when it has no IPv4 address.
// Empty when a name does not resolve.

std::string ResolveAddress(const std::string& strName) {
    std::string strLiteral = strName;
    if (strLiteral.size() > 2 && strLiteral.front() == '[' && strLiteral.back() == ']') {
        strLiteral = strLiteral.substr(1, strLiteral.size() - 2);
    }
    platform::CSocketAddress address;
    if (platform::ParseIpAddress(strLiteral, address)) {
        return strLiteral;
    }
    if (platform::StartSockets() != 0 || !platform::ResolveHostAddress(strName, address)) {
        return std::string();
    }
    return address.GetAddressText();
}

}  // namespace

bool HasWildcard(const std::string& strEntry) {
    return strEntry.find_first_of("*?") != std::string::npos;
}

std::string RemoveTrailingSeparators(const std::string& strPath) {
    size_t nEnd = strPath.size();
    while (nEnd > 1 && platform::IsPathSeparator(strPath[nEnd - 1])) {
        --nEnd;
    }
    return strPath.substr(0, nEnd);
}

bool CreateFolderChain(const std::string& strPath) {
    if (strPath.empty()) {
        return false;
    }
    // Each prefix that ends before a separator names a folder of the chain.
    // The empty prefix in front of a leading separator is the root, and a
    // doubled separator adds no folder.
    for (size_t i = 1; i < strPath.size(); ++i) {
        if (!platform::IsPathSeparator(strPath[i]) || platform::IsPathSeparator(strPath[i - 1])) {
            continue;
        }
        const std::string strPrefix = strPath.substr(0, i);
        if (!platform::FileExists(strPrefix) && !platform::MakeDirectory(strPrefix)) {
            return false;
        }
    }
    const std::string strWhole = RemoveTrailingSeparators(strPath);
    if (platform::FileExists(strWhole)) {
        return (platform::GetPathAttributes(strWhole) & platform::kFileAttributeDirectory) != 0;
    }
    return platform::MakeDirectory(strWhole);
}

void CSyncScript::Reset() {
    m_strFilePath.clear();
    m_lines.clear();
    m_strLabel.clear();
    m_strAddress.clear();
    m_strHostName.clear();
    m_bBluetooth = false;
    m_bActiveSync = false;
    m_nPort = -1;
    m_nTimeoutSeconds = 0;
    m_eDataMode = EDataMode::Active;
    m_bTls = false;
    m_strTlsCaFile.clear();
    m_strUser.clear();
    m_strPassword.clear();
    m_strLogFile.clear();
    m_PutList.clear();
    m_GetList.clear();
    m_bGetWildcards = false;
}

bool CSyncScript::Load(const std::string& strPath, CMessageSink& messages) {
    Reset();
    m_strFilePath = strPath;
    CSettingsParser parser(messages);
    if (!parser.Read(strPath)) {
        return false;
    }
    m_lines = parser.GetLines();

    // Asked for the device's name and identity only while the script speaks
    // of a device; connected on first use by the expander.
    CActiveSyncDevice device;
    auto deviceForMacros = [&]() -> CDeviceIdentitySource* {
        return m_bActiveSync ? &device : nullptr;
    };

    auto walkServer = [&](size_t nIndex) {
        std::string strAddressAsWritten;
        return parser.WalkSection(nIndex, [&](const CSettingsEntry& entry) {
            const std::string& strKey = entry.strKey;
            if (EqualsNoCase(strKey, "Label")) {
                m_strLabel = entry.strValue;
            } else if (EqualsNoCase(strKey, "Address")) {
                strAddressAsWritten = entry.strValue;
                std::string strAddress = entry.strValue;
                if (!m_bBluetooth && !m_bActiveSync &&
                    strAddress.find_first_not_of("0123456789.") != std::string::npos) {
                    strAddress = ResolveAddress(strAddress);
                }
                m_strAddress = strAddress;
                m_strHostName = entry.strValue;
                if (m_strHostName.size() > 2 && m_strHostName.front() == '[' &&
                    m_strHostName.back() == ']') {
                    m_strHostName = m_strHostName.substr(1, m_strHostName.size() - 2);
                }
            } else if (EqualsNoCase(strKey, "Port")) {
                if (IsAllDigits(entry.strValue)) {
                    m_nPort = DecimalToInt(entry.strValue);
                    m_bBluetooth = false;
                    m_bActiveSync = false;
                } else if (EqualsNoCase(entry.strValue, "BT")) {
                    m_bBluetooth = true;
                    m_bActiveSync = false;
                    m_nPort = -1;
                    m_strAddress = strAddressAsWritten;
                } else if (EqualsNoCase(entry.strValue, "ActiveSync")) {
                    m_bActiveSync = true;
                    m_bBluetooth = false;
                    m_nPort = -1;
                    m_strAddress = strAddressAsWritten;
                } else {
                    parser.ReportLine(kMsgInvalidPort, entry.nLine);
                    return false;
                }
            } else if (EqualsNoCase(strKey, "Timeout")) {
                // A value that cannot be a limit is ignored like an unknown
                // line: the run then waits as long as it always did.
                const int nSeconds = IsAllDigits(entry.strValue) ? DecimalToInt(entry.strValue) : 0;
                if (nSeconds < 1 || nSeconds > kMaxTimeoutSeconds) {
                    parser.ReportLine(kMsgLineIgnored, entry.nLine);
                } else {
                    m_nTimeoutSeconds = nSeconds;
                }
            } else if (EqualsNoCase(strKey, "DataMode")) {
                // Like Timeout: an unknown value is ignored, and the data
                // connections stay active as without the key.
                if (EqualsNoCase(entry.strValue, "Active")) {
                    m_eDataMode = EDataMode::Active;
                } else if (EqualsNoCase(entry.strValue, "Passive")) {
                    m_eDataMode = EDataMode::Passive;
                } else if (EqualsNoCase(entry.strValue, "Auto")) {
                    m_eDataMode = EDataMode::Auto;
                } else {
                    parser.ReportLine(kMsgLineIgnored, entry.nLine);
                }
            } else if (EqualsNoCase(strKey, "Tls")) {
                if (EqualsNoCase(entry.strValue, "Yes") || EqualsNoCase(entry.strValue, "No")) {
                    m_bTls = EqualsNoCase(entry.strValue, "Yes");
                } else {
                    parser.ReportLine(kMsgInvalidTls, entry.nLine);
                    return false;
                }
            } else if (EqualsNoCase(strKey, "TlsCaFile")) {
                m_strTlsCaFile = entry.strValue;
            } else if (EqualsNoCase(strKey, "User") || EqualsNoCase(strKey, "Pwd") ||
                       EqualsNoCase(strKey, "Log")) {
                const bool bLog = EqualsNoCase(strKey, "Log");
                std::string strValue = entry.strValue;
                const bool bExpanded =
                    ExpandMacros(strValue, bLog ? m_strUser : std::string(), deviceForMacros());
                if (bLog) {
                    m_strLogFile = strValue;
                } else if (EqualsNoCase(strKey, "User")) {
                    m_strUser = strValue;
                } else {
                    m_strPassword = strValue;
                }
                if (!bExpanded) {
                    parser.ReportLine(kMsgServerMacro, entry.nLine);
                    return false;
                }
            } else {
                parser.ReportLine(kMsgLineIgnored, entry.nLine);
            }
            return true;
        });
    };

    auto walkPutGet = [&](size_t nIndex, bool bGet) {
        CFileSyncClientPutGet record;
        bool bSpoiled = false;
        const char* const pszListKey = bGet ? "RemoteFiles" : "LocalFiles";
        // Expands a value of this section; a device macro that cannot be
        // filled spoils the whole section, but its lines are still checked.
        auto expand = [&](const CSettingsEntry& entry) {
            std::string strValue = entry.strValue;
            if (!ExpandMacros(strValue, m_strUser, deviceForMacros())) {
                parser.ReportLine(kMsgSectionMacro, entry.nLine);
                bSpoiled = true;
            }
            return strValue;
        };
        size_t nNext = parser.WalkSection(nIndex, [&](const CSettingsEntry& entry) {
            const std::string& strKey = entry.strKey;
            if (EqualsNoCase(strKey, pszListKey)) {
                std::string strRest = expand(entry) + ";";
                while (!strRest.empty()) {
                    std::string strEntry;
                    SplitAtFirst(strRest, ';', strEntry, strRest);
                    if (strEntry.empty()) {
                        continue;
                    }
                    if (bGet && !m_bGetWildcards && HasWildcard(strEntry)) {
                        if (!m_bActiveSync) {
                            parser.ReportLine(kMsgGetWildcards, entry.nLine);
                            return false;
                        }
                        m_bGetWildcards = true;
                    }
                    record.m_strFiles.push_back(strEntry);
                }
            } else if (EqualsNoCase(strKey, "LocalDir")) {
                const std::string strDir = RemoveTrailingSeparators(expand(entry));
                if (bGet && !bSpoiled && !CreateFolderChain(strDir)) {
                    parser.ReportLine("ERROR: Cannot create folder '" + strDir + "'", entry.nLine);
                    return false;
                }
                record.m_strLocalDir = strDir;
            } else if (EqualsNoCase(strKey, "RemoteDir")) {
                record.m_strRemoteDir = RemoveTrailingSeparators(expand(entry));
            } else {
                parser.ReportLine(kMsgLineIgnored, entry.nLine);
            }
            return true;
        });
        if (nNext != CSettingsParser::kStopParse && !bSpoiled) {
            (bGet ? m_GetList : m_PutList).push_back(record);
        }
        return nNext;
    };

    const bool bParsed = parser.Walk(kHeaders, [&](size_t nHeader, size_t nIndex) {
        switch (nHeader) {
            case kVersionHeader:
                return parser.WalkVersionSection(nIndex);
            case kServerHeader:
                return walkServer(nIndex);
            default:
                return walkPutGet(nIndex, nHeader == kGetHeader);
        }
    });

    // Whatever opened a session with the device ends it, also when a later
    // Port line left device mode.
    if (device.IsSessionOpen()) {
        device.DisconnectDevice();
    }
    return bParsed;
}
