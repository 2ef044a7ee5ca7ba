#include "common/settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <map>

#include "common/text.h"
#include "platform/paths.h"
#include "tests/common/recording_sink.h"
#include "tests/common/utf16_text.h"
#include "tests/support/tempdir.h"

using testsupport::CTempDir;

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

struct ReadCase {
    const char* pszName;
    std::string strContent;
    std::vector<std::string> expected;
};

class ReadTextFileLinesTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadTextFileLinesTest, YieldsTrimmedLines) {
    CTempDir dir;
    ASSERT_TRUE(dir.WriteFile("settings.INI", GetParam().strContent));
    std::string strPath = dir.Join("settings.INI");
    std::vector<std::string> lines = {"left over from an earlier read"};
    ASSERT_TRUE(ReadTextFileLines(strPath, lines));
    EXPECT_EQ(lines, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, ReadTextFileLinesTest,
    ::testing::Values(
        ReadCase{"Empty", "", {}},
        ReadCase{"LineFeeds", "[TCP]\nPort=21\n", {"[TCP]", "Port=21"}},
        ReadCase{"CarriageReturnLineFeeds", "[TCP]\r\nPort=21\r\n", {"[TCP]", "Port=21"}},
        ReadCase{"NoFinalLineFeed", "[TCP]\nPort=21", {"[TCP]", "Port=21"}},
        ReadCase{"OnlyALineFeed", "\n", {""}},
        ReadCase{"EmptyLinesKept", "a\n\n\nb\n\n", {"a", "", "", "b", ""}},
        ReadCase{"WhiteSpaceTrimmed", "  a = b \t\n\t\v\f c\r\n", {"a = b", "c"}},
        ReadCase{"NulEndsItsLineOnly", std::string("a\nb\0c\nd\n", 8), {"a", "b", "d"}},
        ReadCase{"LeadingNul", std::string("\0a\n[GET]", 8), {"", "[GET]"}},
        ReadCase{"NulBeforeTheLineEnd", std::string("x \0 y\r\nz", 9), {"x", "z"}},
        // Only NULs at every other byte make UTF-16; a NUL in the second
        // byte of an 8-bit file does not.
        ReadCase{"NulInTheSecondByte", std::string(".\0comment\n[GET]\n", 16), {".", "[GET]"}},
        ReadCase{"Utf16LittleEndianWithMark", Utf16("[TCP]\r\nPort=21\r\n", false, true),
                 {"[TCP]", "Port=21"}},
        ReadCase{"Utf16BigEndianWithMark", Utf16("[TCP]\nPort=21", true, true),
                 {"[TCP]", "Port=21"}},
        ReadCase{"Utf16LittleEndianWithoutMark", Utf16("[TCP]\r\nPort=21\r\n", false, false),
                 {"[TCP]", "Port=21"}},
        ReadCase{"Utf16BigEndianWithoutMark", Utf16("[TCP]\nPort=21\n", true, false),
                 {"[TCP]", "Port=21"}},
        ReadCase{"Utf16MarkAlone", "\xFF\xFE", {}},
        // e acute, a pair for U+1F600, a lone surrogate, then an odd last byte.
        ReadCase{"Utf16BeyondAscii",
                 std::string("\xFF\xFEW\0=\0\xE9\0\x3D\xD8\x00\xDE\x00\xDC!\0\n\0x\0y", 21),
                 {"W=\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD!", "x"}},
        ReadCase{"Utf16NulEndsItsLineOnly", Utf16(std::string("a\0b\nc\n", 6), false, true),
                 {"a", "c"}},
        ReadCase{"Utf8ByteOrderMark", "\xEF\xBB\xBF[TCP]\nPort=21\n",
                 {"\xEF\xBB\xBF[TCP]", "Port=21"}},
        ReadCase{"HighBytesKept", "Welcome=\xC3\xA9t\xE9\xA0\n", {"Welcome=\xC3\xA9t\xE9\xA0"}}),
    [](const auto& info) { return info.param.pszName; });

TEST(ReadTextFileLines, ReadsLinesOfMegabytes) {
    CTempDir dir;
    std::string strLong(3 * 1024 * 1024, 'x');
    ASSERT_TRUE(dir.WriteFile("big.INI", "a\n" + strLong + "\r\nb"));
    std::string strPath = dir.Join("big.INI");
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadTextFileLines(strPath, lines));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], strLong);
    EXPECT_EQ(lines[2], "b");
}

TEST(ReadTextFileLines, FailsWithoutAFileToRead) {
    CTempDir dir;
    std::vector<std::string> lines = {"stale"};
    EXPECT_FALSE(ReadTextFileLines(dir.Join("missing.INI"), lines));
    EXPECT_THAT(lines, IsEmpty());
    EXPECT_FALSE(ReadTextFileLines(dir.Path(), lines));
    EXPECT_THAT(lines, IsEmpty());
}

TEST(SettingsFilePath, ReplacesTheExtensionOfTheFileNameOnly) {
    const std::map<std::string, std::string> cases = {
        {"/usr/bin/TandrelServer", "/usr/bin/TandrelServer.INI"},
        {"/opt/x.y/TandrelServer", "/opt/x.y/TandrelServer.INI"},
        {"/opt/x.y/TandrelServer.exe", "/opt/x.y/TandrelServer.INI"},
        {"/opt/TandrelClient.1.exe", "/opt/TandrelClient.1.INI"},
        {"/opt/.hidden", "/opt/.hidden.INI"},
        {"C:\\Program Files\\Tandrel\\TandrelClient.exe",
         "C:\\Program Files\\Tandrel\\TandrelClient.INI"},
        {"C:\\x.y\\TandrelClient", "C:\\x.y\\TandrelClient.INI"},
        {"TandrelServer.exe", "TandrelServer.INI"},
    };
    for (const auto& [strProgram, strExpected] : cases) {
        EXPECT_EQ(GetSettingsFilePathFor(strProgram), strExpected) << strProgram;
    }
}

TEST(SettingsFilePath, LiesBesideTheRunningProgram) {
    std::string strPath = GetSettingsFilePath();
    EXPECT_THAT(strPath, ::testing::EndsWith(std::string(1, platform::kPathSeparator) +
                                             "common_tests.INI"));
#ifdef _WIN32
    // A drive and its root: "C:\".
    ASSERT_GE(strPath.size(), 3u);
    EXPECT_EQ(strPath.substr(1, 2), ":\\");
#else
    EXPECT_EQ(strPath.front(), '/');
#endif
}

TEST(SplitAtFirst, SplitsAtTheFirstSeparatorAndTrims) {
    struct Case {
        std::string strText;
        char chSeparator;
        std::string strLeft;
        std::string strRight;
    };
    const Case cases[] = {
        {"Port=2121", '=', "Port", "2121"},
        {"  Port \t=  2121 ", '=', "Port", "2121"},
        {"Welcome=a=b==c", '=', "Welcome", "a=b==c"},
        {"Log=", '=', "Log", ""},
        {"=value", '=', "", "value"},
        {"no separator", '=', "", ""},
        {"", '=', "", ""},
        {"a.txt; b.txt;;c.txt;", ';', "a.txt", "b.txt;;c.txt;"},
    };
    for (const Case& c : cases) {
        std::string strLeft = "stale";
        std::string strRight = "stale";
        SplitAtFirst(c.strText, c.chSeparator, strLeft, strRight);
        EXPECT_EQ(strLeft, c.strLeft) << c.strText;
        EXPECT_EQ(strRight, c.strRight) << c.strText;
    }
}

TEST(MessageFileName, IsTheLastComponent) {
    EXPECT_EQ(GetMessageFileName("C:/data/TandrelServer.INI"), "TandrelServer.INI");
    EXPECT_EQ(GetMessageFileName("C:\\data\\TandrelServer.INI"), "TandrelServer.INI");
    EXPECT_EQ(GetMessageFileName("/srv/tandrel/TandrelClient.INI"), "TandrelClient.INI");
    EXPECT_EQ(GetMessageFileName("TandrelClient.INI"), "TandrelClient.INI");
    EXPECT_EQ(FormatLineMessage(kMsgLineIgnored, "TandrelServer.INI", 7),
              "Syntax error. This line will be ignored (TandrelServer.INI, line 7)");
}

TEST(PortDigits, FollowTheRuntimeConversion) {
    EXPECT_TRUE(IsAllDigits(""));
    EXPECT_TRUE(IsAllDigits("0021"));
    EXPECT_FALSE(IsAllDigits("21x"));
    EXPECT_FALSE(IsAllDigits("+21"));
    EXPECT_FALSE(IsAllDigits(" 21"));
    EXPECT_EQ(DecimalToInt(""), 0);
    EXPECT_EQ(DecimalToInt("0021"), 21);
    EXPECT_EQ(DecimalToInt("70000"), 70000);
    EXPECT_EQ(DecimalToInt("2147483647"), INT_MAX);
    EXPECT_EQ(DecimalToInt("2147483648"), INT_MAX);
    EXPECT_EQ(DecimalToInt("99999999999999999999999"), INT_MAX);
}

TEST(SettingsLineKind, IsTakenFromTheFirstCharacter) {
    EXPECT_EQ(GetSettingsLineKind(""), ESettingsLine::Empty);
    EXPECT_EQ(GetSettingsLineKind(".comment=1"), ESettingsLine::Comment);
    EXPECT_EQ(GetSettingsLineKind("[TCP] trailing"), ESettingsLine::Header);
    EXPECT_EQ(GetSettingsLineKind("; not a comment"), ESettingsLine::Entry);
    EXPECT_EQ(GetSettingsLineKind("# not a comment"), ESettingsLine::Entry);
}

// A small format on the shared walker: a version section and a [TCP]
// section that knows the key Port.
class SettingsWalkTest : public ::testing::Test {
protected:
    bool Parse(const std::string& strContent) {
        EXPECT_TRUE(m_dir.WriteFile("TandrelServer.INI", strContent));
        std::string strPath = m_dir.Join("TandrelServer.INI");
        CSettingsParser parser(m_sink);
        if (!parser.Read(strPath)) {
            return false;
        }
        return parser.Walk({"[TandrelServer]", "[TCP]"}, [&](size_t nHeader, size_t nIndex) {
            if (nHeader == 0) {
                return parser.WalkVersionSection(nIndex);
            }
            return parser.WalkSection(nIndex, [&](const CSettingsEntry& entry) {
                if (!EqualsNoCase(entry.strKey, "Port")) {
                    parser.ReportLine(kMsgLineIgnored, entry.nLine);
                } else {
                    m_ports.push_back(entry.strValue + "@" + std::to_string(entry.nLine));
                }
                return true;
            });
        });
    }

    static std::string Ignored(int nLine) {
        return "Syntax error. This line will be ignored (TandrelServer.INI, line " +
               std::to_string(nLine) + ")";
    }

    CTempDir m_dir;
    CRecordingSink m_sink;
    std::vector<std::string> m_ports;
};

TEST_F(SettingsWalkTest, AcceptsHeadersAndKeysInAnyCase) {
    EXPECT_TRUE(Parse(
        ". a comment\r\n"
        "\r\n"
        "[tandrelserver]\r\n"
        "version = quillon 4.1\r\n"
        "[Tcp]\r\n"
        "PORT = 2121\r\n"
        ". Port=1\r\n"
        "port=a=b\r\n"));
    EXPECT_THAT(m_sink.m_messages, IsEmpty());
    EXPECT_THAT(m_ports, ElementsAre("2121@6", "a=b@8"));
}

TEST_F(SettingsWalkTest, ReportsEveryStrayLineWithItsNumber) {
    EXPECT_TRUE(Parse(
        "Port=1\n"             // 1: before any header
        "[TCP] extra\n"        // 2: unknown header
        "Port=2\n"             // 3: entry under an unknown header
        "[TCP]\n"              // 4
        "; Port=3\n"           // 5: not a comment
        "# x\n"                // 6
        "no equals sign\n"     // 7
        "Port=4\n"             // 8
        "[TandrelServer]\n"    // 9
        "Label=x\n"            // 10
        "Version=Quillon 3.2\n"));
    EXPECT_THAT(m_sink.m_messages, ElementsAre(Ignored(1), Ignored(2), Ignored(3), Ignored(5),
                                               Ignored(6), Ignored(7), Ignored(10)));
    EXPECT_THAT(m_ports, ElementsAre("4@8"));
}

TEST_F(SettingsWalkTest, AnInvalidVersionStopsTheParse) {
    EXPECT_FALSE(Parse(
        "[TCP]\n"
        "Port=1\n"
        "[TandrelServer]\n"
        "Version=Quillon 5.0\n"
        "[TCP]\n"
        "Port=2\n"
        "Unknown=3\n"));
    EXPECT_THAT(m_sink.m_messages,
                ElementsAre("Syntax error. Invalid version!!! (TandrelServer.INI, line 4)"));
    EXPECT_THAT(m_ports, ElementsAre("1@2"));
}

TEST_F(SettingsWalkTest, EveryAcceptedVersionPasses) {
    for (const char* pszVersion : {"Quillon 3.2", "QUILLON 3.3", "quillon 4.1"}) {
        EXPECT_TRUE(Parse(std::string("[TandrelServer]\nVersion=") + pszVersion + "\n"))
            << pszVersion;
    }
    EXPECT_THAT(m_sink.m_messages, IsEmpty());
}

TEST_F(SettingsWalkTest, AByteOrderMarkSpoilsTheFirstHeader) {
    EXPECT_TRUE(Parse("\xEF\xBB\xBF[TCP]\nPort=1\n"));
    EXPECT_THAT(m_sink.m_messages, ElementsAre(Ignored(1), Ignored(2)));
    EXPECT_THAT(m_ports, IsEmpty());
}

TEST_F(SettingsWalkTest, AnUnreadableFileFailsWithoutAMessage) {
    CSettingsParser parser(m_sink);
    EXPECT_FALSE(parser.Read(m_dir.Join("missing.INI")));
    EXPECT_THAT(m_sink.m_messages, IsEmpty());
}

}  // namespace
