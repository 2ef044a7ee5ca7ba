#pragma once

#include <string>

// strText, one byte per character, as the bytes of a UTF-16 file (the way
// Windows editors save "Unicode" text), optionally behind a byte-order mark.
inline std::string Utf16(const std::string& strText, bool bBigEndian, bool bMark) {
    std::string strBytes;
    if (bMark) {
        strBytes = bBigEndian ? "\xFE\xFF" : "\xFF\xFE";
    }
    for (char c : strText) {
        strBytes += bBigEndian ? std::string{'\0', c} : std::string{c, '\0'};
    }
    return strBytes;
}
