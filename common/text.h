#pragma once

#include <string>

// Small text helpers shared by the settings readers and the macro expander.
// White space is the ASCII set (blank, tab, LF, VT, FF, CR): settings bytes
// pass through as UTF-8, and no byte of a multi-byte character may be taken
// for a blank.

bool IsWhiteSpace(char c);

// strText without white space at its right end, at its left end, at both.
std::string TrimRight(const std::string& strText);
std::string TrimLeft(const std::string& strText);
std::string Trim(const std::string& strText);

// ASCII letters lowered (raised); every other byte kept.
std::string ToLowerAscii(const std::string& strText);
std::string ToUpperAscii(const std::string& strText);

// Equality without regard to the case of ASCII letters.
bool EqualsNoCase(const std::string& strA, const std::string& strB);
