#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// Joins two paths with one separator of the system's ('/' on Linux, '\' on
// Windows); an absolute strName is returned as is.
std::string JoinPath(const std::string& strBase, const std::string& strName);

// A fresh folder of its own for one test, under the system temp folder
// (TMPDIR or /tmp), removed with everything in it by the destructor. Names
// given to the helpers are relative to the folder unless absolute.
class CTempDir {
public:
    // Aborts with a message when the folder cannot be made: no test could
    // run sensibly without it.
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string Join(const std::string& strName) const { return JoinPath(m_strPath, strName); }

    // Creates or replaces the file with exactly these bytes.
    bool WriteFile(const std::string& strName, std::string_view bytes) const;
    // The file's bytes, or nothing when it cannot be read (missing, say).
    std::optional<std::string> ReadFile(const std::string& strName) const;
    bool Exists(const std::string& strName) const;
    // Names of the entries directly in the folder (or in its subfolder
    // strSub), sorted.
    std::vector<std::string> List(const std::string& strSub = std::string()) const;

private:
    std::string m_strPath;
};

}  // namespace testsupport
