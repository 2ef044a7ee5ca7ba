#include "common/log.h"

#include "platform/textio.h"

void CLog::OpenLogFile(const std::string& strPath) {
    if (strPath.empty()) {
        return;
    }
    CloseLogFile();
    auto pFile = std::make_unique<platform::CFile>();
    if (!pFile->Open(strPath, platform::CFile::modeCreate)) {
        m_messages.ShowMessage("Cannot open log file '" + strPath + "'");
        return;
    }
    m_pLogFile = std::move(pFile);
}

void CLog::AddLogLine(const std::string& strLine) {
    if (m_pList != nullptr) {
        m_pList->InsertLogLine(strLine);
    }
    if (m_pLogFile != nullptr) {
        // One write per line, straight to the system: nothing shown is lost if the
        // program dies later. A failed write is deliberately ignored.
        std::string strRecord = strLine + platform::kTextLineEnd;
        m_pLogFile->Write(strRecord.data(), strRecord.size());
    }
}

void CLog::CloseLogFile() {
    if (m_pLogFile != nullptr) {
        m_pLogFile->Close();
        m_pLogFile.reset();
    }
}
