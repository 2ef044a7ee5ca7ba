#include "ui/application.h"

#include "platform/paths.h"

namespace ui {

bool IsSwitch(const std::string& strParam, const char* pszName) {
    size_t i = 0;
    for (; i < strParam.size() && pszName[i] != '\0'; ++i) {
        char ch = strParam[i];
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
        char chName = pszName[i];
        if (chName >= 'A' && chName <= 'Z') {
            chName = static_cast<char>(chName - 'A' + 'a');
        }
        if (ch != chName) {
            return false;
        }
    }
    return i == strParam.size() && pszName[i] == '\0';
}

void CCommandLineInfo::ParseParam(const std::string& strParam, bool bFlag, bool /*bLast*/) {
    if (bFlag && IsSwitch(strParam, "console")) {
        m_bForceConsole = true;
    }
}

void ParseCommandLine(const std::vector<std::string>& vecArguments, CCommandLineInfo& info) {
    for (size_t i = 0; i < vecArguments.size(); ++i) {
        const std::string& strWord = vecArguments[i];
        const bool bFlag = !strWord.empty() && (strWord[0] == '/' || strWord[0] == '-');
        info.ParseParam(bFlag ? strWord.substr(1) : strWord, bFlag,
                        i + 1 == vecArguments.size());
    }
}

int CApplication::Run(int argc, char** argv) {
    m_vecArguments = platform::GetProgramArguments(argc, argv);
    InitInstance();
    return m_nExitCode;
}

}  // namespace ui
