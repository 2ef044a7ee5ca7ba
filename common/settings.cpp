#include "common/settings.h"

#include <climits>
#include <new>
#include <stdexcept>

#include "common/text.h"
#include "platform/file.h"
#include "platform/paths.h"

const char* const kMsgLineIgnored = "Syntax error. This line will be ignored";
const char* const kMsgInvalidVersion = "Syntax error. Invalid version!!!";
const char* const kMsgInvalidPort =
    "Syntax error. Invalid Port!!!. You must specify a number or \"BT\" for bluetooth";

namespace {

const char* const kAcceptedVersions[] = {"Quillon 3.2", "Quillon 3.3", "Quillon 4.1"};

size_t FindFileNameStart(const std::string& strPath) {
    size_t nSeparator = strPath.find_last_of("\\/");
    return nSeparator == std::string::npos ? 0 : nSeparator + 1;
}

}  // namespace

std::string GetSettingsFilePath() { return GetSettingsFilePathFor(platform::GetProgramPath()); }

std::string GetSettingsFilePathFor(const std::string& strProgramPath) {
    // Only the file name can carry the extension: a dot in a folder name
    // (/opt/x.y/TandrelServer) is not one, nor is the dot of a hidden name.
    size_t nNameStart = FindFileNameStart(strProgramPath);
    size_t nDot = strProgramPath.rfind('.');
    if (nDot == std::string::npos || nDot <= nNameStart) {
        return strProgramPath + ".INI";
    }
    return strProgramPath.substr(0, nDot) + ".INI";
}

bool ReadTextFileLines(const std::string& strPath, std::vector<std::string>& lines) {
    lines.clear();
    platform::CFile file;
    if (!file.Open(strPath, platform::CFile::modeRead)) {
        return false;
    }
    int64_t nLength = file.GetLength();
    if (nLength < 0) {
        return false;
    }
    std::string strContent;
    try {
        strContent.resize(static_cast<size_t>(nLength));
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    if (file.Read(strContent.data(), strContent.size()) != nLength) {
        return false;
    }

    // The text ends at its first NUL byte.
    size_t nEnd = strContent.find('\0');
    if (nEnd != std::string::npos) {
        strContent.resize(nEnd);
    }
    size_t nStart = 0;
    while (nStart < strContent.size()) {
        size_t nLineFeed = strContent.find('\n', nStart);
        size_t nPieceEnd = nLineFeed == std::string::npos ? strContent.size() : nLineFeed;
        lines.push_back(Trim(strContent.substr(nStart, nPieceEnd - nStart)));
        if (nLineFeed == std::string::npos) {
            break;
        }
        nStart = nLineFeed + 1;
    }
    return true;
}

void SplitAtFirst(const std::string& strText, char chSeparator, std::string& strLeft,
                  std::string& strRight) {
    size_t nPos = strText.find(chSeparator);
    if (nPos == std::string::npos) {
        strLeft.clear();
        strRight.clear();
        return;
    }
    strLeft = Trim(strText.substr(0, nPos));
    strRight = Trim(strText.substr(nPos + 1));
}

std::string GetMessageFileName(const std::string& strPath) {
    return strPath.substr(FindFileNameStart(strPath));
}

std::string FormatLineMessage(const std::string& strText, const std::string& strFileName,
                              int nLine) {
    return strText + " (" + strFileName + ", line " + std::to_string(nLine) + ")";
}

bool IsAllDigits(const std::string& strText) {
    for (char c : strText) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

int DecimalToInt(const std::string& strDigits) {
    long long nValue = 0;
    for (char c : strDigits) {
        if (c < '0' || c > '9') {
            break;
        }
        nValue = nValue * 10 + (c - '0');
        if (nValue > INT_MAX) {
            return INT_MAX;
        }
    }
    return static_cast<int>(nValue);
}

ESettingsLine GetSettingsLineKind(const std::string& strLine) {
    if (strLine.empty()) {
        return ESettingsLine::Empty;
    }
    if (strLine[0] == '.') {
        return ESettingsLine::Comment;
    }
    if (strLine[0] == '[') {
        return ESettingsLine::Header;
    }
    return ESettingsLine::Entry;
}

bool CSettingsParser::Read(const std::string& strPath) {
    m_strFileName = GetMessageFileName(strPath);
    return ReadTextFileLines(strPath, m_lines);
}

bool CSettingsParser::Walk(const std::vector<std::string>& headers,
                           const std::function<size_t(size_t, size_t)>& onSection) {
    size_t i = 0;
    while (i < m_lines.size()) {
        const std::string& strLine = m_lines[i];
        ESettingsLine kind = GetSettingsLineKind(strLine);
        if (kind == ESettingsLine::Empty || kind == ESettingsLine::Comment) {
            ++i;
            continue;
        }
        size_t nHeader = 0;
        while (nHeader < headers.size() && !EqualsNoCase(strLine, headers[nHeader])) {
            ++nHeader;
        }
        if (nHeader == headers.size()) {
            ReportLine(kMsgLineIgnored, static_cast<int>(i + 1));
            ++i;
            continue;
        }
        i = onSection(nHeader, i);
        if (i == kStopParse) {
            return false;
        }
    }
    return true;
}

size_t CSettingsParser::WalkSection(size_t nHeaderIndex,
                                    const std::function<bool(const CSettingsEntry&)>& onEntry) {
    size_t i = nHeaderIndex + 1;
    for (; i < m_lines.size(); ++i) {
        const std::string& strLine = m_lines[i];
        ESettingsLine kind = GetSettingsLineKind(strLine);
        if (kind == ESettingsLine::Header) {
            break;
        }
        if (kind != ESettingsLine::Entry) {
            continue;
        }
        CSettingsEntry entry;
        SplitAtFirst(strLine, '=', entry.strKey, entry.strValue);
        entry.nLine = static_cast<int>(i + 1);
        if (!onEntry(entry)) {
            return kStopParse;
        }
    }
    return i;
}

size_t CSettingsParser::WalkVersionSection(size_t nHeaderIndex) {
    return WalkSection(nHeaderIndex, [this](const CSettingsEntry& entry) {
        if (!EqualsNoCase(entry.strKey, "Version")) {
            ReportLine(kMsgLineIgnored, entry.nLine);
            return true;
        }
        for (const char* pszVersion : kAcceptedVersions) {
            if (EqualsNoCase(entry.strValue, pszVersion)) {
                return true;
            }
        }
        ReportLine(kMsgInvalidVersion, entry.nLine);
        return false;
    });
}

void CSettingsParser::ReportLine(const std::string& strText, int nLine) {
    m_messages.ShowMessage(FormatLineMessage(strText, m_strFileName, nLine));
}
