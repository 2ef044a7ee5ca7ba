// The device's identity library as the tests give it to the device stand-in:
// a program that answers from the file deviceid.answers beside it, the same
// way on every system, so that no test needs a shell.
//
// Each line of the file is KEY<TAB>EXIT<TAB>ECHO<TAB>OUTPUT. KEY is
// FUNCTION/INPUT, or * for any call; the first line whose key matches
// answers. ECHO 1 writes the two arguments joined by '|' first. OUTPUT is
// written as it is, after \n \r \t \0 and \\ are decoded; then the program
// ends with status EXIT. No line matches: status 3.

#include <cstdio>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/textio.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

std::string Decode(const std::string& strText) {
    std::string strOut;
    for (size_t i = 0; i < strText.size(); ++i) {
        if (strText[i] != '\\' || i + 1 == strText.size()) {
            strOut += strText[i];
            continue;
        }
        switch (strText[++i]) {
            case 'n': strOut += '\n'; break;
            case 'r': strOut += '\r'; break;
            case 't': strOut += '\t'; break;
            case '0': strOut += '\0'; break;
            default: strOut += strText[i]; break;
        }
    }
    return strOut;
}

std::vector<std::string> Split(const std::string& strLine) {
    std::vector<std::string> parts;
    size_t nStart = 0;
    for (size_t nTab; parts.size() < 3 && (nTab = strLine.find('\t', nStart)) != std::string::npos;
         nStart = nTab + 1) {
        parts.push_back(strLine.substr(nStart, nTab - nStart));
    }
    parts.push_back(strLine.substr(nStart));
    return parts;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::vector<std::string> vecArgs = platform::GetProgramArguments(argc, argv);
    vecArgs.resize(2);
    std::string strSelf = platform::GetProgramPath();
    std::string strAnswers = strSelf.substr(0, strSelf.find_last_of("\\/") + 1) + "deviceid.answers";
    std::FILE* pFile = platform::OpenStream(strAnswers, "rb");
    if (pFile == nullptr) {
        return 4;
    }
    std::string strContent;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pFile)) > 0;) {
        strContent.append(buffer, n);
    }
    std::fclose(pFile);

    const std::string strKey = vecArgs[0] + "/" + vecArgs[1];
    size_t nStart = 0;
    while (nStart < strContent.size()) {
        size_t nEnd = strContent.find('\n', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strContent.size();
        }
        std::vector<std::string> parts = Split(strContent.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
        if (parts.size() != 4 || (parts[0] != "*" && parts[0] != strKey)) {
            continue;
        }
        std::string strOutput = Decode(parts[3]);
        if (parts[2] == "1") {
            strOutput = vecArgs[0] + "|" + vecArgs[1] + strOutput;
        }
        std::fwrite(strOutput.data(), 1, strOutput.size(), stdout);
        std::fflush(stdout);
        return std::atoi(parts[1].c_str());
    }
    return 3;
}
