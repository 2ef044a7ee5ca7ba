#include "tests/client/deviceid_fixture.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "tests/support/tempdir.h"


namespace testsupport {

namespace {

std::string Encode(const std::string& strBytes) {
    std::string strText;
    for (char ch : strBytes) {
        switch (ch) {
            case '\n': strText += "\\n"; break;
            case '\r': strText += "\\r"; break;
            case '\t': strText += "\\t"; break;
            case '\0': strText += "\\0"; break;
            case '\\': strText += "\\\\"; break;
            default: strText += ch; break;
        }
    }
    return strText;
}

bool WriteBytes(const std::string& strPath, const std::string& strBytes) {
    std::error_code ec;
    std::filesystem::remove(std::filesystem::u8path(strPath), ec);
    std::FILE* pFile = nullptr;
#ifdef _WIN32
    pFile = _wfopen(std::filesystem::u8path(strPath).c_str(), L"wb");
#else
    pFile = std::fopen(strPath.c_str(), "wb");
#endif
    if (pFile == nullptr) {
        return false;
    }
    bool bOk = std::fwrite(strBytes.data(), 1, strBytes.size(), pFile) == strBytes.size();
    return std::fclose(pFile) == 0 && bOk;
}

}  // namespace

std::string DeviceIdentityPath(const std::string& strDeviceRoot) {
#ifdef _WIN32
    return JoinPath(strDeviceRoot, "deviceid.exe");
#else
    return JoinPath(strDeviceRoot, "deviceid");
#endif
}

bool WriteDeviceIdentity(const std::string& strDeviceRoot,
                         const std::vector<CDeviceAnswer>& answers, bool bRunnable) {
    std::string strAnswers;
    for (const CDeviceAnswer& answer : answers) {
        strAnswers += answer.strKey + "\t" + std::to_string(answer.nExitStatus) + "\t" +
                      (answer.bEchoArguments ? "1" : "0") + "\t" + Encode(answer.strOutput) +
                      "\n";
    }
    if (!WriteBytes(JoinPath(strDeviceRoot, "deviceid.answers"), strAnswers)) {
        return false;
    }
    const std::string strLibrary = DeviceIdentityPath(strDeviceRoot);
    std::error_code ec;
    std::filesystem::remove(std::filesystem::u8path(strLibrary), ec);
    if (!bRunnable) {
        // Present, but no program: text where the system expects one.
        return WriteBytes(strLibrary, "not a program\n");
    }
    std::filesystem::copy_file(DEVICEID_STAND_IN_PATH, std::filesystem::u8path(strLibrary), ec);
    return !ec;
}

}  // namespace testsupport
