#pragma once

#include <stdexcept>
#include <string>

// The one exception of the system: a file could not be opened or read where
// the caller wants to catch the failure and go on (a local digest, for one).

class CFileException : public std::runtime_error {
public:
    CFileException(const std::string& strFileName, int nOsError)
        : std::runtime_error("file error on '" + strFileName + "' (" + std::to_string(nOsError) +
                             ")"),
          m_strFileName(strFileName),
          m_nOsError(nOsError) {}

    const std::string& GetFileName() const { return m_strFileName; }
    int GetOsError() const { return m_nOsError; }

private:
    std::string m_strFileName;
    int m_nOsError;
};
