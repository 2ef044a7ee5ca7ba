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

size_t ReadTextLine(std::FILE* pStream, char* pBuffer, size_t nSize) {
    // A text-mode stream here already turns CR LF into '\n'; the pair is
    // still looked for, so that binary streams and files with CR CR LF read
    // as they do everywhere else.
    size_t nStored = 0;
    while (nStored + 1 < nSize) {
        int c = std::getc(pStream);
        if (c == EOF) {
            break;
        }
        if (c == '\r') {
            int cNext = std::getc(pStream);
            if (cNext == '\n') {
                c = '\n';
            } else if (cNext != EOF) {
                std::ungetc(cNext, pStream);
            }
        }
        pBuffer[nStored++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    pBuffer[nStored] = '\0';
    return nStored;
}

void SetTextMode(std::FILE* pStream) {
    if (pStream != nullptr) {
        std::fflush(pStream);
        _setmode(_fileno(pStream), _O_TEXT);
    }
}

}  // namespace platform
