#include "common/text.h"

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string TrimRight(const std::string& strText) {
    size_t nEnd = strText.size();
    while (nEnd > 0 && IsWhiteSpace(strText[nEnd - 1])) {
        --nEnd;
    }
    return strText.substr(0, nEnd);
}

std::string TrimLeft(const std::string& strText) {
    size_t nStart = 0;
    while (nStart < strText.size() && IsWhiteSpace(strText[nStart])) {
        ++nStart;
    }
    return strText.substr(nStart);
}

std::string Trim(const std::string& strText) { return TrimLeft(TrimRight(strText)); }

std::string ToLowerAscii(const std::string& strText) {
    std::string strLower = strText;
    for (char& c : strLower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return strLower;
}

std::string ToUpperAscii(const std::string& strText) {
    std::string strUpper = strText;
    for (char& c : strUpper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return strUpper;
}

bool EqualsNoCase(const std::string& strA, const std::string& strB) {
    return strA.size() == strB.size() && ToLowerAscii(strA) == ToLowerAscii(strB);
}
