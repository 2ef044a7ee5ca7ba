#include <windows.h>

#include "platform/instance.h"
#include "platform/win32/internal.h"

namespace platform {

namespace {

HANDLE ToHandle(int nHandle) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(nHandle));
}

// The name of the program's mutex in the session's namespace. A '\' would
// be taken for a further namespace level.
std::wstring MutexName(const std::string& strProgram) {
    std::wstring strName = L"Local\\Tandrel.Instance." + win32::ToWide(strProgram);
    for (size_t i = 6; i < strName.size(); ++i) {
        if (strName[i] == L'\\') {
            strName[i] = L'_';
        }
    }
    return strName;
}

}  // namespace

CInstanceLock::~CInstanceLock() {
    if (m_nHandle >= 0) {
        CloseHandle(ToHandle(m_nHandle));
    }
}

bool CInstanceLock::Acquire(const std::string& strProgram, bool bAlone) {
    if (m_nHandle >= 0) {
        return true;
    }
    if (strProgram.empty() || strProgram.find('\0') != std::string::npos) {
        return false;
    }
    // Every instance holds a handle to the one named mutex, which exists as
    // long as any of them runs; nobody ever owns it. Creating it and finding
    // that it existed is what tells a newcomer that another instance runs,
    // in one step that two newcomers cannot both pass.
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, MutexName(strProgram).c_str());
    if (hMutex == nullptr) {
        return false;
    }
    bool bExisted = ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (bAlone && bExisted) {
        CloseHandle(hMutex);
        return false;
    }
    // Kernel handles are 32-bit values on every Windows, so the int holds it.
    m_nHandle = static_cast<int>(reinterpret_cast<intptr_t>(hMutex));
    return true;
}

}  // namespace platform
