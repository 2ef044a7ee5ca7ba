// The sync script parser against script files in a temporary folder. Device
// macros are answered by the folder that plays the device
// (TANDREL_DEVICE_ROOT) and its identity program.

#include "client/syncscript.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "common/macros.h"
#include "platform/device.h"
#include "platform/file.h"
#include "tests/common/recording_sink.h"
#include "tests/client/deviceid_fixture.h"
#include "tests/support/fsutil.h"
#include "tests/support/tempdir.h"

using ::testing::IsEmpty;

namespace {

const char* const kFileName = "TandrelClient.INI";

std::string AtLine(const std::string& strText, int nLine) {
    return strText + " (TandrelClient.INI, line " + std::to_string(nLine) + ")";
}
std::string Ignored(int nLine) { return AtLine("Syntax error. This line will be ignored", nLine); }
std::string BadVersion(int nLine) { return AtLine("Syntax error. Invalid version!!!", nLine); }
std::string BadPort(int nLine) {
    return AtLine(
        "Syntax error. Invalid Port!!!. You must specify a number or \"BT\" for bluetooth", nLine);
}
std::string ServerMacro(int nLine) {
    return AtLine("ERROR: Cannot expand Macro. Check the device is connected", nLine);
}
std::string SectionMacro(int nLine) {
    return AtLine(
        "ERROR: Cannot expand Macro. The complete PUT/GET section will be ignored. Check the "
        "device is connected and the file deviceid.dll is located in the root folder on the "
        "Pocket PC",
        nLine);
}
std::string GetWildcards(int nLine) {
    return AtLine("Syntax error. Metacharacters are no allowed in GET->RemoteFiles", nLine);
}
std::string CannotCreate(const std::string& strFolder, int nLine) {
    return AtLine("ERROR: Cannot create folder '" + strFolder + "'", nLine);
}

// One PUT or GET record, comparable as a whole.
struct Section {
    std::vector<std::string> files;
    std::string strLocalDir;
    std::string strRemoteDir;
    bool operator==(const Section&) const = default;
};

void PrintTo(const Section& s, std::ostream* pStream) {
    *pStream << "{files:";
    for (const std::string& strFile : s.files) {
        *pStream << " '" << strFile << "'";
    }
    *pStream << ", local '" << s.strLocalDir << "', remote '" << s.strRemoteDir << "'}";
}

std::vector<Section> SectionsOf(const std::vector<CFileSyncClientPutGet>& records) {
    std::vector<Section> sections;
    for (const CFileSyncClientPutGet& record : records) {
        sections.push_back({record.m_strFiles, record.m_strLocalDir, record.m_strRemoteDir});
    }
    return sections;
}

// Case texts name the test's folder "@DIR@" and this computer's adapter
// address "@MACHINEID@".
struct ScriptCase {
    const char* pszName;
    std::string strContent;
    // A device is attached whose identity program answers "DEV-42" and
    // "Pocket PC"; otherwise no device answers.
    bool bDevice = false;
    bool bLoaded = true;
    std::vector<std::string> messages = {};
    std::string strLabel = {};
    std::string strAddress = {};
    int nPort = -1;
    bool bBluetooth = false;
    bool bActiveSync = false;
    std::string strUser = {};
    std::string strPassword = {};
    std::string strLogFile = {};
    std::vector<Section> puts = {};
    std::vector<Section> gets = {};
    // Plain files made before the load.
    std::vector<std::string> filesBefore = {};
    // Folders that must exist, and names that must not, after the load.
    std::vector<std::string> folders = {};
    std::vector<std::string> absent = {};
    bool bGetWildcards = false;
    int nTimeoutSeconds = 0;
    EDataMode eDataMode = EDataMode::Active;
    bool bTls = false;
    std::string strTlsCaFile = {};
    std::string strHostName = {};
};

void PrintTo(const ScriptCase& c, std::ostream* pStream) { *pStream << c.pszName; }

// Loaded before every case, so that every value it sets must be cleared; its
// device GET wildcard must not let a later server script fetch by pattern.
const std::string kEarlierScript =
    "[SERVER]\nLabel=old\nAddress=old.invalid\nPort=ActiveSync\nUser=old\nPwd=old\nLog=old.log\n"
    "Timeout=30\nDataMode=Passive\nTls=Yes\nTlsCaFile=/old/ca.pem\n"
    "[PUT]\nLocalFiles=old\n[GET]\nRemoteFiles=old;*.old\n";

// What the device's identity library answers.
const std::vector<testsupport::CDeviceAnswer> kDeviceId = {
    {"FnStringMode/GetDeviceId", 0, "DEV-42\n"},
    {"FnStringMode2/GetMachineName", 0, "Pocket PC\n"},
    {"*", 3, ""},
};

class SyncScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("device")));
        ASSERT_TRUE(testsupport::WriteDeviceIdentity(m_dir.Join("device"), kDeviceId));
        testsupport::UnsetEnvVar("TANDREL_DEVICE_ROOT");
    }
    void TearDown() override { testsupport::UnsetEnvVar("TANDREL_DEVICE_ROOT"); }

    void AttachDevice() { testsupport::SetEnvVar("TANDREL_DEVICE_ROOT", m_dir.Join("device")); }

    std::string Fill(std::string strText) const {
        ReplaceAll(strText, "@DIR@", m_dir.Path());
        ReplaceAll(strText, "@MACHINEID@", GetLocalMachineId());
        return strText;
    }
    std::vector<std::string> Fill(std::vector<std::string> texts) const {
        for (std::string& strText : texts) {
            strText = Fill(strText);
        }
        return texts;
    }
    std::vector<Section> Fill(std::vector<Section> sections) const {
        for (Section& s : sections) {
            s = {Fill(s.files), Fill(s.strLocalDir), Fill(s.strRemoteDir)};
        }
        return sections;
    }

    bool IsFolder(const std::string& strName) const {
        uint32_t dwAttributes = platform::GetPathAttributes(m_dir.Join(strName));
        return dwAttributes != platform::kInvalidFileAttributes &&
               (dwAttributes & platform::kFileAttributeDirectory) != 0;
    }

    static void ReplaceAll(std::string& strText, const std::string& strFrom,
                           const std::string& strTo) {
        for (size_t nPos = strText.find(strFrom); nPos != std::string::npos;
             nPos = strText.find(strFrom, nPos + strTo.size())) {
            strText.replace(nPos, strFrom.size(), strTo);
        }
    }

    testsupport::CTempDir m_dir;
};

class SyncScriptLoadTest : public SyncScriptTest,
                           public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(SyncScriptLoadTest, ShowsEveryMessageAndKeepsTheValues) {
    const ScriptCase& c = GetParam();
    const std::string strPath = m_dir.Join(kFileName);
    CSyncScript script;
    CRecordingSink sink;
    ASSERT_TRUE(m_dir.WriteFile(kFileName, kEarlierScript));
    ASSERT_TRUE(script.Load(strPath, sink));
    ASSERT_THAT(sink.m_messages, IsEmpty());
    ASSERT_TRUE(script.m_bGetWildcards);

    for (const std::string& strFile : c.filesBefore) {
        ASSERT_TRUE(m_dir.WriteFile(strFile, "x"));
    }
    ASSERT_TRUE(m_dir.WriteFile(kFileName, Fill(c.strContent)));
    if (c.bDevice) {
        AttachDevice();
    }
    const bool bLoaded = script.Load(strPath, sink);

    EXPECT_EQ(bLoaded, c.bLoaded);
    EXPECT_EQ(sink.m_messages, Fill(c.messages));
    EXPECT_EQ(script.GetFilePath(), strPath);
    EXPECT_EQ(script.GetLabel(), c.strLabel);
    EXPECT_EQ(script.GetAddress(), c.strAddress);
    EXPECT_EQ(script.m_nPort, c.nPort);
    EXPECT_EQ(script.m_bBluetooth, c.bBluetooth);
    EXPECT_EQ(script.m_bActiveSync, c.bActiveSync);
    EXPECT_EQ(script.GetUser(), c.strUser);
    EXPECT_EQ(script.GetPassword(), c.strPassword);
    EXPECT_EQ(script.GetLogFile(), Fill(c.strLogFile));
    EXPECT_EQ(SectionsOf(script.m_PutList), Fill(c.puts));
    EXPECT_EQ(SectionsOf(script.m_GetList), Fill(c.gets));
    EXPECT_EQ(script.m_bGetWildcards, c.bGetWildcards);
    EXPECT_EQ(script.m_nTimeoutSeconds, c.nTimeoutSeconds);
    EXPECT_EQ(script.m_eDataMode, c.eDataMode);
    EXPECT_EQ(script.m_bTls, c.bTls);
    EXPECT_EQ(script.m_strTlsCaFile, c.strTlsCaFile);
    if (!c.strHostName.empty()) {
        EXPECT_EQ(script.GetHostName(), c.strHostName);
    }
    for (const std::string& strFolder : c.folders) {
        EXPECT_TRUE(IsFolder(strFolder)) << strFolder;
    }
    for (const std::string& strName : c.absent) {
        EXPECT_FALSE(m_dir.Exists(strName)) << strName;
    }
    // The parse's own device session must not outlive it.
    EXPECT_FALSE(platform::IsDeviceSessionOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Files, SyncScriptLoadTest,
    ::testing::Values(
        ScriptCase{.pszName = "Empty", .strContent = ""},
        ScriptCase{.pszName = "Full",
                   .strContent = ". Tandrel sync script\n"
                                 "[TandrelClient]\n"
                                 "Version=Quillon 4.1\n"
                                 "\n"
                                 "[SERVER]\n"
                                 "Label=Head office\n"
                                 "Address=10.0.0.7\n"
                                 "Port=2121\n"
                                 "User=alice\n"
                                 "Pwd=S3cret=x\n"
                                 "Log=@DIR@/sync_%USER%.log\n"
                                 "[PUT]\n"
                                 "LocalFiles=*.dat;notes.txt\n"
                                 "LocalDir=@DIR@/out\n"
                                 "RemoteDir=incoming\\%MACHINEID%\n"
                                 "[GET]\n"
                                 "RemoteFiles=setup.txt; lookup.dat\n"
                                 "LocalDir=@DIR@/in\\\n"
                                 "RemoteDir=apps\n",
                   .strLabel = "Head office",
                   .strAddress = "10.0.0.7",
                   .nPort = 2121,
                   .strUser = "alice",
                   .strPassword = "S3cret=x",
                   .strLogFile = "@DIR@/sync_alice.log",
                   .puts = {{{"*.dat", "notes.txt"}, "@DIR@/out", "incoming\\@MACHINEID@"}},
                   .gets = {{{"setup.txt", "lookup.dat"}, "@DIR@/in", "apps"}},
                   .folders = {"in"},
                   // Only GET folders are made; a PUT folder is the operator's.
                   .absent = {"out"}},
        ScriptCase{.pszName = "AnyCaseAndBlanksAroundEqualsAndSemicolon",
                   .strContent = "[server]\n"
                                 "  label =  Head office \n"
                                 "ADDRESS= 10.0.0.7\n"
                                 "port =\t21\n"
                                 "uSeR = Bob\n"
                                 "PWD= pw \n"
                                 "[Put]\n"
                                 "localfiles =  a.txt ;\tb.txt ; \n"
                                 "LOCALDIR = /x\n"
                                 "remotedir= r\n"
                                 "[get]\n"
                                 "REMOTEFILES= c.txt ;d.txt\n"
                                 "localDir =@DIR@/in\n"
                                 "RemoteDIR = s\n"
                                 "[tandrelclient]\n"
                                 "VERSION = quillon 3.3\n",
                   .strLabel = "Head office",
                   .strAddress = "10.0.0.7",
                   .nPort = 21,
                   .strUser = "Bob",
                   .strPassword = "pw",
                   .puts = {{{"a.txt", "b.txt"}, "/x", "r"}},
                   .gets = {{{"c.txt", "d.txt"}, "@DIR@/in", "s"}},
                   .folders = {"in"}},
        ScriptCase{.pszName = "FileListsAddUpWithoutEmptyEntries",
                   .strContent = "[PUT]\n"
                                 "LocalFiles=a.txt; b.txt;;c.txt\n"
                                 "LocalFiles=d.txt\n"
                                 "LocalFiles= ; ;\n"
                                 "RemoteFiles=x.txt\n"
                                 "LocalDir=/first\n"
                                 "LocalDir=/second\n"
                                 "[GET]\n"
                                 "RemoteFiles=e.txt\n"
                                 "LocalFiles=f.txt\n"
                                 "RemoteFiles=;g.txt;\n"
                                 "LocalDir=@DIR@/in\n"
                                 "[PUT]\n"
                                 "[GET]\n"
                                 "RemoteDir=r\n",
                   .messages = {Ignored(5), Ignored(10)},
                   .puts = {{{"a.txt", "b.txt", "c.txt", "d.txt"}, "/second", ""}, {}},
                   .gets = {{{"e.txt", "g.txt"}, "@DIR@/in", ""}, {{}, "", "r"}}},
        ScriptCase{.pszName = "DirectoriesLoseTrailingSeparatorsAndGetFoldersAreMade",
                   .strContent = "[PUT]\n"
                                 "LocalDir=C:\\In\\\\\n"
                                 "RemoteDir=out/\\/\n"
                                 "[PUT]\n"
                                 "LocalDir=/\n"
                                 "RemoteDir=\\\\\n"
                                 "[GET]\n"
                                 "LocalDir=@DIR@/a\\b/c\\\\/\n"
                                 "RemoteDir=apps\\\n"
                                 "[GET]\n"
                                 "LocalDir=@DIR@/a\n",
                   .puts = {{{}, "C:\\In", "out"}, {{}, "/", "\\"}},
                   .gets = {{{}, "@DIR@/a\\b/c", "apps"}, {{}, "@DIR@/a", ""}},
                   .folders = {"a", "a/b", "a/b/c"}},
        ScriptCase{.pszName = "UnknownLinesAreReportedAndSkipped",
                   .strContent = "Label=before any section\n"
                                 "[SERVER] main\n"
                                 "Label=under an unknown header\n"
                                 "[SERVER]\n"
                                 "Label=kept\n"
                                 "Host=x\n"
                                 "; Port=1\n"
                                 "Port 2\n"
                                 ". Port=3\n"
                                 "[PUT]\n"
                                 "Pattern=*.txt\n"
                                 "[TandrelClient]\n"
                                 "Build=7\n"
                                 "[GET]\n"
                                 "Files=*.txt\n"
                                 "[OPTIONS]\n"
                                 "\n"
                                 "Port=4\n",
                   .messages = {Ignored(1), Ignored(2), Ignored(3), Ignored(6), Ignored(7),
                                Ignored(8), Ignored(11), Ignored(13), Ignored(15), Ignored(16),
                                Ignored(18)},
                   .strLabel = "kept",
                   .puts = {{}},
                   .gets = {{}}},
        ScriptCase{.pszName = "LaterServerValuesWinAcrossSections",
                   .strContent = "[SERVER]\nLabel=first\nPort=21\nUser=a\n"
                                 "[SERVER]\nLabel=second\nUser=b\n",
                   .strLabel = "second",
                   .nPort = 21,
                   .strUser = "b"},
        ScriptCase{.pszName = "EmptyPortIsZero", .strContent = "[SERVER]\nPort=\n", .nPort = 0},
        // The dialog judges the range, not the parser.
        ScriptCase{.pszName = "PortIsKeptOutsideItsRange",
                   .strContent = "[SERVER]\nPort=70000\n",
                   .nPort = 70000},
        ScriptCase{.pszName = "PortWithLetterStopsTheParse",
                   .strContent = "[SERVER]\n"
                                 "Label=L\n"
                                 "Port=2121\n"
                                 "Address=10.0.0.7\n"
                                 "Port=21x\n"
                                 "User=never\n"
                                 "Bogus\n"
                                 "[PUT]\n"
                                 "LocalFiles=a.txt\n",
                   .bLoaded = false,
                   .messages = {BadPort(5)},
                   .strLabel = "L",
                   .strAddress = "10.0.0.7",
                   .nPort = 2121},
        ScriptCase{.pszName = "HostNameResolvesToDottedAddress",
                   .strContent = "[SERVER]\nAddress=localhost\nPort=2121\n",
                   .strAddress = "127.0.0.1",
                   .nPort = 2121},
        ScriptCase{.pszName = "UnresolvableHostNameIsStoredEmpty",
                   .strContent = "[SERVER]\nAddress=10.0.0.7\nAddress=no-such-host.invalid\n"},
        ScriptCase{.pszName = "BluetoothTakesTheAddressAsWritten",
                   .strContent = "[SERVER]\nAddress=phone.invalid\nPort=bt\n",
                   .strAddress = "phone.invalid",
                   .bBluetooth = true},
        ScriptCase{.pszName = "ActiveSyncBeforeAddress",
                   .strContent = "[SERVER]\nPort=ActiveSync\nAddress=PPC.invalid\n",
                   .strAddress = "PPC.invalid",
                   .bActiveSync = true},
        ScriptCase{.pszName = "ActiveSyncAfterAddress",
                   .strContent = "[SERVER]\nPort=21\nAddress=PPC.invalid\nPort=activesync\n",
                   .strAddress = "PPC.invalid",
                   .bActiveSync = true},
        ScriptCase{.pszName = "NumericPortEndsActiveSyncWithoutResolving",
                   .strContent = "[SERVER]\nPort=ActiveSync\nAddress=localhost\nPort=2121\n",
                   .strAddress = "localhost",
                   .nPort = 2121},
        // The address as written is remembered per [SERVER] section only.
        ScriptCase{.pszName = "PortModeTakesTheAddressOfItsOwnSection",
                   .strContent = "[SERVER]\nAddress=10.0.0.7\n[SERVER]\nPort=ActiveSync\n",
                   .bActiveSync = true},
        ScriptCase{.pszName = "InvalidVersionStopsTheParse",
                   .strContent = "[SERVER]\n"
                                 "Label=L\n"
                                 "[TandrelClient]\n"
                                 "Version=Quillon 5.0\n"
                                 "Version=Quillon 4.1\n"
                                 "[SERVER]\n"
                                 "Port=21x\n",
                   .bLoaded = false,
                   .messages = {BadVersion(4)},
                   .strLabel = "L"},
        ScriptCase{.pszName = "GetWildcardsStopTheParseOutsideActiveSync",
                   .strContent = "[SERVER]\n"
                                 "Label=L\n"
                                 "[PUT]\n"
                                 "LocalFiles=*.dat;a?.txt\n"
                                 "[GET]\n"
                                 "RemoteFiles=a.txt\n"
                                 "LocalDir=@DIR@/first\n"
                                 "[GET]\n"
                                 "RemoteFiles=b.txt; c?.txt; *.dat\n"
                                 "LocalDir=@DIR@/second\n"
                                 "Bogus\n",
                   .bLoaded = false,
                   .messages = {GetWildcards(9)},
                   .strLabel = "L",
                   .puts = {{{"*.dat", "a?.txt"}, "", ""}},
                   .gets = {{{"a.txt"}, "@DIR@/first", ""}},
                   .folders = {"first"},
                   .absent = {"second"}},
        ScriptCase{.pszName = "GetAsteriskStopsTheParse",
                   .strContent = "[GET]\nRemoteFiles=*.dat\n",
                   .bLoaded = false,
                   .messages = {GetWildcards(2)}},
        // Once a device script has accepted one, GET entries are no longer
        // checked, even after the mode is left.
        ScriptCase{.pszName = "GetWildcardsInActiveSyncAreAcceptedAndThenNoLongerChecked",
                   .strContent = "[SERVER]\n"
                                 "Port=ActiveSync\n"
                                 "[GET]\n"
                                 "RemoteFiles=\\My Documents\\*.dat\n"
                                 "LocalDir=@DIR@/in\n"
                                 "[SERVER]\n"
                                 "Port=2121\n"
                                 "[GET]\n"
                                 "RemoteFiles=b?.txt\n",
                   .nPort = 2121,
                   .gets = {{{"\\My Documents\\*.dat"}, "@DIR@/in", ""}, {{"b?.txt"}, "", ""}},
                   .folders = {"in"},
                   .bGetWildcards = true},
        ScriptCase{.pszName = "EmptyGetLocalDirStopsTheParse",
                   .strContent = "[SERVER]\n"
                                 "Label=L\n"
                                 "[GET]\n"
                                 "RemoteFiles=a.txt\n"
                                 "LocalDir=\n"
                                 "RemoteDir=r\n"
                                 "[SERVER]\n"
                                 "Label=never\n",
                   .bLoaded = false,
                   .messages = {CannotCreate("", 5)},
                   .strLabel = "L"},
        ScriptCase{.pszName = "GetLocalDirNamingAFileStopsTheParse",
                   .strContent = "[GET]\nLocalDir=@DIR@/plain\\\n",
                   .bLoaded = false,
                   .messages = {CannotCreate("@DIR@/plain", 2)},
                   .filesBefore = {"plain"}},
        ScriptCase{.pszName = "GetLocalDirBelowAFileStopsTheParse",
                   .strContent = "[GET]\nLocalDir=@DIR@/plain/in\n",
                   .bLoaded = false,
                   .messages = {CannotCreate("@DIR@/plain/in", 2)},
                   .filesBefore = {"plain"}},
        ScriptCase{.pszName = "UserMacroNeedsTheUserLineFirst",
                   .strContent = "[SERVER]\n"
                                 "Log=/logs/%USER%.log\n"
                                 "User=bob\n"
                                 "Pwd=%user%\n"
                                 "[PUT]\n"
                                 "LocalFiles=%USER%.txt\n"
                                 "LocalDir=/home/%USER%\n"
                                 "RemoteDir=in/%USER%\n",
                   .strUser = "bob",
                   .strPassword = "%user%",
                   .strLogFile = "/logs/%USER%.log",
                   .puts = {{{"bob.txt"}, "/home/bob", "in/bob"}}},
        ScriptCase{.pszName = "DeviceMacrosInActiveSync",
                   .strContent = "[SERVER]\n"
                                 "Port=ActiveSync\n"
                                 "Address=PPC\n"
                                 "User=%REMOTEMACHINENAME%\n"
                                 "Pwd=%RemoteMachineId%\n"
                                 "Log=@DIR@/%USER%_%remotemachineid%.log\n"
                                 "[GET]\n"
                                 "RemoteFiles=\\Logs\\%REMOTEMACHINEID%.txt\n"
                                 "LocalDir=@DIR@/in_%REMOTEMACHINEID%\n"
                                 "RemoteDir=\\%REMOTEMACHINENAME%\n",
                   .bDevice = true,
                   .strAddress = "PPC",
                   .bActiveSync = true,
                   .strUser = "Pocket PC",
                   .strPassword = "DEV-42",
                   .strLogFile = "@DIR@/Pocket PC_DEV-42.log",
                   .gets = {{{"\\Logs\\DEV-42.txt"}, "@DIR@/in_DEV-42", "\\Pocket PC"}},
                   .folders = {"in_DEV-42"}},
        ScriptCase{.pszName = "DeviceMacrosStayOutsideActiveSync",
                   .strContent = "[SERVER]\n"
                                 "User=%REMOTEMACHINENAME%\n"
                                 "Log=@DIR@/%REMOTEMACHINEID%.log\n"
                                 "[GET]\n"
                                 "RemoteFiles=%REMOTEMACHINEID%.txt\n"
                                 "LocalDir=@DIR@/in_%REMOTEMACHINEID%\n",
                   .bDevice = true,
                   .strUser = "%REMOTEMACHINENAME%",
                   .strLogFile = "@DIR@/%REMOTEMACHINEID%.log",
                   .gets = {{{"%REMOTEMACHINEID%.txt"}, "@DIR@/in_%REMOTEMACHINEID%", ""}},
                   .folders = {"in_%REMOTEMACHINEID%"}},
        ScriptCase{.pszName = "LeavingActiveSyncStillEndsTheDeviceSession",
                   .strContent = "[SERVER]\n"
                                 "Port=ActiveSync\n"
                                 "User=%REMOTEMACHINEID%\n"
                                 "Port=21\n"
                                 "Pwd=%REMOTEMACHINEID%\n",
                   .bDevice = true,
                   .nPort = 21,
                   .strUser = "DEV-42",
                   .strPassword = "%REMOTEMACHINEID%"},
        // Every line of a spoiled section is still checked (so its wildcard
        // still counts), but it yields neither a record nor a folder.
        ScriptCase{.pszName = "SectionsWithUnansweredDeviceMacrosAreSkipped",
                   .strContent = "[SERVER]\n"
                                 "Port=ActiveSync\n"
                                 "[GET]\n"
                                 "RemoteFiles=%REMOTEMACHINEID%.dat; *.txt\n"
                                 "LocalDir=@DIR@/spoiled\n"
                                 "Bogus\n"
                                 "RemoteDir=r\n"
                                 "[PUT]\n"
                                 "LocalFiles=a.txt\n"
                                 "RemoteDir=\\%REMOTEMACHINENAME%\n"
                                 "[GET]\n"
                                 "LocalDir=@DIR@/spoiled_%REMOTEMACHINEID%\n"
                                 "RemoteFiles=b.txt\n"
                                 "[GET]\n"
                                 "RemoteFiles=c.txt\n"
                                 "LocalDir=@DIR@/later\n"
                                 "[PUT]\n"
                                 "LocalFiles=d.txt\n",
                   .messages = {SectionMacro(4), Ignored(6), SectionMacro(10), SectionMacro(12)},
                   .bActiveSync = true,
                   .puts = {{{"d.txt"}, "", ""}},
                   .gets = {{{"c.txt"}, "@DIR@/later", ""}},
                   .folders = {"later"},
                   .absent = {"spoiled", "spoiled_%ERROR_REMOTEMACHINEID%"},
                   .bGetWildcards = true},
        ScriptCase{.pszName = "UnansweredUserMacroStopsTheParse",
                   .strContent = "[SERVER]\n"
                                 "Port=ActiveSync\n"
                                 "Label=L\n"
                                 "User=%REMOTEMACHINENAME%\n"
                                 "Pwd=never\n",
                   .bLoaded = false,
                   .messages = {ServerMacro(4)},
                   .strLabel = "L",
                   .bActiveSync = true,
                   .strUser = "%ERROR_REMOTEMACHINENAME%"},
        ScriptCase{.pszName = "UnansweredPasswordMacroStopsTheParse",
                   .strContent = "[SERVER]\nPort=ActiveSync\nPwd=x%REMOTEMACHINEID%\nUser=never\n",
                   .bLoaded = false,
                   .messages = {ServerMacro(3)},
                   .bActiveSync = true,
                   .strPassword = "x%ERROR_REMOTEMACHINEID%"},
        ScriptCase{.pszName = "UnansweredLogMacroStopsTheParse",
                   .strContent = "[SERVER]\n"
                                 "Port=ActiveSync\n"
                                 "User=bob\n"
                                 "Log=/logs/%USER%_%REMOTEMACHINEID%.log\n"
                                 "[PUT]\n"
                                 "LocalFiles=a.txt\n",
                   .bLoaded = false,
                   .messages = {ServerMacro(4)},
                   .bActiveSync = true,
                   .strUser = "bob",
                   .strLogFile = "/logs/bob_%ERROR_REMOTEMACHINEID%.log"},
        // A NUL ends the text of its line, not of the script.
        ScriptCase{.pszName = "NulOnACommentLineBeforeGet",
                   .strContent = std::string(".comment\0[PUT]\n[GET]\nRemoteFiles=a.txt\0;b.txt\n"
                                             "LocalDir=@DIR@/in\n",
                                             64),
                   .gets = {{{"a.txt"}, "@DIR@/in", ""}},
                   .folders = {"in"}},
        ScriptCase{.pszName = "Utf16",
                   .strContent = std::string(
                       "\xFF\xFE[\0S\0E\0R\0V\0E\0R\0]\0\r\0\n\0P\0o\0r\0t\0=\0001\0", 34),
                   .nPort = 1},
        // A limit is a whole number of seconds in range; anything else is
        // ignored, and the last usable value holds.
        ScriptCase{.pszName = "Timeout",
                   .strContent = "[SERVER]\nTIMEOUT=600\nTimeout=1\nTimeout=0\nTimeout=601\n"
                                 "Timeout=2x\nTimeout=-5\nTimeout=\n",
                   .messages = {Ignored(4), Ignored(5), Ignored(6), Ignored(7), Ignored(8)},
                   .nTimeoutSeconds = 1},
        // Like Timeout: an unknown value is ignored, the last known one holds.
        ScriptCase{.pszName = "DataMode",
                   .strContent = "[SERVER]\nDataMode=auto\nDATAMODE=Passive\nDataMode=Fast\n"
                                 "DataMode=\n",
                   .messages = {Ignored(4), Ignored(5)},
                   .eDataMode = EDataMode::Passive},
        ScriptCase{.pszName = "DataModeActive",
                   .strContent = "[SERVER]\nDataMode=Auto\nDataMode=ACTIVE\n"},
        // An IPv6 literal stays as written (without the brackets of a URL).
        ScriptCase{.pszName = "Ipv6AddressIsKept",
                   .strContent = "[SERVER]\nAddress=[2001:db8::7]\nAddress=::1\nPort=2121\n",
                   .strAddress = "::1",
                   .nPort = 2121},
        // A Tls value that is neither Yes nor No ends the load: a typing
        // error must not send the password in the clear.
        ScriptCase{.pszName = "Tls",
                   .strContent = "[SERVER]\nAddress=localhost\nTls=no\nTLS=YES\n"
                                 "TlsCaFile=/etc/ca.pem\n",
                   .strAddress = "127.0.0.1",
                   .bTls = true,
                   .strTlsCaFile = "/etc/ca.pem",
                   .strHostName = "localhost"},
        ScriptCase{.pszName = "TlsValueThatIsNoAnswer",
                   .strContent = "[SERVER]\nTls=On\nPort=21\n",
                   .bLoaded = false,
                   .messages = {"Syntax error. Invalid Tls. You must specify Yes or No "
                                "(TandrelClient.INI, line 2)"}},
        ScriptCase{.pszName = "Ipv6AddressInBrackets",
                   .strContent = "[SERVER]\nAddress=[2001:db8::7]\n",
                   .strAddress = "2001:db8::7"}),
    [](const auto& info) { return info.param.pszName; });

TEST_F(SyncScriptTest, AFileThatCannotBeReadFailsSilentlyAndLeavesNothingOfTheLastLoad) {
    ASSERT_TRUE(m_dir.WriteFile(kFileName, "[SERVER]\nLabel=L\nAddress=10.0.0.7\nPort=21\n"
                                           "User=u\nPwd=p\nLog=l\n[PUT]\n[GET]\n"));
    CSyncScript script;
    CRecordingSink sink;
    ASSERT_TRUE(script.Load(m_dir.Join(kFileName), sink));
    ASSERT_EQ(script.m_lines.size(), 9u);

    // A folder opens but cannot be read as a file.
    for (const std::string& strPath : {m_dir.Join("missing.INI"), m_dir.Path()}) {
        SCOPED_TRACE(strPath);
        EXPECT_FALSE(script.Load(strPath, sink));
        EXPECT_THAT(sink.m_messages, IsEmpty());
        EXPECT_EQ(script.GetFilePath(), strPath);
        EXPECT_THAT(script.m_lines, IsEmpty());
        EXPECT_EQ(script.GetLabel(), "");
        EXPECT_EQ(script.GetAddress(), "");
        EXPECT_EQ(script.m_nPort, -1);
        EXPECT_EQ(script.GetUser(), "");
        EXPECT_EQ(script.GetPassword(), "");
        EXPECT_EQ(script.GetLogFile(), "");
        EXPECT_THAT(script.m_PutList, IsEmpty());
        EXPECT_THAT(script.m_GetList, IsEmpty());
    }
}

TEST_F(SyncScriptTest, TheGetWildcardRuleIsDecidedByEachScriptAlone) {
    // A server script may not fetch by pattern, whatever a device script
    // loaded before or after it in the same program allowed; on a fresh
    // object as on the one that loaded the other script.
    const std::string strServer = "[SERVER]\nPort=2121\n[GET]\nRemoteFiles=*.dat\n";
    const std::string strDevice = "[SERVER]\nPort=ActiveSync\n[GET]\nRemoteFiles=*.dat\n";
    const std::string strPath = m_dir.Join(kFileName);
    struct Load {
        const std::string* pstrContent;
        bool bLoaded;
        std::vector<std::string> messages;
    };
    const Load refused = {&strServer, false, {GetWildcards(4)}};
    const Load accepted = {&strDevice, true, {}};
    const std::vector<Load> orders[] = {{accepted, refused}, {refused, accepted}};
    for (const std::vector<Load>& order : orders) {
        for (bool bSameObject : {true, false}) {
            SCOPED_TRACE(std::string(order[0].bLoaded ? "device first" : "server first") +
                         (bSameObject ? ", same object" : ", new object"));
            CSyncScript shared;
            for (const Load& load : order) {
                CSyncScript fresh;
                CSyncScript& script = bSameObject ? shared : fresh;
                CRecordingSink sink;
                ASSERT_TRUE(m_dir.WriteFile(kFileName, *load.pstrContent));
                EXPECT_EQ(script.Load(strPath, sink), load.bLoaded);
                EXPECT_EQ(sink.m_messages, load.messages);
                EXPECT_EQ(script.m_bGetWildcards, load.bLoaded);
                const std::vector<Section> gets =
                    load.bLoaded ? std::vector<Section>{{{"*.dat"}, "", ""}} : std::vector<Section>{};
                EXPECT_EQ(SectionsOf(script.m_GetList), gets);
            }
        }
    }
}

}  // namespace
