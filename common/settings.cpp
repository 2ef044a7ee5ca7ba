#include "common/settings.h"

#include <algorithm>
#include <climits>
#include <cstdint>
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

enum class EUtf16 { None, LittleEndian, BigEndian };

// Whether a file's bytes are UTF-16, as editors on Windows save "Unicode"
// text: with a byte-order mark (FF FE, FE FF), or without one, which shows
// as ASCII text with a NUL at every other byte. nSkip is the length of the
// mark. Read byte for byte such a file would be garbage between NULs.
EUtf16 DetectUtf16(const std::string& strContent, size_t& nSkip) {
    nSkip = 0;
    if (strContent.size() >= 2) {
        const unsigned char c0 = static_cast<unsigned char>(strContent[0]);
        const unsigned char c1 = static_cast<unsigned char>(strContent[1]);
        if (c0 == 0xFF && c1 == 0xFE) {
            nSkip = 2;
            return EUtf16::LittleEndian;
        }
        if (c0 == 0xFE && c1 == 0xFF) {
            nSkip = 2;
            return EUtf16::BigEndian;
        }
    }
    // Without a mark, the first characters decide; two of them at least, so
    // that an 8-bit file with a NUL in its second byte is not taken for one.
    const size_t nSample = std::min<size_t>(strContent.size(), 128) & ~size_t{1};
    if (nSample < 4) {
        return EUtf16::None;
    }
    bool bLittle = true;
    bool bBig = true;
    for (size_t i = 0; i < nSample; i += 2) {
        const bool bFirstZero = strContent[i] == '\0';
        const bool bSecondZero = strContent[i + 1] == '\0';
        bLittle = bLittle && !bFirstZero && bSecondZero;
        bBig = bBig && bFirstZero && !bSecondZero;
    }
    return bLittle ? EUtf16::LittleEndian : bBig ? EUtf16::BigEndian : EUtf16::None;
}

void AppendUtf8(std::string& strOut, uint32_t nCodePoint) {
    if (nCodePoint < 0x80) {
        strOut += static_cast<char>(nCodePoint);
    } else if (nCodePoint < 0x800) {
        strOut += static_cast<char>(0xC0 | (nCodePoint >> 6));
        strOut += static_cast<char>(0x80 | (nCodePoint & 0x3F));
    } else if (nCodePoint < 0x10000) {
        strOut += static_cast<char>(0xE0 | (nCodePoint >> 12));
        strOut += static_cast<char>(0x80 | ((nCodePoint >> 6) & 0x3F));
        strOut += static_cast<char>(0x80 | (nCodePoint & 0x3F));
    } else {
        strOut += static_cast<char>(0xF0 | (nCodePoint >> 18));
        strOut += static_cast<char>(0x80 | ((nCodePoint >> 12) & 0x3F));
        strOut += static_cast<char>(0x80 | ((nCodePoint >> 6) & 0x3F));
        strOut += static_cast<char>(0x80 | (nCodePoint & 0x3F));
    }
}

// Turns UTF-16 content into the UTF-8 text that the programs hold, in place;
// 8-bit content is left as it is. A lone surrogate becomes U+FFFD, and an odd
// last byte, half a character, is dropped. Returns false only when memory
// runs out.
bool DecodeUtf16(std::string& strContent) {
    size_t nSkip = 0;
    const EUtf16 eEncoding = DetectUtf16(strContent, nSkip);
    if (eEncoding == EUtf16::None) {
        return true;
    }
    const bool bBig = eEncoding == EUtf16::BigEndian;
    auto unitAt = [&](size_t i) -> uint32_t {
        const unsigned char c0 = static_cast<unsigned char>(strContent[i]);
        const unsigned char c1 = static_cast<unsigned char>(strContent[i + 1]);
        return bBig ? (c0 << 8) | c1 : (c1 << 8) | c0;
    };
    std::string strText;
    try {
        strText.reserve(strContent.size() / 2 * 3 / 2);
        for (size_t i = nSkip; i + 1 < strContent.size(); i += 2) {
            uint32_t nUnit = unitAt(i);
            if (nUnit >= 0xD800 && nUnit <= 0xDBFF && i + 3 < strContent.size()) {
                const uint32_t nLow = unitAt(i + 2);
                if (nLow >= 0xDC00 && nLow <= 0xDFFF) {
                    AppendUtf8(strText, 0x10000 + ((nUnit - 0xD800) << 10) + (nLow - 0xDC00));
                    i += 2;
                    continue;
                }
            }
            AppendUtf8(strText, nUnit >= 0xD800 && nUnit <= 0xDFFF ? 0xFFFD : nUnit);
        }
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    strContent.swap(strText);
    return true;
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
    if (!DecodeUtf16(strContent)) {
        return false;
    }

    size_t nStart = 0;
    while (nStart < strContent.size()) {
        size_t nLineFeed = strContent.find('\n', nStart);
        size_t nPieceEnd = nLineFeed == std::string::npos ? strContent.size() : nLineFeed;
        // A NUL ends the text of its own line only: ending the whole text
        // there would silently drop every section after it.
        nPieceEnd = static_cast<size_t>(
            std::find(strContent.begin() + static_cast<std::ptrdiff_t>(nStart),
                      strContent.begin() + static_cast<std::ptrdiff_t>(nPieceEnd), '\0') -
            strContent.begin());
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
