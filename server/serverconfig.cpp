#include "server/serverconfig.h"

#include "common/macros.h"
#include "common/settings.h"
#include "common/text.h"
#include "platform/socket.h"

namespace {

enum EHeader : size_t { kVersionHeader, kTcpHeader, kUserHeader };

const std::vector<std::string> kHeaders = {"[TandrelServer]", "[TCP]", "[USER]"};

const char* const kMsgInvalidPassivePorts =
    "Syntax error. Invalid PassivePorts. You must specify a range of ports such as 50000-50100";
const char* const kMsgInvalidTlsRequired =
    "Syntax error. Invalid TlsRequired. You must specify Yes or No";
const char* const kMsgInvalidMaxSessions =
    "Syntax error. Invalid MaxSessions. You must specify a number from 1 to 256";
const char* const kMsgInvalidPassiveAddress =
    "Syntax error. Invalid PassiveAddress. You must specify an IPv4 address such as 203.0.113.7";

// "first-last", both 1 to 65535, first not above last; a single port counts
// as a range of one.
bool ParsePortRange(const std::string& strValue, CPassiveSettings& passive) {
    const size_t nDash = strValue.find('-');
    const std::string strFirst = Trim(strValue.substr(0, nDash));
    const std::string strLast =
        nDash == std::string::npos ? strFirst : Trim(strValue.substr(nDash + 1));
    auto isPort = [](const std::string& strText) {
        return !strText.empty() && strText.size() <= 5 && IsAllDigits(strText) &&
               DecimalToInt(strText) >= 1 && DecimalToInt(strText) <= 65535;
    };
    if (!isPort(strFirst) || !isPort(strLast) || DecimalToInt(strFirst) > DecimalToInt(strLast)) {
        return false;
    }
    passive.nFirstPort = static_cast<uint16_t>(DecimalToInt(strFirst));
    passive.nLastPort = static_cast<uint16_t>(DecimalToInt(strLast));
    return true;
}

}  // namespace

bool CFileSyncServerConfig::Load(const std::string& strPath, CMessageSink& sink) {
    // A reload must never show values of the file loaded before, not even
    // when this file turns out to be unreadable.
    m_lines.clear();
    m_bBluetooth = false;
    m_nPort = -1;
    m_strStartDir.clear();
    m_strWelcome.clear();
    m_strLogFile.clear();
    m_passive = CPassiveSettings();
    m_strTlsCertificate.clear();
    m_strTlsKey.clear();
    m_bTlsRequired = false;
    m_nMaxSessions = 1;
    m_users.clear();
    m_strFilePath = strPath;
    return ParseLines(strPath, sink);
}

bool CFileSyncServerConfig::ParseLines(const std::string& strPath, CMessageSink& sink) {
    CSettingsParser parser(sink);
    if (!parser.Read(strPath)) {
        return false;
    }
    m_lines = parser.GetLines();

    auto walkTcp = [&](size_t nIndex) {
        return parser.WalkSection(nIndex, [&](const CSettingsEntry& entry) {
            if (EqualsNoCase(entry.strKey, "Port")) {
                if (IsAllDigits(entry.strValue)) {
                    m_nPort = DecimalToInt(entry.strValue);
                    m_bBluetooth = false;
                } else if (EqualsNoCase(entry.strValue, "BT")) {
                    m_nPort = -1;
                    m_bBluetooth = true;
                } else {
                    parser.ReportLine(kMsgInvalidPort, entry.nLine);
                    return false;
                }
            } else if (EqualsNoCase(entry.strKey, "StartDir")) {
                m_strStartDir = entry.strValue;
            } else if (EqualsNoCase(entry.strKey, "Welcome")) {
                m_strWelcome = entry.strValue;
            } else if (EqualsNoCase(entry.strKey, "PassivePorts")) {
                // A firewall opened for these ports alone must not meet
                // others: a value that cannot be read ends the load.
                if (!ParsePortRange(entry.strValue, m_passive)) {
                    parser.ReportLine(kMsgInvalidPassivePorts, entry.nLine);
                    return false;
                }
            } else if (EqualsNoCase(entry.strKey, "PassiveAddress")) {
                uint32_t nAddress = 0;
                if (!platform::ParseIpv4Address(entry.strValue, nAddress) || nAddress == 0) {
                    parser.ReportLine(kMsgInvalidPassiveAddress, entry.nLine);
                    return false;
                }
                m_passive.nAnnouncedAddress = nAddress;
            } else if (EqualsNoCase(entry.strKey, "MaxSessions")) {
                // A server sized for one session must not take a hundred
                // because of a typing error, nor the other way round.
                const bool bNumber = IsAllDigits(entry.strValue) && entry.strValue.size() <= 3;
                const int nSessions = bNumber ? DecimalToInt(entry.strValue) : 0;
                if (nSessions < 1 || nSessions > CFtpServer::kMaxSessions) {
                    parser.ReportLine(kMsgInvalidMaxSessions, entry.nLine);
                    return false;
                }
                m_nMaxSessions = nSessions;
            } else if (EqualsNoCase(entry.strKey, "TlsCertificate")) {
                m_strTlsCertificate = entry.strValue;
            } else if (EqualsNoCase(entry.strKey, "TlsKey")) {
                m_strTlsKey = entry.strValue;
            } else if (EqualsNoCase(entry.strKey, "TlsRequired")) {
                // Like a bad port range: a server meant to refuse logins in
                // the clear must not take them because of a typing error.
                if (EqualsNoCase(entry.strValue, "Yes")) {
                    m_bTlsRequired = true;
                } else if (EqualsNoCase(entry.strValue, "No")) {
                    m_bTlsRequired = false;
                } else {
                    parser.ReportLine(kMsgInvalidTlsRequired, entry.nLine);
                    return false;
                }
            } else if (EqualsNoCase(entry.strKey, "Log")) {
                // Without a user name or a device there is nothing that could
                // fail to expand; %USER% and the device macros stay as written.
                std::string strLog = entry.strValue;
                ExpandMacros(strLog, std::string(), nullptr);
                m_strLogFile = strLog;
            } else {
                parser.ReportLine(kMsgLineIgnored, entry.nLine);
            }
            return true;
        });
    };

    auto walkUser = [&](size_t nIndex) {
        // Every [USER] section adds its account, an empty one included, so
        // the accounts keep the order and number of the sections.
        CFileSyncServerUser user;
        size_t nNext = parser.WalkSection(nIndex, [&](const CSettingsEntry& entry) {
            if (EqualsNoCase(entry.strKey, "User")) {
                user.m_strUser = entry.strValue;
            } else if (EqualsNoCase(entry.strKey, "Pwd")) {
                user.m_strPassword = entry.strValue;
            } else {
                parser.ReportLine(kMsgLineIgnored, entry.nLine);
            }
            return true;
        });
        m_users.push_back(std::move(user));
        return nNext;
    };

    return parser.Walk(kHeaders, [&](size_t nHeader, size_t nIndex) {
        switch (nHeader) {
            case kVersionHeader:
                return parser.WalkVersionSection(nIndex);
            case kTcpHeader:
                return walkTcp(nIndex);
            default:
                return walkUser(nIndex);
        }
    });
}

bool CFileSyncServerConfig::SetUser(size_t nUser, const std::string& strUser) {
    if (nUser >= m_users.size()) {
        return false;
    }
    m_users[nUser].m_strUser = strUser;
    return true;
}

bool CFileSyncServerConfig::SetPwd(size_t nUser, const std::string& strPwd) {
    if (nUser >= m_users.size()) {
        return false;
    }
    m_users[nUser].m_strPassword = strPwd;
    return true;
}
