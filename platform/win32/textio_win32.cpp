#include <fcntl.h>
#include <io.h>

#include "platform/textio.h"
#include "platform/win32/internal.h"

namespace platform {

std::FILE* OpenStream(const std::string& strPath, const char* pszMode) {
    if (pszMode == nullptr) {
        return nullptr;
    }
    std::wstring strWidePath = win32::ToWide(strPath);
    if (strWidePath.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    // The mode is plain ASCII ("rb", "w", "a+"): widened byte by byte.
    std::wstring strWideMode;
    for (const char* p = pszMode; *p != '\0'; ++p) {
        strWideMode += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    }
    return _wfopen(strWidePath.c_str(), strWideMode.c_str());
}

void SetTextMode(std::FILE* pStream) {
    if (pStream != nullptr) {
        std::fflush(pStream);
        _setmode(_fileno(pStream), _O_TEXT);
    }
}

}  // namespace platform
