#include "server/serverconfig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "common/macros.h"
#include "tests/common/recording_sink.h"
#include "tests/common/utf16_text.h"
#include "tests/support/tempdir.h"

using testsupport::CTempDir;

using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::IsEmpty;

namespace {

using UserList = std::vector<std::pair<std::string, std::string>>;

const char* const kFileName = "TandrelServer.INI";

std::string AtLine(const std::string& strText, int nLine) {
    return strText + " (TandrelServer.INI, line " + std::to_string(nLine) + ")";
}
std::string Ignored(int nLine) { return AtLine("Syntax error. This line will be ignored", nLine); }
std::string BadVersion(int nLine) { return AtLine("Syntax error. Invalid version!!!", nLine); }
std::string BadPort(int nLine) {
    return AtLine(
        "Syntax error. Invalid Port!!!. You must specify a number or \"BT\" for bluetooth", nLine);
}

std::string WithCrLf(const std::string& strText) {
    std::string strResult;
    for (char c : strText) {
        if (c == '\n') {
            strResult += '\r';
        }
        strResult += c;
    }
    return strResult;
}

std::string Replace(std::string strText, const std::string& strFrom, const std::string& strTo) {
    size_t nPos = strText.find(strFrom);
    if (nPos != std::string::npos) {
        strText.replace(nPos, strFrom.size(), strTo);
    }
    return strText;
}

UserList UsersOf(const CFileSyncServerConfig& config) {
    UserList users;
    for (const CFileSyncServerUser& user : config.m_users) {
        users.emplace_back(user.m_strUser, user.m_strPassword);
    }
    return users;
}

const std::string kFullFile =
    ". TandrelServer configuration\n"
    "\n"
    "[TandrelServer]\n"
    "Version=Quillon 4.1\n"
    "\n"
    "[TCP]\n"
    "Port=2121\n"
    "StartDir=/srv/Tandrel Data\n"
    "Welcome=Hello from Tandrel\n"
    "Log=/var/log/tandrel.log\n"
    "\n"
    "[USER]\n"
    "User=Alice\n"
    "Pwd=S3cret\n"
    "[USER]\n"
    "User=bob\n"
    "Pwd=pw\n";

// Values the resets must clear; every case is loaded over them.
const std::string kEarlierFile =
    "[TCP]\nPort=4242\nStartDir=/old\nWelcome=old\nLog=/old.log\n[USER]\nUser=old\nPwd=old\n";

struct ConfigCase {
    const char* pszName;
    std::string strContent;
    bool bLoaded = true;
    std::vector<std::string> messages = {};
    int nPort = -1;
    bool bBluetooth = false;
    std::string strStartDir = {};
    std::string strWelcome = {};
    std::string strLogFile = {};  // "@DATE@" stands for the date of the load
    UserList users = {};
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ConfigCase& c, std::ostream* pStream) { *pStream << c.pszName; }

class ServerConfigLoadTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ServerConfigLoadTest, ShowsEveryMessageAndKeepsTheValues) {
    const ConfigCase& c = GetParam();
    CTempDir dir;
    std::string strPath = dir.Join(kFileName);
    CFileSyncServerConfig config;
    CRecordingSink sink;
    ASSERT_TRUE(dir.WriteFile(kFileName, kEarlierFile));
    ASSERT_TRUE(config.Load(strPath, sink));
    ASSERT_THAT(sink.m_messages, IsEmpty());

    ASSERT_TRUE(dir.WriteFile(kFileName, c.strContent));
    // The date may turn over during the load; either day is right then.
    std::string strDateBefore = GetDateText();
    bool bLoaded = config.Load(strPath, sink);
    std::string strDateAfter = GetDateText();

    EXPECT_EQ(bLoaded, c.bLoaded);
    EXPECT_EQ(sink.m_messages, c.messages);
    EXPECT_EQ(config.m_nPort, c.nPort);
    EXPECT_EQ(config.m_bBluetooth, c.bBluetooth);
    EXPECT_EQ(config.GetStartDir(), c.strStartDir);
    EXPECT_EQ(config.GetWelcome(), c.strWelcome);
    EXPECT_THAT(config.GetLogFile(), AnyOf(Eq(Replace(c.strLogFile, "@DATE@", strDateBefore)),
                                           Eq(Replace(c.strLogFile, "@DATE@", strDateAfter))));
    EXPECT_EQ(UsersOf(config), c.users);
    EXPECT_EQ(config.GetFilePath(), strPath);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ServerConfigLoadTest,
    ::testing::Values(
        ConfigCase{.pszName = "Empty", .strContent = ""},
        ConfigCase{.pszName = "Full",
                   .strContent = kFullFile,
                   .nPort = 2121,
                   .strStartDir = "/srv/Tandrel Data",
                   .strWelcome = "Hello from Tandrel",
                   .strLogFile = "/var/log/tandrel.log",
                   .users = {{"Alice", "S3cret"}, {"bob", "pw"}}},
        ConfigCase{.pszName = "CarriageReturnLineFeeds",
                   .strContent = WithCrLf(kFullFile),
                   .nPort = 2121,
                   .strStartDir = "/srv/Tandrel Data",
                   .strWelcome = "Hello from Tandrel",
                   .strLogFile = "/var/log/tandrel.log",
                   .users = {{"Alice", "S3cret"}, {"bob", "pw"}}},
        ConfigCase{.pszName = "AnyCaseAndBlanksAroundTheEqualsSign",
                   .strContent = "[tcp]\n"
                                 "  PORT  =\t21 \n"
                                 "startdir = /Data \n"
                                 "[User]\n"
                                 "uSeR= Alice\n"
                                 "PWD =PassWord\n"
                                 "[tandrelSERVER]\n"
                                 "VERSION = quillon 3.3\n",
                   .nPort = 21,
                   .strStartDir = "/Data",
                   .users = {{"Alice", "PassWord"}}},
        ConfigCase{.pszName = "HeaderWithTrailingTextIsUnknown",
                   .strContent = "[TCP] main\nPort=21\n[TCP]\nPort=22\n",
                   .messages = {Ignored(1), Ignored(2)},
                   .nPort = 22},
        ConfigCase{.pszName = "EntriesBeforeTheFirstHeader",
                   .strContent = "Port=21\nUser=x\n\n[TCP]\nPort=22\n",
                   .messages = {Ignored(1), Ignored(2)},
                   .nPort = 22},
        ConfigCase{.pszName = "UnknownKeysAndLinesWithoutEqualsSign",
                   .strContent = "[TCP]\n"
                                 ". Port=1\n"
                                 "; Port=2\n"
                                 "# Port=3\n"
                                 "Port 4\n"
                                 "Host=x\n"
                                 "Port=5\n"
                                 "[TandrelServer]\n"
                                 "Build=7\n"
                                 "Version=QUILLON 3.2\n"
                                 "[USER]\n"
                                 "Name=x\n"
                                 "User=y\n",
                   .messages = {Ignored(3), Ignored(4), Ignored(5), Ignored(6), Ignored(9),
                                Ignored(12)},
                   .nPort = 5,
                   .users = {{"y", ""}}},
        ConfigCase{.pszName = "EveryLineUnderAnUnknownHeaderIsReported",
                   .strContent = "[USER]\nUser=a\n[USERS]\nUser=b\n\nPwd=c\n",
                   .messages = {Ignored(3), Ignored(4), Ignored(6)},
                   .users = {{"a", ""}}},
        ConfigCase{.pszName = "EmptyPortIsZero", .strContent = "[TCP]\nPort=\n", .nPort = 0},
        ConfigCase{.pszName = "LeadingZeros", .strContent = "[TCP]\nPort=0021\n", .nPort = 21},
        // Range checks belong to the dialog: out-of-range ports are kept,
        // and values beyond int are clamped to INT_MAX.
        ConfigCase{.pszName = "PortAbovePortRange",
                   .strContent = "[TCP]\nPort=70000\n",
                   .nPort = 70000},
        ConfigCase{.pszName = "PortBeyondInt",
                   .strContent = "[TCP]\nPort=99999999999\n",
                   .nPort = INT_MAX},
        ConfigCase{.pszName = "PortWithPlusSignStopsTheParse",
                   .strContent = "[TCP]\nWelcome=hi\nPort=+21\nStartDir=/x\nBogus\n[USER]\n",
                   .bLoaded = false,
                   .messages = {BadPort(3)},
                   .strWelcome = "hi"},
        ConfigCase{.pszName = "PortWithTrailingLetterStopsTheParse",
                   .strContent = "[TCP]\nPort=2121\n\nPort=21x\n",
                   .bLoaded = false,
                   .messages = {BadPort(4)},
                   .nPort = 2121},
        ConfigCase{.pszName = "NegativePortStopsTheParse",
                   .strContent = "[TCP]\nPort=-1\n",
                   .bLoaded = false,
                   .messages = {BadPort(2)}},
        ConfigCase{.pszName = "BluetoothInLowerCase",
                   .strContent = "[TCP]\nPort=21\nPort=bt\n",
                   .nPort = -1,
                   .bBluetooth = true},
        ConfigCase{.pszName = "LaterNumericPortEndsBluetooth",
                   .strContent = "[TCP]\nPort=BT\n[TCP]\nPort=21\n",
                   .nPort = 21,
                   .bBluetooth = false},
        ConfigCase{.pszName = "UsersInFileOrderLastValueWins",
                   .strContent = "[USER]\nUser=a\nPwd=1\n"
                                 "[USER]\n"
                                 "[user]\nUser=c\nUser=D\nPwd=3\nPwd=4\n"
                                 "[USER]\nUser=a\nPwd=\n",
                   .users = {{"a", "1"}, {"", ""}, {"D", "4"}, {"a", ""}}},
        ConfigCase{.pszName = "EmptyUserSectionAtTheEnd",
                   .strContent = "[USER]",
                   .users = {{"", ""}}},
        ConfigCase{.pszName = "WelcomeKeepsEverythingAfterTheFirstEqualsSign",
                   .strContent = "[TCP]\nWelcome = a=b = C==\n",
                   .strWelcome = "a=b = C=="},
        ConfigCase{.pszName = "Utf8ByteOrderMarkSpoilsTheFirstHeader",
                   .strContent = "\xEF\xBB\xBF[TCP]\nPort=21\n",
                   .messages = {Ignored(1), Ignored(2)}},
        // A NUL on a comment line must not hide the user after it.
        ConfigCase{.pszName = "NulEndsItsLineOnly",
                   .strContent = std::string("[TCP]\nPort=21\n.note\0Port=22\n"
                                             "[USER]\nUser=a\0x\nPwd=b\n",
                                             50),
                   .nPort = 21,
                   .users = {{"a", "b"}}},
        ConfigCase{.pszName = "Utf16WithByteOrderMark",
                   .strContent = Utf16("[TCP]\r\nPort=2121\r\nWelcome=Caf\xE9\r\n"
                                       "[USER]\r\nUser=a\r\nPwd=b\r\nBogus\r\n",
                                       false, true),
                   .messages = {Ignored(7)},
                   .nPort = 2121,
                   .strWelcome = "Caf\xC3\xA9",
                   .users = {{"a", "b"}}},
        ConfigCase{.pszName = "Utf16BigEndianWithoutByteOrderMark",
                   .strContent = Utf16("[TCP]\nPort=BT\n", true, false),
                   .bBluetooth = true},
        ConfigCase{.pszName = "InvalidVersionStopsTheParse",
                   .strContent = "[TCP]\n"
                                 "Port=21\n"
                                 "[TandrelServer]\n"
                                 "Version=Quillon 5.0\n"
                                 "Version=Quillon 4.1\n"
                                 "[TCP]\n"
                                 "Port=22x\n"
                                 "Bogus\n"
                                 "[USER]\n"
                                 "User=x\n",
                   .bLoaded = false,
                   .messages = {BadVersion(4)},
                   .nPort = 21},
        ConfigCase{.pszName = "LogMacros",
                   .strContent = "[TCP]\nLog=/var/log/%USER%-%RemoteMachineName%-%date%.log\n",
                   .strLogFile = "/var/log/%USER%-%RemoteMachineName%-@DATE@.log"}),
    [](const auto& info) { return info.param.pszName; });

TEST(ServerConfig, AFileThatCannotBeReadFailsSilentlyAndLeavesNothingOfTheLastLoad) {
    CTempDir dir;
    ASSERT_TRUE(dir.WriteFile(kFileName,
                              "[TCP]\nPort=BT\nStartDir=/a\nWelcome=w\nLog=l\n[USER]\nUser=u\n"));
    CFileSyncServerConfig config;
    CRecordingSink sink;
    ASSERT_TRUE(config.Load(dir.Join(kFileName), sink));
    ASSERT_TRUE(config.m_bBluetooth);
    ASSERT_EQ(config.GetLines().size(), 7u);

    std::string strMissing = dir.Join("missing.INI");
    EXPECT_FALSE(config.Load(strMissing, sink));
    EXPECT_THAT(sink.m_messages, IsEmpty());
    EXPECT_EQ(config.GetFilePath(), strMissing);
    EXPECT_THAT(config.GetLines(), IsEmpty());
    EXPECT_FALSE(config.m_bBluetooth);
    EXPECT_EQ(config.m_nPort, -1);
    EXPECT_EQ(config.GetStartDir(), "");
    EXPECT_EQ(config.GetWelcome(), "");
    EXPECT_EQ(config.GetLogFile(), "");
    EXPECT_THAT(config.m_users, IsEmpty());

    // A folder opens but cannot be read as a file.
    EXPECT_FALSE(config.Load(dir.Path(), sink));
    EXPECT_THAT(sink.m_messages, IsEmpty());
}

TEST(ServerConfig, KeepsTheTrimmedLinesOfTheFile) {
    CTempDir dir;
    ASSERT_TRUE(dir.WriteFile(kFileName, " [TCP] \r\n\tPort = 21\r\n\r\n"));
    CFileSyncServerConfig config;
    CRecordingSink sink;
    ASSERT_TRUE(config.Load(dir.Join(kFileName), sink));
    EXPECT_THAT(config.GetLines(), ElementsAre("[TCP]", "Port = 21", ""));
}

TEST(ServerConfig, UserAndPasswordAreReplacedOnlyForAnExistingAccount) {
    CTempDir dir;
    ASSERT_TRUE(dir.WriteFile(kFileName, "[USER]\nUser=a\nPwd=1\n"));
    CFileSyncServerConfig config;
    CRecordingSink sink;
    ASSERT_TRUE(config.Load(dir.Join(kFileName), sink));
    EXPECT_TRUE(config.SetUser(0, "b"));
    EXPECT_TRUE(config.SetPwd(0, "2"));
    EXPECT_FALSE(config.SetUser(1, "c"));
    EXPECT_FALSE(config.SetPwd(1, "3"));
    EXPECT_EQ(UsersOf(config), (UserList{{"b", "2"}}));
}

}  // namespace

namespace {

TEST(ServerConfig, PassiveSettingsAreReadOrEndTheLoad) {
    const std::string kBadPorts = AtLine(
        "Syntax error. Invalid PassivePorts. You must specify a range of ports such as 50000-50100",
        2);
    const std::string kBadAddress = AtLine(
        "Syntax error. Invalid PassiveAddress. You must specify an IPv4 address such as "
        "203.0.113.7",
        2);
    struct Case {
        std::string strLine;
        bool bLoaded;
        std::vector<std::string> messages;
        uint16_t nFirst = 0;
        uint16_t nLast = 0;
        uint32_t nAddress = 0;
    };
    const Case cases[] = {
        {"PassivePorts=50000-50100", true, {}, 50000, 50100},
        {"passiveports = 6000 - 6000", true, {}, 6000, 6000},
        {"PassivePorts=7000", true, {}, 7000, 7000},
        {"PassivePorts=1-65535", true, {}, 1, 65535},
        {"PassiveAddress=203.0.113.7", true, {}, 0, 0, 0xCB007107},
        {"PassivePorts=", false, {kBadPorts}},
        {"PassivePorts=0-10", false, {kBadPorts}},
        {"PassivePorts=100-65536", false, {kBadPorts}},
        {"PassivePorts=200-100", false, {kBadPorts}},
        {"PassivePorts=a-b", false, {kBadPorts}},
        {"PassivePorts=100-200-300", false, {kBadPorts}},
        {"PassivePorts=-5", false, {kBadPorts}},
        {"PassiveAddress=", false, {kBadAddress}},
        {"PassiveAddress=0.0.0.0", false, {kBadAddress}},
        {"PassiveAddress=::1", false, {kBadAddress}},
        {"PassiveAddress=ftp.example.com", false, {kBadAddress}},
        {"PassiveAddress=203.0.113", false, {kBadAddress}},
    };
    CTempDir dir;
    const std::string strPath = dir.Join(kFileName);
    for (const Case& c : cases) {
        CFileSyncServerConfig config;
        CRecordingSink sink;
        // Values of an earlier load never survive into this one.
        ASSERT_TRUE(dir.WriteFile(kFileName,
                                  "[TCP]\nPassivePorts=1000-2000\nPassiveAddress=10.0.0.1\n"));
        ASSERT_TRUE(config.Load(strPath, sink));
        ASSERT_TRUE(dir.WriteFile(kFileName, "[TCP]\n" + c.strLine + "\nPort=21\n"));
        EXPECT_EQ(config.Load(strPath, sink), c.bLoaded) << c.strLine;
        EXPECT_EQ(sink.m_messages, c.messages) << c.strLine;
        EXPECT_EQ(config.GetPassiveSettings().nFirstPort, c.nFirst) << c.strLine;
        EXPECT_EQ(config.GetPassiveSettings().nLastPort, c.nLast) << c.strLine;
        EXPECT_EQ(config.GetPassiveSettings().nAnnouncedAddress, c.nAddress) << c.strLine;
        // A failed load stops at the bad line.
        EXPECT_EQ(config.m_nPort, c.bLoaded ? 21 : -1) << c.strLine;
    }
}

}  // namespace

namespace {

TEST(ServerConfig, TlsSettingsAreReadAndABadSwitchEndsTheLoad) {
    struct Case {
        std::string strLines;
        bool bLoaded;
        std::vector<std::string> messages;
        std::string strCertificate;
        std::string strKey;  // what the engine is given: the certificate's file without TlsKey
        bool bRequired;
    };
    const std::string kBadSwitch =
        AtLine("Syntax error. Invalid TlsRequired. You must specify Yes or No", 4);
    const Case cases[] = {
        {"TlsCertificate=/etc/tandrel/cert.pem\nTlsKey=/etc/tandrel/key.pem\nTlsRequired=yes\n",
         true, {}, "/etc/tandrel/cert.pem", "/etc/tandrel/key.pem", true},
        {"TlsCertificate=/etc/tandrel/both.pem\n\nTLSREQUIRED=No\n", true, {},
         "/etc/tandrel/both.pem", "/etc/tandrel/both.pem", false},
        {"TlsCertificate=/c.pem\nTlsKey=/k.pem\nTlsRequired=1\n", false, {kBadSwitch}, "/c.pem",
         "/k.pem", false},
        {"\n\nTlsRequired=\n", false, {kBadSwitch}, "", "", false},
    };
    CTempDir dir;
    const std::string strPath = dir.Join(kFileName);
    for (const Case& c : cases) {
        CFileSyncServerConfig config;
        CRecordingSink sink;
        ASSERT_TRUE(dir.WriteFile(kFileName, "[TCP]\nTlsCertificate=/old\nTlsRequired=Yes\n"));
        ASSERT_TRUE(config.Load(strPath, sink));
        ASSERT_TRUE(dir.WriteFile(kFileName, "[TCP]\n" + c.strLines));
        EXPECT_EQ(config.Load(strPath, sink), c.bLoaded) << c.strLines;
        EXPECT_EQ(sink.m_messages, c.messages) << c.strLines;
        EXPECT_EQ(config.GetTlsCertificate(), c.strCertificate) << c.strLines;
        EXPECT_EQ(config.GetTlsKey(), c.strKey) << c.strLines;
        EXPECT_EQ(config.IsTlsRequired(), c.bRequired) << c.strLines;
    }
}

TEST(ServerConfig, MaxSessionsIsReadOrEndsTheLoad) {
    const std::string kBad = AtLine(
        "Syntax error. Invalid MaxSessions. You must specify a number from 1 to 256", 2);
    struct Case {
        std::string strLine;
        bool bLoaded;
        int nSessions;
    };
    const Case cases[] = {
        {"MaxSessions=20", true, 20},
        {"maxsessions = 1", true, 1},
        {"MaxSessions=256", true, 256},
        {"MaxSessions=007", true, 7},
        {"MaxSessions=0", false, 1},
        {"MaxSessions=257", false, 1},
        {"MaxSessions=1000", false, 1},
        {"MaxSessions=-3", false, 1},
        {"MaxSessions=ten", false, 1},
        {"MaxSessions=", false, 1},
    };
    CTempDir dir;
    const std::string strPath = dir.Join(kFileName);
    for (const Case& c : cases) {
        CFileSyncServerConfig config;
        CRecordingSink sink;
        // A value of an earlier load never survives into this one.
        ASSERT_TRUE(dir.WriteFile(kFileName, "[TCP]\nMaxSessions=50\n"));
        ASSERT_TRUE(config.Load(strPath, sink));
        ASSERT_TRUE(dir.WriteFile(kFileName, "[TCP]\n" + c.strLine + "\nPort=21\n"));
        EXPECT_EQ(config.Load(strPath, sink), c.bLoaded) << c.strLine;
        EXPECT_EQ(sink.m_messages, c.bLoaded ? std::vector<std::string>{}
                                             : std::vector<std::string>{kBad})
            << c.strLine;
        EXPECT_EQ(config.GetMaxSessions(), c.nSessions) << c.strLine;
    }
}

}  // namespace
