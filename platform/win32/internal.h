#pragma once

// What the Windows files of the platform layer share and nobody else sees.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Text is UTF-8 everywhere inside the programs; the system's Unicode calls
// want UTF-16. These are the only conversions between the two, so that no
// code page of the machine ever decides what a name means.

namespace platform::win32 {

// Bytes that are not UTF-8 become U+FFFD rather than failing the whole
// conversion: a name that cannot be represented then simply matches nothing.
inline std::wstring ToWide(const std::string& strText) {
    if (strText.empty()) {
        return std::wstring();
    }
    int nLength = MultiByteToWideChar(CP_UTF8, 0, strText.data(),
                                      static_cast<int>(strText.size()), nullptr, 0);
    if (nLength <= 0) {
        return std::wstring();
    }
    std::wstring strWide(static_cast<size_t>(nLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()),
                        strWide.data(), nLength);
    return strWide;
}

// nLength -1: up to the terminating zero.
inline std::string FromWide(const wchar_t* pszText, int nLength = -1) {
    if (pszText == nullptr || nLength == 0) {
        return std::string();
    }
    if (nLength < 0) {
        nLength = static_cast<int>(wcslen(pszText));
        if (nLength == 0) {
            return std::string();
        }
    }
    int nBytes = WideCharToMultiByte(CP_UTF8, 0, pszText, nLength, nullptr, 0, nullptr, nullptr);
    if (nBytes <= 0) {
        return std::string();
    }
    std::string strText(static_cast<size_t>(nBytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pszText, nLength, strText.data(), nBytes, nullptr, nullptr);
    return strText;
}

inline std::string FromWide(const std::wstring& strText) {
    return FromWide(strText.c_str(), static_cast<int>(strText.size()));
}

// A file on the attached device lives in the CFile of a CDeviceFile, whose
// reads and writes go straight to that CFile. CFile therefore knows handles of
// a second kind: values with kDeviceHandleTag set, which the device layer
// hands out and serves. No system handle ever has that bit: handle values
// stay far below it.
constexpr intptr_t kDeviceHandleTag = intptr_t{1} << 62;

inline bool IsDeviceHandle(intptr_t hFile) { return hFile >= 0 && (hFile & kDeviceHandleTag) != 0; }

// CDeviceFile::Open asks its CFile to open the device path behind this
// marker, which no real path can begin with (control characters are not
// allowed in names).
constexpr const char* kDevicePathMarker = "\x01" "device" "\x01";

// Served by the device layer; the CFile keeps the error code it reports.
bool OpenDeviceHandle(const std::string& strDevicePath, bool bCreate, intptr_t& hFile,
                      int& nError);
int64_t ReadDeviceHandle(intptr_t hFile, void* pBuffer, size_t nCount, int& nError);
bool WriteDeviceHandle(intptr_t hFile, const void* pBuffer, size_t nCount, int& nError);
bool CloseDeviceHandle(intptr_t hFile);

}  // namespace platform::win32
