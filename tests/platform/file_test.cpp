#include "platform/file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utime.h>
#endif

#include <algorithm>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/textio.h"
#include "tests/platform/helper.h"
#include "tests/support/fsutil.h"
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

#ifdef _WIN32
#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

constexpr bool kCaseSensitive = false;

std::wstring Wide(const std::string& strText) {
    int nLength = MultiByteToWideChar(CP_UTF8, 0, strText.c_str(), -1, nullptr, 0);
    std::wstring strWide(static_cast<size_t>(nLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, strText.c_str(), -1, strWide.data(), nLength);
    strWide.resize(static_cast<size_t>(nLength > 0 ? nLength - 1 : 0));
    return strWide;
}

std::string Narrow(const std::wstring& strWide) {
    int nLength = WideCharToMultiByte(CP_UTF8, 0, strWide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string strText(static_cast<size_t>(nLength), '\0');
    WideCharToMultiByte(CP_UTF8, 0, strWide.c_str(), -1, strText.data(), nLength, nullptr, nullptr);
    strText.resize(static_cast<size_t>(nLength > 0 ? nLength - 1 : 0));
    return strText;
}

bool AddAttributes(const std::string& strPath, DWORD dwAdd) {
    DWORD dwAttributes = GetFileAttributesW(Wide(strPath).c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES &&
           SetFileAttributesW(Wide(strPath).c_str(), dwAttributes | dwAdd) != 0;
}

bool SetModificationTime(const std::string& strPath, time_t nTime) {
    HANDLE hFile = CreateFileW(Wide(strPath).c_str(), FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        return false;
    }
    // 100-ns steps since 1601-01-01.
    uint64_t nTicks = (static_cast<uint64_t>(nTime) + 11644473600ull) * 10000000ull;
    FILETIME fileTime {static_cast<DWORD>(nTicks), static_cast<DWORD>(nTicks >> 32)};
    bool bOk = SetFileTime(hFile, nullptr, nullptr, &fileTime) != 0;
    CloseHandle(hFile);
    return bOk;
}
#else
constexpr bool kCaseSensitive = true;

bool SetModificationTime(const std::string& strPath, time_t nTime) {
    struct utimbuf times {};
    times.actime = 0;
    times.modtime = nTime;
    return utime(strPath.c_str(), &times) == 0;
}
#endif

// Linux: a FIFO (system), links followed, one dangling. Windows: hidden and
// system as attributes the file system stores.
class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir.WriteFile("a.txt", "alpha");
        m_dir.WriteFile("b.txt", "");
        m_dir.WriteFile("c.dat", "0123456789");
        m_dir.WriteFile("Read.Only", "r");
        ASSERT_TRUE(MakeDirectory(m_dir.Join("sub")));
#ifdef _WIN32
        m_dir.WriteFile("hid.den", "h");
        m_dir.WriteFile("sys.tem", "s");
        ASSERT_TRUE(AddAttributes(m_dir.Join("Read.Only"), FILE_ATTRIBUTE_READONLY));
        ASSERT_TRUE(AddAttributes(m_dir.Join("hid.den"), FILE_ATTRIBUTE_HIDDEN));
        ASSERT_TRUE(AddAttributes(m_dir.Join("sys.tem"), FILE_ATTRIBUTE_SYSTEM));
#else
        m_dir.WriteFile(".hidden", "h");
        ASSERT_EQ(chmod(m_dir.Join("Read.Only").c_str(), 0444), 0);
        ASSERT_EQ(mkfifo(m_dir.Join("pipe").c_str(), 0666), 0);
        ASSERT_EQ(symlink("a.txt", m_dir.Join("link.txt").c_str()), 0);
        ASSERT_EQ(symlink("gone", m_dir.Join("dangling").c_str()), 0);
#endif
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
        {"Read.Only", kFileAttributeReadOnly},
        {"sub", kFileAttributeDirectory},
        {"missing", kInvalidFileAttributes},
#ifdef _WIN32
        {"hid.den", kFileAttributeHidden},
        {"sys.tem", kFileAttributeSystem},
        {"sub\\..\\a.txt", kFileAttributeNormal},
#else
        {".hidden", kFileAttributeHidden},
        {"pipe", kFileAttributeSystem},
        {"link.txt", kFileAttributeNormal},
        {"dangling", kInvalidFileAttributes},
#endif
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetPathAttributes(m_dir.Join(c.pszName)), c.dwExpected) << c.pszName;
    }
    EXPECT_TRUE(FileExists(m_dir.Join("sub")));
    EXPECT_FALSE(FileExists(m_dir.Join("missing")));
#ifndef _WIN32
    EXPECT_FALSE(FileExists(m_dir.Join("dangling")));
#endif
    EXPECT_EQ(GetPathAttributes(""), kInvalidFileAttributes);
}

TEST_F(FileTest, InfoGivesSizeAndLastWriteInUtc) {
    ASSERT_TRUE(SetModificationTime(m_dir.Join("c.dat"), 1709647620));  // 2024-03-05 14:07:00 UTC
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
#ifdef _WIN32
    EXPECT_THAT(Names(FindFiles(strDir + "/*.txt")), UnorderedElementsAre("a.txt", "b.txt"));
    const std::vector<std::string> all = {".",     "..",        "a.txt",   "b.txt", "c.dat",
                                          "hid.den", "Read.Only", "sys.tem", "sub"};
    // Names match without regard to case, and are found as they are stored.
    EXPECT_THAT(Names(FindFiles(strDir + "/*.TXT")), UnorderedElementsAre("a.txt", "b.txt"));
    EXPECT_THAT(Names(FindFiles(strDir + "/read.only")), UnorderedElementsAre("Read.Only"));
    EXPECT_THAT(Names(FindFiles(strDir + "/read.*")), UnorderedElementsAre("Read.Only"));
#else
    EXPECT_THAT(Names(FindFiles(strDir + "/*.txt")),
                UnorderedElementsAre("a.txt", "b.txt", "link.txt"));
    const std::vector<std::string> all = {".",    "..",   "a.txt",    "b.txt",   "c.dat",
                                          ".hidden", "Read.Only", "sub", "pipe", "link.txt",
                                          "dangling"};
    EXPECT_THAT(Names(FindFiles(strDir + "/read.only")), IsEmpty());
#endif
    EXPECT_THAT(Names(FindFiles(strDir + "\\?.dat")), UnorderedElementsAre("c.dat"));
    EXPECT_THAT(Names(FindFiles(strDir + "/*.*")), UnorderedElementsAreArray(all));
    EXPECT_THAT(Names(FindFiles(strDir + "/*")), UnorderedElementsAreArray(all));
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
        {"*.txt", "A.TXT", !kCaseSensitive}, {"A?C", "abc", !kCaseSensitive},
        {"a?c", "abc", true},     {"a?c", "ac", false},
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

    // A closed file fails instead of handing the system a handle of nothing.
    ASSERT_TRUE(moved.Close());
    EXPECT_EQ(moved.Read(buffer, sizeof(buffer)), -1);
    EXPECT_FALSE(moved.Write("x", 1));
    EXPECT_NE(moved.GetLastError(), 0);
}

#ifdef _WIN32
TEST(MatchFileName, CountsCharactersNotBytesAndFoldsCaseBeyondAscii) {
    struct Case {
        const char* pszPattern;
        const char* pszName;
        bool bMatch;
    };
    const Case cases[] = {
        {"?", "\xC3\xA4", true},                  // ä: two bytes of UTF-8, one character
        {"?", "\xF0\x9D\x84\x9E", true},          // a musical symbol: two UTF-16 units
        {"??", "\xF0\x9D\x84\x9E", false},
        {"\xC3\x84*", "\xC3\xA4rger.txt", true},  // Ä* finds ärger.txt
        {"*.TXT", "\xC3\xA4rger.txt", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MatchFileName(c.pszPattern, c.pszName), c.bMatch)
            << c.pszPattern << " / " << c.pszName;
    }
}
#endif

TEST_F(FileTest, NamesBeyondAsciiKeepTheirCharacters) {
    // UTF-8 inside; a call in the machine's code page would lose or change
    // these on the way.
    const std::string strName = "Gr\xC3\xBC\xC3\x9F" "e-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9D\x84\x9E.txt";
    CFile file;
    ASSERT_TRUE(file.Open(m_dir.Join(strName), CFile::modeCreate));
    ASSERT_TRUE(file.Write("u", 1));
    ASSERT_TRUE(file.Close());
    EXPECT_THAT(m_dir.List(), ::testing::Contains(strName));
    EXPECT_THAT(Names(FindFiles(m_dir.Join("Gr*"))), UnorderedElementsAre(strName));
    CFileInfo info;
    ASSERT_TRUE(GetFileInfo(m_dir.Join(strName), info));
    EXPECT_EQ(info.strName, strName);
    EXPECT_EQ(info.nSize, 1u);
    ASSERT_TRUE(MakeDirectory(m_dir.Join(strName + ".d")));
    EXPECT_EQ(GetPathAttributes(m_dir.Join(strName + ".d")), kFileAttributeDirectory);
    std::FILE* pStream = OpenStream(m_dir.Join(strName), "rb");
    ASSERT_NE(pStream, nullptr);
    EXPECT_EQ(std::fgetc(pStream), 'u');
    std::fclose(pStream);
    EXPECT_TRUE(RemoveFile(m_dir.Join(strName)));
    EXPECT_FALSE(FileExists(m_dir.Join(strName)));
}

TEST_F(FileTest, ATemporaryIsHiddenUntilItReplacesItsTarget) {
    CFile file;
    std::string strTemporary;
    ASSERT_TRUE(file.CreateTemporary(m_dir.Path(), strTemporary));
    EXPECT_EQ(strTemporary.compare(0, m_dir.Path().size(), m_dir.Path()), 0) << strTemporary;
    uint32_t dwAttributes = GetPathAttributes(strTemporary);
    ASSERT_NE(dwAttributes, kInvalidFileAttributes);
    EXPECT_EQ(dwAttributes & kFileAttributeHidden, kFileAttributeHidden);
    ASSERT_TRUE(file.Write("new", 3));
    ASSERT_TRUE(file.Close());

    CFile second;
    std::string strSecond;
    ASSERT_TRUE(second.CreateTemporary(m_dir.Path(), strSecond));
    EXPECT_NE(strSecond, strTemporary);
    second.Close();

    // The stored file must not stay hidden under its real name: a later
    // run that skips hidden files would never send it again.
    ASSERT_TRUE(RenameReplacing(strTemporary, m_dir.Join("a.txt")));
    EXPECT_EQ(m_dir.ReadFile("a.txt").value_or("<missing>"), "new");
    EXPECT_EQ(GetPathAttributes(m_dir.Join("a.txt")), kFileAttributeNormal);
    EXPECT_FALSE(FileExists(strTemporary));
    ASSERT_TRUE(RenameReplacing(strSecond, m_dir.Join("fresh.txt")));
    EXPECT_EQ(GetPathAttributes(m_dir.Join("fresh.txt")), kFileAttributeNormal);
    EXPECT_FALSE(RenameReplacing(m_dir.Join("missing"), m_dir.Join("b.txt")));
    EXPECT_TRUE(FileExists(m_dir.Join("b.txt")));
}

// What a killed process left is removed once it is old; what may still be
// filled, and what is not ours, stays.
TEST_F(FileTest, OnlyTemporariesLeftLongAgoAreRemoved) {
    const long long nLongAgo = static_cast<long long>(std::time(nullptr)) - 2 * kStaleTemporaryAgeSeconds;
    std::string strOld, strYoung, strInSub;
    for (auto [strFolder, pstrPath] : {std::pair{m_dir.Path(), &strOld},
                                       std::pair{m_dir.Path(), &strYoung},
                                       std::pair{m_dir.Join("sub"), &strInSub}}) {
        CFile file;
        ASSERT_TRUE(file.CreateTemporary(strFolder, *pstrPath));
        ASSERT_TRUE(file.Write("part", 4));
        ASSERT_TRUE(file.Close());
    }
    // Names of the operator's that only look alike.
    ASSERT_TRUE(m_dir.WriteFile(".tandrel-notes.txt", "mine"));
    ASSERT_TRUE(m_dir.WriteFile("report.part", "mine"));
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join(".tandrel-1-1.part")));
    for (const std::string& strPath :
         {strOld, strInSub, m_dir.Join(".tandrel-notes.txt"), m_dir.Join("report.part")}) {
        ASSERT_TRUE(testsupport::SetModifiedTime(strPath, nLongAgo)) << strPath;
    }
    testsupport::SetModifiedTime(m_dir.Join(".tandrel-1-1.part"), nLongAgo);

    EXPECT_EQ(RemoveStaleTemporaries(m_dir.Path(), kStaleTemporaryAgeSeconds),
              std::vector<std::string>{strOld});
    EXPECT_FALSE(FileExists(strOld));
    for (const std::string& strPath : {strYoung, strInSub, m_dir.Join(".tandrel-notes.txt"),
                                       m_dir.Join("report.part"), m_dir.Join(".tandrel-1-1.part")}) {
        EXPECT_TRUE(FileExists(strPath)) << strPath;
    }
    EXPECT_THAT(RemoveStaleTemporaries(m_dir.Join("missing"), 0), IsEmpty());
}

#ifdef _WIN32
TEST_F(FileTest, AReadOnlyOrHiddenTargetIsTreatedAsWindowsTreatsIt) {
    // A read-only target is not replaced, not even by a rename.
    ASSERT_TRUE(m_dir.WriteFile("new.txt", "new"));
    EXPECT_FALSE(RenameReplacing(m_dir.Join("new.txt"), m_dir.Join("Read.Only")));
    EXPECT_EQ(m_dir.ReadFile("Read.Only").value_or("<missing>"), "r");
    EXPECT_EQ(m_dir.ReadFile("new.txt").value_or("<missing>"), "new");
    EXPECT_FALSE(RenameReplacing(m_dir.Join("new.txt"), m_dir.Join("sub")));

    // A hidden file can be written over, and stays hidden; a hidden file of
    // the user's own keeps its attribute when it is renamed.
    CFile file;
    ASSERT_TRUE(file.Open(m_dir.Join("hid.den"), CFile::modeCreate));
    ASSERT_TRUE(file.Write("xy", 2));
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(m_dir.ReadFile("hid.den").value_or("<missing>"), "xy");
    EXPECT_EQ(GetPathAttributes(m_dir.Join("hid.den")), kFileAttributeHidden);
    ASSERT_TRUE(RenameReplacing(m_dir.Join("hid.den"), m_dir.Join("still.hidden")));
    EXPECT_EQ(GetPathAttributes(m_dir.Join("still.hidden")), kFileAttributeHidden);
}

// Reading for a digest and storing or sending a file deny writers: the
// bytes must not change under the operation.
TEST_F(FileTest, OpenFilesDenyWritersButNotReaders) {
    const std::string strPath = m_dir.Join("c.dat");
    {
        CFile reader;
        ASSERT_TRUE(reader.Open(strPath, CFile::modeRead));
        CFile writer;
        EXPECT_FALSE(writer.Open(strPath, CFile::modeCreate));
        EXPECT_EQ(writer.GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(OpenStream(strPath, "ab"), nullptr);
        CFile secondReader;
        EXPECT_TRUE(secondReader.Open(strPath, CFile::modeRead));
        EXPECT_FALSE(RemoveFile(strPath));
    }
    {
        CFile writer;
        ASSERT_TRUE(writer.Open(strPath, CFile::modeCreate));
        ASSERT_TRUE(writer.Write("abc", 3));
        std::FILE* pReader = OpenStream(strPath, "rb");
        EXPECT_NE(pReader, nullptr);
        if (pReader != nullptr) {
            std::fclose(pReader);
        }
        EXPECT_EQ(OpenStream(strPath, "ab"), nullptr);
    }
    // A file another program has open for writing cannot be read for a
    // digest, even when that program lets others read.
    HANDLE hOther = CreateFileW(Wide(strPath).c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(hOther, INVALID_HANDLE_VALUE);
    CFile reader;
    EXPECT_FALSE(reader.Open(strPath, CFile::modeRead));
    CloseHandle(hOther);
    EXPECT_TRUE(reader.Open(strPath, CFile::modeRead));
}
#endif

// A start folder "root" with a neighbour of its own ("outside") and one
// whose name begins with the root's ("rootling").
class ConfinementTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeDirectory(m_dir.Join("root")));
        ASSERT_TRUE(MakeDirectory(m_dir.Join("root/sub")));
        ASSERT_TRUE(MakeDirectory(m_dir.Join("root/LongFolderName")));
        ASSERT_TRUE(m_dir.WriteFile("root/sub/in.txt", "in"));
        ASSERT_TRUE(MakeDirectory(m_dir.Join("outside")));
        ASSERT_TRUE(MakeDirectory(m_dir.Join("OutsideFolderName")));
        ASSERT_TRUE(m_dir.WriteFile("outside/secret.txt", "secret"));
        ASSERT_TRUE(MakeDirectory(m_dir.Join("rootling")));
        ASSERT_TRUE(GetRealPath(m_dir.Join("root"), m_strRoot));
    }

    void ExpectInside(const std::string& strPath, bool bInside) {
        EXPECT_EQ(IsPathInside(m_strRoot, strPath), bInside) << strPath;
    }

    CTempDir m_dir;
    std::string m_strRoot;
};

TEST_F(ConfinementTest, OnlyPathsBelowTheRootAreInside) {
    struct Case {
        const char* pszPath;
        bool bInside;
    };
    const Case cases[] = {
        {"root", true},
        {"root/", true},
        {"root/sub", true},
        {"root/sub/in.txt", true},
        {"root/sub/new.txt", true},
        {"root/missing/deeper/file", true},
        {"root/sub/../sub/in.txt", true},
        {"root/..", false},
        {"root/../outside/secret.txt", false},
        {"outside/secret.txt", false},
        {"rootling", false},
        {"rootling/x", false},
    };
    for (const Case& c : cases) {
        ExpectInside(m_dir.Join(c.pszPath), c.bInside);
    }
    EXPECT_FALSE(IsPathInside("", m_dir.Join("root/sub")));
    std::string strReal;
    EXPECT_FALSE(GetRealPath(m_dir.Join("root/missing"), strReal));
}

#ifdef _WIN32
std::string ShortNameOf(const std::string& strPath) {
    std::wstring strWide = Wide(strPath);
    DWORD nLength = GetShortPathNameW(strWide.c_str(), nullptr, 0);
    if (nLength == 0) {
        return std::string();
    }
    std::wstring strShort(nLength, L'\0');
    nLength = GetShortPathNameW(strWide.c_str(), strShort.data(), nLength);
    strShort.resize(nLength);
    return Narrow(strShort);
}

std::string Backslashed(std::string strPath) {
    std::replace(strPath.begin(), strPath.end(), '/', '\\');
    return strPath;
}

TEST_F(ConfinementTest, WindowsSpellingsOfOnePathAreOnePath) {
    std::string strUpper = m_dir.Join("ROOT\\SUB\\IN.TXT");
    struct Case {
        std::string strPath;
        bool bInside;
    };
    const Case cases[] = {
        {Backslashed(m_dir.Join("root\\sub\\in.txt")), true},
        {m_dir.Join("root\\sub/in.txt"), true},
        {strUpper, true},
        {m_dir.Join("Root/Sub/"), true},
        // The system drops trailing dots and blanks: still the same names.
        {m_dir.Join("root/sub./in.txt"), true},
        {m_dir.Join("root\\..\\outside\\secret.txt"), false},
        {m_dir.Join("ROOTLING"), false},
        // ".." after a name that does not exist still leads up here: the
        // system collapses it before it looks at the disk.
        {m_dir.Join("root/missing/../../outside/secret.txt"), false},
        {m_dir.Join("root\\missing\\..\\..\\outside"), false},
        {m_dir.Join("root/sub/.."), true},
        // Another drive, and a device name.
        {"C:\\Windows", false},
        {"\\\\.\\NUL", false},
    };
    for (const Case& c : cases) {
        ExpectInside(c.strPath, c.bInside);
    }
    std::string strReal;
    ASSERT_TRUE(GetRealPath(strUpper, strReal));
    EXPECT_EQ(strReal, Backslashed(m_strRoot + "\\sub\\in.txt"));
    // The root need not be given in the form GetRealPath made.
    EXPECT_TRUE(IsPathInside(m_strRoot + "\\", m_dir.Join("root/sub")));
    std::string strSlashed = m_strRoot;
    std::replace(strSlashed.begin(), strSlashed.end(), '\\', '/');
    EXPECT_TRUE(IsPathInside(strSlashed, m_dir.Join("root/sub")));
}

TEST_F(ConfinementTest, ShortNamesResolveToTheirLongNames) {
    std::string strShortInside = ShortNameOf(m_dir.Join("root/LongFolderName"));
    std::string strShortOutside = ShortNameOf(m_dir.Join("OutsideFolderName"));
    if (strShortInside.empty() || strShortInside.find('~') == std::string::npos) {
        GTEST_SKIP() << "the file system makes no 8.3 short names here";
    }
    ExpectInside(strShortInside, true);
    ExpectInside(strShortInside + "\\new.txt", true);
    ExpectInside(strShortOutside, false);
    std::string strReal;
    ASSERT_TRUE(GetRealPath(strShortInside, strReal));
    EXPECT_EQ(strReal, m_strRoot + "\\LongFolderName");
}

// A junction: a directory reparse point made by the file system control
// call, which needs no privilege (symbolic links do).
bool MakeJunction(const std::string& strLink, const std::string& strTarget) {
    std::wstring strLinkWide = Wide(strLink);
    if (!CreateDirectoryW(strLinkWide.c_str(), nullptr)) {
        return false;
    }
    HANDLE hLink = CreateFileW(strLinkWide.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hLink == INVALID_HANDLE_VALUE) {
        RemoveDirectoryW(strLinkWide.c_str());
        return false;
    }
    std::wstring strSubstitute = L"\\??\\" + Wide(Backslashed(strTarget));
    std::wstring strPrint = Wide(Backslashed(strTarget));
    // REPARSE_DATA_BUFFER, mount point form.
    std::vector<unsigned char> buffer(16 + (strSubstitute.size() + strPrint.size() + 2) * 2);
    auto put16 = [&](size_t nOffset, size_t nValue) {
        buffer[nOffset] = static_cast<unsigned char>(nValue & 0xFF);
        buffer[nOffset + 1] = static_cast<unsigned char>(nValue >> 8);
    };
    DWORD dwTag = IO_REPARSE_TAG_MOUNT_POINT;
    memcpy(buffer.data(), &dwTag, 4);
    put16(4, buffer.size() - 8);
    put16(8, 0);
    put16(10, strSubstitute.size() * 2);
    put16(12, strSubstitute.size() * 2 + 2);
    put16(14, strPrint.size() * 2);
    memcpy(buffer.data() + 16, strSubstitute.c_str(), strSubstitute.size() * 2);
    memcpy(buffer.data() + 16 + strSubstitute.size() * 2 + 2, strPrint.c_str(),
           strPrint.size() * 2);
    DWORD nReturned = 0;
    bool bOk = DeviceIoControl(hLink, FSCTL_SET_REPARSE_POINT, buffer.data(),
                               static_cast<DWORD>(buffer.size()), nullptr, 0, &nReturned,
                               nullptr) != 0;
    CloseHandle(hLink);
    if (!bOk) {
        RemoveDirectoryW(strLinkWide.c_str());
    }
    return bOk;
}

TEST_F(ConfinementTest, AJunctionOrLinkThatLeadsOutIsOutside) {
    std::string strOutside;
    ASSERT_TRUE(GetRealPath(m_dir.Join("outside"), strOutside));
    bool bJunction = MakeJunction(m_dir.Join("root/out"), strOutside) &&
                     MakeJunction(m_dir.Join("root/in"), m_strRoot + "\\sub");
    // Wine's CreateSymbolicLinkW reports success and makes nothing: only
    // a link that is there counts.
    CreateSymbolicLinkW(Wide(m_dir.Join("root/linked.txt")).c_str(),
                        Wide(strOutside + "\\secret.txt").c_str(),
                        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    DWORD dwLink = GetFileAttributesW(Wide(m_dir.Join("root/linked.txt")).c_str());
    bool bSymlink =
        dwLink != INVALID_FILE_ATTRIBUTES && (dwLink & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!bJunction && !bSymlink) {
        GTEST_SKIP() << (testsupport::IsWine()
                             ? "Wine (8.0) makes neither junctions (FSCTL_SET_REPARSE_POINT) "
                               "nor symbolic links (CreateSymbolicLinkW does nothing)"
                             : "neither junctions nor symbolic links can be made here");
    }
    if (bJunction) {
        ExpectInside(m_dir.Join("root/out"), false);
        ExpectInside(m_dir.Join("root/out/secret.txt"), false);
        ExpectInside(m_dir.Join("root/OUT/new.txt"), false);
        ExpectInside(m_dir.Join("root/in/in.txt"), true);
        // What a link leads to is what is found and described.
        EXPECT_EQ(GetPathAttributes(m_dir.Join("root/out")), kFileAttributeDirectory);
        EXPECT_THAT(Names(FindFiles(m_dir.Join("root/out/*.txt"))), UnorderedElementsAre("secret.txt"));
    }
    if (bSymlink) {
        ExpectInside(m_dir.Join("root/linked.txt"), false);
        CFileInfo info;
        ASSERT_TRUE(GetFileInfo(m_dir.Join("root/linked.txt"), info));
        EXPECT_EQ(info.nSize, 6u);
    }
}
#else
TEST_F(ConfinementTest, ALinkThatLeadsOutIsOutside) {
    ASSERT_EQ(symlink("../outside", m_dir.Join("root/out").c_str()), 0);
    ASSERT_EQ(symlink("sub", m_dir.Join("root/in").c_str()), 0);
    ExpectInside(m_dir.Join("root/out"), false);
    ExpectInside(m_dir.Join("root/out/secret.txt"), false);
    ExpectInside(m_dir.Join("root/out/new.txt"), false);
    ExpectInside(m_dir.Join("root/in/in.txt"), true);
    // A link to a file outside, one deeper down, and one that leads nowhere
    // yet (an upload replaces the link itself, never its target).
    ASSERT_EQ(symlink("../../outside/secret.txt", m_dir.Join("root/sub/secret").c_str()), 0);
    ASSERT_EQ(symlink("../../outside", m_dir.Join("root/sub/deep").c_str()), 0);
    ASSERT_EQ(symlink("../nowhere/x", m_dir.Join("root/dangling").c_str()), 0);
    ExpectInside(m_dir.Join("root/sub/secret"), false);
    ExpectInside(m_dir.Join("root//sub/deep/secret.txt"), false);
    ExpectInside(m_dir.Join("root/dangling"), true);
}
#endif

TEST(SystemErrorText, IsOneLineOfText) {
    for (int nError : {GetAccessDeniedErrorCode(), 2, 123456}) {
        std::string strText = GetSystemErrorText(nError);
        EXPECT_FALSE(strText.empty()) << nError;
        EXPECT_EQ(strText.find_first_of("\r\n"), std::string::npos) << strText;
    }
}

}  // namespace
