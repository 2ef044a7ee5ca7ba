#include "platform/file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstring>

#include "tests/support/tempdir.h"

using testsupport::CTempDir;

using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

namespace {

using namespace platform;

std::vector<std::string> Names(const std::vector<CFileInfo>& found) {
    std::vector<std::string> names;
    for (const CFileInfo& info : found) {
        names.push_back(info.strName);
    }
    return names;
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir.WriteFile("a.txt", "alpha");
        m_dir.WriteFile("b.txt", "");
        m_dir.WriteFile("c.dat", "0123456789");
        m_dir.WriteFile(".hidden", "h");
        m_dir.WriteFile("Read.Only", "r");
        ASSERT_EQ(chmod(m_dir.Join("Read.Only").c_str(), 0444), 0);
        ASSERT_TRUE(MakeDirectory(m_dir.Join("sub")));
        ASSERT_EQ(mkfifo(m_dir.Join("pipe").c_str(), 0666), 0);
        ASSERT_EQ(symlink("a.txt", m_dir.Join("link.txt").c_str()), 0);
        ASSERT_EQ(symlink("gone", m_dir.Join("dangling").c_str()), 0);
    }

    CTempDir m_dir;
};

TEST_F(FileTest, AttributesFollowTheWindowsModel) {
    struct Case {
        const char* pszName;
        uint32_t dwExpected;
    };
    const Case cases[] = {
        {"a.txt", kFileAttributeNormal},
        {".hidden", kFileAttributeHidden},
        {"Read.Only", kFileAttributeReadOnly},
        {"sub", kFileAttributeDirectory},
        {"pipe", kFileAttributeSystem},
        {"link.txt", kFileAttributeNormal},
        {"dangling", kInvalidFileAttributes},
        {"missing", kInvalidFileAttributes},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetPathAttributes(m_dir.Join(c.pszName)), c.dwExpected) << c.pszName;
    }
    EXPECT_TRUE(FileExists(m_dir.Join("sub")));
    EXPECT_FALSE(FileExists(m_dir.Join("dangling")));
    EXPECT_EQ(GetPathAttributes(""), kInvalidFileAttributes);
}

TEST_F(FileTest, InfoGivesSizeAndLastWriteInUtc) {
    struct utimbuf times {};
    times.actime = 0;
    times.modtime = 1709647620;  // 2024-03-05 14:07:00 UTC
    ASSERT_EQ(utime(m_dir.Join("c.dat").c_str(), &times), 0);
    CFileInfo info;
    ASSERT_TRUE(GetFileInfo(m_dir.Join("c.dat"), info));
    EXPECT_EQ(info.strName, "c.dat");
    EXPECT_EQ(info.nSize, 10u);
    EXPECT_EQ(info.dwAttributes, kFileAttributeNormal);
    const CDateTime& t = info.timeLastWriteUtc;
    EXPECT_EQ(std::vector<int>({t.nYear, t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond}),
              std::vector<int>({2024, 3, 5, 14, 7, 0}));
    EXPECT_FALSE(GetFileInfo(m_dir.Join("missing"), info));
}

TEST_F(FileTest, WildcardSearchMatchesNamesInTheFolder) {
    const std::string strDir = m_dir.Path();
    EXPECT_THAT(Names(FindFiles(strDir + "/*.txt")),
                UnorderedElementsAre("a.txt", "b.txt", "link.txt"));
    EXPECT_THAT(Names(FindFiles(strDir + "\\?.dat")), UnorderedElementsAre("c.dat"));
    const std::vector<std::string> all = {".",    "..",   "a.txt",    "b.txt",   "c.dat",
                                          ".hidden", "Read.Only", "sub", "pipe", "link.txt",
                                          "dangling"};
    EXPECT_THAT(Names(FindFiles(strDir + "/*.*")), UnorderedElementsAreArray(all));
    EXPECT_THAT(Names(FindFiles(strDir + "/*")), UnorderedElementsAreArray(all));
    EXPECT_THAT(Names(FindFiles(strDir + "/read.only")), IsEmpty());
    EXPECT_THAT(Names(FindFiles(strDir + "/Read.Only")), UnorderedElementsAre("Read.Only"));
    EXPECT_THAT(Names(FindFiles(strDir + "/sub")), UnorderedElementsAre("sub"));
    EXPECT_THAT(Names(FindFiles(strDir + "/")), IsEmpty());
    EXPECT_THAT(Names(FindFiles(strDir + "/missing/*.*")), IsEmpty());
    EXPECT_THAT(Names(FindFiles(strDir + "/missing.txt")), IsEmpty());

    for (const CFileInfo& info : FindFiles(strDir + "/*")) {
        if (info.strName == "dangling") {
            EXPECT_EQ(info.dwAttributes, kInvalidFileAttributes);
        } else if (info.strName == "c.dat") {
            EXPECT_EQ(info.nSize, 10u);
        }
    }
}

TEST(MatchFileName, FollowsTheWildcardRules) {
    struct Case {
        const char* pszPattern;
        const char* pszName;
        bool bMatch;
    };
    const Case cases[] = {
        {"*", "", true},          {"*", "abc", true},         {"*.*", "noext", true},
        {"*.*", ".", true},       {"*.txt", "a.txt", true},   {"*.txt", "a.txt.bak", false},
        {"*.txt", "A.TXT", false}, {"a?c", "abc", true},      {"a?c", "ac", false},
        {"a*b*c", "aXbYbZc", true}, {"a*b*c", "aXbYc.", false}, {"**x", "x", true},
        {"abc", "abc", true},     {"abc", "abcd", false},     {"?", "", false},
        {"*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MatchFileName(c.pszPattern, c.pszName), c.bMatch)
            << c.pszPattern << " / " << c.pszName;
    }
}

TEST_F(FileTest, ReadOnlyFilesAndDirectoriesAreNeitherReplacedNorDeleted) {
    // Also when the tests run as root, which may write anything.
    CFile file;
    EXPECT_FALSE(file.Open(m_dir.Join("Read.Only"), CFile::modeCreate));
    EXPECT_FALSE(file.Open(m_dir.Join("sub"), CFile::modeCreate));
    EXPECT_FALSE(file.Open(m_dir.Join("sub"), CFile::modeRead));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(RemoveFile(m_dir.Join("Read.Only")));
    EXPECT_FALSE(RemoveFile(m_dir.Join("sub")));
    EXPECT_EQ(m_dir.ReadFile("Read.Only").value_or("<missing>"), "r");

    EXPECT_TRUE(RemoveFile(m_dir.Join("a.txt")));
    EXPECT_FALSE(FileExists(m_dir.Join("a.txt")));
    EXPECT_FALSE(RemoveFile(m_dir.Join("a.txt")));
}

TEST_F(FileTest, CreateDirectoryMakesOneLevel) {
    EXPECT_TRUE(MakeDirectory(m_dir.Join("new")));
    EXPECT_EQ(GetPathAttributes(m_dir.Join("new")), kFileAttributeDirectory);
    EXPECT_FALSE(MakeDirectory(m_dir.Join("new")));
    EXPECT_FALSE(MakeDirectory(m_dir.Join("x/y")));
    EXPECT_TRUE(MakeDirectory(m_dir.Path() + "\\x"));
    EXPECT_TRUE(MakeDirectory(m_dir.Path() + "\\x\\y"));
    EXPECT_EQ(GetPathAttributes(m_dir.Join("x/y")), kFileAttributeDirectory);
}

TEST_F(FileTest, WrittenBytesReadBackInPieces) {
    std::string strData;
    for (int i = 0; i < 3000; ++i) {
        strData += static_cast<char>(i * 7);
    }
    {
        CFile file;
        ASSERT_TRUE(file.Open(m_dir.Join("a.txt"), CFile::modeCreate));
        ASSERT_TRUE(file.Write(strData.data(), strData.size()));
        EXPECT_EQ(file.GetLength(), 3000);
        EXPECT_TRUE(file.Close());
    }
    CFile file;
    ASSERT_TRUE(file.Open(m_dir.Join("a.txt"), CFile::modeRead));
    char buffer[1024];
    std::string strRead;
    int64_t nRead;
    while ((nRead = file.Read(buffer, sizeof(buffer))) > 0) {
        strRead.append(buffer, static_cast<size_t>(nRead));
    }
    EXPECT_EQ(nRead, 0);
    EXPECT_EQ(strRead, strData);

    CFile moved = std::move(file);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(moved.IsOpen());

    CFile missing;
    EXPECT_FALSE(missing.Open(m_dir.Join("missing"), CFile::modeRead));
    EXPECT_NE(missing.GetLastError(), 0);
}

}  // namespace
