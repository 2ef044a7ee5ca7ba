#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "common/messages.h"

// What the fuzz targets share: the fuzzer's bytes as a file (the parsers read
// files by path, as the programs do), and a message sink that only counts.

namespace fuzzing {

// One file per process, rewritten for every input; in memory (/dev/shm)
// where there is such a file system, as writing it to disk took most of
// each execution.
inline const std::string& InputPath() {
    static const std::string strPath = [] {
        char szShm[] = "/dev/shm/tandrel-fuzz-XXXXXX";
        char szTmp[] = "/tmp/tandrel-fuzz-XXXXXX";
        int fd = mkstemp(szShm);
        char* pszPath = szShm;
        if (fd < 0) {
            fd = mkstemp(szTmp);
            pszPath = szTmp;
        }
        if (fd >= 0) {
            close(fd);
        }
        return std::string(pszPath);
    }();
    return strPath;
}

inline bool WriteInput(const uint8_t* pData, size_t nSize) {
    std::FILE* pFile = std::fopen(InputPath().c_str(), "wb");
    if (pFile == nullptr) {
        return false;
    }
    bool bOk = nSize == 0 || std::fwrite(pData, 1, nSize, pFile) == nSize;
    return std::fclose(pFile) == 0 && bOk;
}

class CCountingSink : public CMessageSink {
public:
    void ShowMessage(const std::string& strText) override {
        ++m_nMessages;
        m_nBytes += strText.size();
    }
    size_t m_nMessages = 0;
    size_t m_nBytes = 0;
};

}  // namespace fuzzing
