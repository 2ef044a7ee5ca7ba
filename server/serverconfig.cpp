#include "server/serverconfig.h"

#include "common/macros.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

enum EHeader : size_t { kVersionHeader, kTcpHeader, kUserHeader };

const std::vector<std::string> kHeaders = {"[TandrelServer]", "[TCP]", "[USER]"};

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
