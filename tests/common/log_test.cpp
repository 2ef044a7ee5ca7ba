#include "common/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/common/recording_sink.h"
#include "tests/support/fsutil.h"
#include "tests/support/tempdir.h"

using testsupport::CTempDir;

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class CRecordingList : public CLogListView {
public:
    void InsertLogLine(const std::string& strLine) override {
        m_lines.insert(m_lines.begin(), strLine);
    }

    std::vector<std::string> m_lines;  // index 0 is the top
};

class LogTest : public ::testing::Test {
protected:
    CTempDir m_dir;
    CRecordingSink m_sink;
    CRecordingList m_list;
    CLog m_log{m_sink, &m_list};
};

TEST_F(LogTest, NewestLineOnTopOldestFirstInTheFile) {
    std::string strPath = m_dir.Join("run.log");
    m_log.OpenLogFile(strPath);
    ASSERT_TRUE(m_log.HasLogFile());
    m_log.AddLogLine("Connecting to server...");
    m_log.AddLogLine("OK EQUAL: PUT a.txt->in/a.txt");
    m_log.AddLogLine("");
    m_log.AddLogLine("Disconnected");
    EXPECT_THAT(m_list.m_lines, ElementsAre("Disconnected", "", "OK EQUAL: PUT a.txt->in/a.txt",
                                            "Connecting to server..."));
    // Every line is in the file as soon as it is shown, before the file is closed.
    EXPECT_EQ(m_dir.ReadFile("run.log").value_or("<missing>"),
              testsupport::AsText("Connecting to server...\nOK EQUAL: PUT a.txt->in/a.txt\n\nDisconnected\n"));
    m_log.CloseLogFile();
    EXPECT_FALSE(m_log.HasLogFile());
    EXPECT_THAT(m_sink.m_messages, IsEmpty());
}

TEST_F(LogTest, ReopeningEmptiesTheFile) {
    ASSERT_TRUE(m_dir.WriteFile("run.log", "from yesterday\n"));
    std::string strPath = m_dir.Join("run.log");
    m_log.OpenLogFile(strPath);
    m_log.AddLogLine("first run");
    m_log.OpenLogFile(strPath);
    m_log.AddLogLine("second run");
    EXPECT_EQ(m_dir.ReadFile("run.log").value_or("<missing>"), testsupport::AsText("second run\n"));
}

TEST_F(LogTest, AnUnopenableFileIsReportedAndTheListGoesOn) {
    const std::string strMissingFolder = m_dir.Join("no/such/folder/run.log");
    ASSERT_TRUE(m_dir.WriteFile("readonly.log", "keep me\n"));
    const std::string strReadOnly = m_dir.Join("readonly.log");
    ASSERT_TRUE(testsupport::MakeReadOnly(strReadOnly));
    for (const std::string& strPath : {strMissingFolder, strReadOnly, m_dir.Path()}) {
        m_log.OpenLogFile(strPath);
        EXPECT_FALSE(m_log.HasLogFile());
        m_log.AddLogLine("still shown");
    }
    EXPECT_THAT(m_sink.m_messages,
                ElementsAre("Cannot open log file '" + strMissingFolder + "'",
                            "Cannot open log file '" + strReadOnly + "'",
                            "Cannot open log file '" + m_dir.Path() + "'"));
    EXPECT_EQ(m_list.m_lines.size(), 3u);
    EXPECT_EQ(m_dir.ReadFile("readonly.log").value_or("<missing>"), "keep me\n");
}

TEST_F(LogTest, AnEmptyPathMeansNoFile) {
    m_log.OpenLogFile("");
    m_log.AddLogLine("only in the list");
    EXPECT_FALSE(m_log.HasLogFile());
    EXPECT_THAT(m_sink.m_messages, IsEmpty());
    EXPECT_THAT(m_list.m_lines, ElementsAre("only in the list"));
}

}  // namespace
