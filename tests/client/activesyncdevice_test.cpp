// The device connection and the device client against the folder that plays
// the device (TANDREL_DEVICE_ROOT), and the device macros through a
// stand-in identity program.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "client/transfer/activesyncdevice.h"
#include "client/transfer/ftpactivesyncsockclient.h"
#include "common/macros.h"
#include "platform/device.h"
#include "platform/file.h"
#include "tests/client/deviceid_fixture.h"
#include "tests/support/fsutil.h"
#include "tests/support/tempdir.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("device")));
        ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("local")));
        testsupport::SetEnvVar("TANDREL_DEVICE_ROOT", m_dir.Join("device"));
    }
    void TearDown() override {
        m_device.DisconnectDevice();
        testsupport::UnsetEnvVar("TANDREL_DEVICE_ROOT");
    }

    std::string Local(const std::string& strName) { return m_dir.Join("local/" + strName); }
    // Every entry below the device root, as "dir/", "dir/file" paths.
    std::vector<std::string> DeviceTree(const std::string& strBelow = "") {
        std::vector<std::string> tree;
        std::string strDir = m_dir.Join("device" + strBelow);
        for (const platform::CFileInfo& info : platform::FindFiles(strDir + "/*")) {
            if (info.strName == "." || info.strName == "..") {
                continue;
            }
            std::string strPath = strBelow.empty() ? info.strName : strBelow.substr(1) + "/" + info.strName;
            if (info.dwAttributes & platform::kFileAttributeDirectory) {
                tree.push_back(strPath + "/");
                for (const std::string& strInner : DeviceTree(strBelow + "/" + info.strName)) {
                    tree.push_back(strInner);
                }
            } else {
                tree.push_back(strPath);
            }
        }
        std::sort(tree.begin(), tree.end());
        return tree;
    }
    void WriteDeviceId(const std::vector<testsupport::CDeviceAnswer>& answers,
                       bool bRunnable = true) {
        ASSERT_TRUE(testsupport::WriteDeviceIdentity(m_dir.Join("device"), answers, bRunnable));
    }

    testsupport::CTempDir m_dir;
    CActiveSyncDevice m_device;
};

TEST_F(DeviceTest, ConnectsOnlyWhenTheDeviceFolderExists) {
    const std::string strFile = m_dir.Join("local/plain");
    ASSERT_TRUE(m_dir.WriteFile("local/plain", "x"));
    const char* const roots[] = {nullptr, "", "/no/such/folder", strFile.c_str()};
    for (const char* pszRoot : roots) {
        SCOPED_TRACE(pszRoot == nullptr ? "(unset)" : pszRoot);
        if (pszRoot == nullptr) {
            testsupport::UnsetEnvVar("TANDREL_DEVICE_ROOT");
        } else {
            testsupport::SetEnvVar("TANDREL_DEVICE_ROOT", pszRoot);
        }
        EXPECT_FALSE(m_device.ConnectDevice());
        EXPECT_FALSE(m_device.IsSessionOpen());
        EXPECT_FALSE(platform::IsDeviceSessionOpen());
    }

    testsupport::SetEnvVar("TANDREL_DEVICE_ROOT", m_dir.Join("device"));
    ASSERT_TRUE(m_dir.WriteFile("device/a.txt", "x"));
    EXPECT_FALSE(m_device.DevicePathExists("\\a.txt"));  // no session yet
    EXPECT_TRUE(m_device.ConnectDevice());
    EXPECT_TRUE(m_device.DevicePathExists("\\a.txt"));
    // Connected already: the device is not asked again, so even a device
    // that went away in between does not fail it.
    testsupport::UnsetEnvVar("TANDREL_DEVICE_ROOT");
    EXPECT_TRUE(m_device.ConnectDevice());
    testsupport::SetEnvVar("TANDREL_DEVICE_ROOT", m_dir.Join("device"));

    EXPECT_TRUE(m_device.DisconnectDevice());
    EXPECT_FALSE(m_device.IsSessionOpen());
    EXPECT_FALSE(platform::IsDeviceSessionOpen());
    EXPECT_TRUE(m_device.DisconnectDevice());
}

TEST_F(DeviceTest, PutCopiesIntoTheDeviceCreatingMissingFolders) {
    ASSERT_TRUE(m_dir.WriteFile("local/a.txt", std::string(10000, 'a') + "end"));
    ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("device/docs")));
    ASSERT_TRUE(m_dir.WriteFile("device/old.txt", "an old and longer text"));
    ASSERT_TRUE(m_device.ConnectDevice());

    EXPECT_TRUE(m_device.CopyToDevice(Local("a.txt"), "\\My Documents\\sub/deep\\a.txt"));
    EXPECT_TRUE(m_device.CopyToDevice(Local("a.txt"), "/docs"));
    EXPECT_TRUE(m_device.CopyToDevice(Local("a.txt"), "\\old.txt"));
    EXPECT_THAT(DeviceTree(),
                ElementsAre("My Documents/", "My Documents/sub/", "My Documents/sub/deep/",
                            "My Documents/sub/deep/a.txt", "docs/", "docs/a.txt", "old.txt"));
    EXPECT_EQ(m_dir.ReadFile("device/My Documents/sub/deep/a.txt"), m_dir.ReadFile("local/a.txt"));
    EXPECT_EQ(m_dir.ReadFile("device/docs/a.txt"), m_dir.ReadFile("local/a.txt"));
    EXPECT_EQ(m_dir.ReadFile("device/old.txt"), m_dir.ReadFile("local/a.txt"));
}

TEST_F(DeviceTest, PutOfWhatIsNoFileCreatesNothing) {
    ASSERT_TRUE(m_dir.WriteFile("local/a.txt", "a"));
    ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("local/folder")));
    if (testsupport::kHasFifos) {
        ASSERT_TRUE(testsupport::MakeFifo(m_dir.Join("local/fifo")));
    }
    ASSERT_TRUE(m_device.ConnectDevice());
    const std::string sources[] = {Local("folder"), Local("missing.txt"), Local("fifo"), ""};
    for (const std::string& strSource : sources) {
        SCOPED_TRACE(strSource);
        EXPECT_FALSE(m_device.CopyToDevice(strSource, "\\new\\a.txt"));
    }
    // Paths that would lead out of the device are not followed.
    EXPECT_FALSE(m_device.CopyToDevice(Local("a.txt"), "\\..\\local\\b.txt"));
    EXPECT_FALSE(m_dir.Exists("local/b.txt"));
    EXPECT_THAT(DeviceTree(), IsEmpty());
}

TEST_F(DeviceTest, GetCopiesFromTheDeviceAndKeepsTheLocalCopyOnFailure) {
    ASSERT_TRUE(m_dir.WriteFile("device/a.txt", std::string(9000, 'd')));
    ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("device/dir")));
    ASSERT_TRUE(m_dir.WriteFile("local/keep.txt", "old"));
    ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("local/in")));
    ASSERT_TRUE(m_device.ConnectDevice());

    EXPECT_TRUE(m_device.CopyFromDevice("\\a.txt", Local("b.txt")));
    EXPECT_EQ(m_dir.ReadFile("local/b.txt"), std::string(9000, 'd'));
    EXPECT_TRUE(m_device.CopyFromDevice("/a.txt", Local("in")));
    EXPECT_EQ(m_dir.ReadFile("local/in/a.txt"), std::string(9000, 'd'));

    struct Case {
        const char* pszDevice;
        std::string strLocal;
    };
    const Case failures[] = {
        {"\\dir", Local("keep.txt")},
        {"\\missing.txt", Local("keep.txt")},
        {"\\a.txt", Local("missing/keep.txt")},
        {"\\..\\local\\keep.txt", Local("keep.txt")},
    };
    for (const Case& c : failures) {
        SCOPED_TRACE(c.pszDevice + (" -> " + c.strLocal));
        EXPECT_FALSE(m_device.CopyFromDevice(c.pszDevice, c.strLocal));
    }
    EXPECT_EQ(m_dir.ReadFile("local/keep.txt"), "old");
    // No temporary file stays behind.
    std::vector<std::string> names;
    for (const platform::CFileInfo& info : platform::FindFiles(Local("*"))) {
        names.push_back(info.strName);
    }
    EXPECT_THAT(names, UnorderedElementsAre(".", "..", "b.txt", "in", "keep.txt"));
}

TEST_F(DeviceTest, CreateDeviceDirectoriesTakesPathsUpTo259Characters) {
    ASSERT_TRUE(m_dir.WriteFile("device/file", "x"));
    ASSERT_TRUE(m_device.ConnectDevice());
    // "\" and five names of 50 characters, separated: 1 + 5*50 + 4 = 255.
    std::string strLong = "\\";
    for (char c = 'a'; c <= 'e'; ++c) {
        strLong += std::string(50, c) + (c == 'e' ? "" : "\\");
    }
    const std::string str259 = strLong + "\\xyz";
    const std::string str260 = strLong + "/wxyz";
    ASSERT_EQ(str259.size(), 259u);
    ASSERT_EQ(str260.size(), 260u);

    struct Case {
        std::string strPath;
        bool bResult;
    };
    const Case cases[] = {
        {str260, false},
        {str259, true},
        {"\\one/two\\three", true},
        {"two/", true},
        {"\\four\\", true},
        {"\\", true},
        {"\\five\\\\six", true},
        {"\\file\\inner", false},
        {"\\..\\outside", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strPath);
        EXPECT_EQ(m_device.CreateDeviceDirectories(c.strPath), c.bResult);
    }
    EXPECT_FALSE(m_dir.Exists("outside"));
    EXPECT_TRUE(m_dir.Exists("device/one/two/three"));
    EXPECT_TRUE(m_dir.Exists("device/four"));
    EXPECT_TRUE(m_dir.Exists("device/five/six"));
    std::string strNative = str259;
    std::replace(strNative.begin(), strNative.end(), '\\', '/');
    EXPECT_TRUE(m_dir.Exists("device" + strNative));
    EXPECT_FALSE(m_dir.Exists("device" + strNative.substr(0, 255) + "/wxyz"));
    // Without a session nothing is created.
    m_device.DisconnectDevice();
    EXPECT_FALSE(m_device.CreateDeviceDirectories("\\x"));
    EXPECT_FALSE(m_dir.Exists("device/x"));
}

TEST_F(DeviceTest, ListDeviceFilesNamesFilesOnly) {
    ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("device/d")));
    ASSERT_TRUE(m_dir.WriteFile("device/d/a.txt", ""));
    ASSERT_TRUE(m_dir.WriteFile("device/d/b.log", ""));
    ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("device/d/sub.txt")));
    ASSERT_TRUE(m_device.ConnectDevice());

    std::vector<std::string> names;
    EXPECT_EQ(m_device.ListDeviceFiles(names, "\\d/*"), 2);
    EXPECT_THAT(names, UnorderedElementsAre("a.txt", "b.log"));
    names = {"kept"};
    EXPECT_EQ(m_device.ListDeviceFiles(names, "/d\\*.txt"), 2);
    EXPECT_THAT(names, ElementsAre("kept", "a.txt"));
    names.clear();
    EXPECT_EQ(m_device.ListDeviceFiles(names, "\\d\\sub*"), 0);
    EXPECT_EQ(m_device.ListDeviceFiles(names, "\\d\\none*"), -1);
    EXPECT_EQ(m_device.ListDeviceFiles(names, "\\missing\\*"), -1);
    EXPECT_THAT(names, IsEmpty());
}

TEST_F(DeviceTest, InvokeRunsTheIdentityProgramWithFunctionAndInput) {
    // The answer ends at its first zero byte.
    WriteDeviceId({{"*", 0, std::string("\0after", 6), true}});
    EXPECT_EQ(m_device.InvokeDeviceFunction("deviceid", "FnStringMode", "Get It"), "");
    ASSERT_TRUE(m_device.ConnectDevice());
    EXPECT_EQ(m_device.InvokeDeviceFunction("deviceid", "FnStringMode", "Get It"),
              "FnStringMode|Get It");
    EXPECT_EQ(m_device.InvokeDeviceFunction("\\deviceid", "F", ""), "F|");
    EXPECT_EQ(m_device.InvokeDeviceFunction("missing", "F", "x"), "");
}

TEST_F(DeviceTest, DeviceMacrosComeFromTheIdentityProgram) {
    using Answers = std::vector<testsupport::CDeviceAnswer>;
    const Answers typed = {{"FnStringMode/GetDeviceId", 0, "DEV-42 \r\n"},
                           {"FnStringMode2/GetMachineName", 0, "Pocket PC\t\n"},
                           {"*", 3, ""}};
    struct Case {
        const char* pszName;
        Answers answers;
        bool bRunnable;
        bool bDevice;
        std::string strExpected;
        bool bResult;
    };
    const std::string strErrors = "%ERROR_REMOTEMACHINEID%_%ERROR_REMOTEMACHINENAME%_bob";
    const Case cases[] = {
        {"answers", typed, true, true, "DEV-42_Pocket PC_bob", true},
        {"prints nothing", {{"*", 0, ""}}, true, true, strErrors, false},
        {"prints blanks", {{"*", 0, " \t\r\n\n"}}, true, true, strErrors, false},
        {"fails", {{"*", 1, "DEV-42\n"}}, true, true, strErrors, false},
        {"not executable", typed, false, true, strErrors, false},
        {"no device", typed, true, false, strErrors, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        WriteDeviceId(c.answers, c.bRunnable);
        if (!c.bDevice) {
            testsupport::UnsetEnvVar("TANDREL_DEVICE_ROOT");
        }
        CActiveSyncDevice device;
        std::string strText = "%REMOTEMACHINEID%_%remotemachinename%_%USER%";
        EXPECT_EQ(ExpandMacros(strText, "bob", &device), c.bResult);
        EXPECT_EQ(strText, c.strExpected);
        EXPECT_EQ(device.IsSessionOpen(), c.bDevice);
        device.DisconnectDevice();
        testsupport::SetEnvVar("TANDREL_DEVICE_ROOT", m_dir.Join("device"));
    }
    // The missing program is like a device without the library.
    ASSERT_TRUE(platform::RemoveFile(testsupport::DeviceIdentityPath(m_dir.Join("device"))));
    CActiveSyncDevice device;
    std::string strText = "%REMOTEMACHINENAME%";
    EXPECT_FALSE(ExpandMacros(strText, "", &device));
    EXPECT_EQ(strText, "%ERROR_REMOTEMACHINENAME%");
    device.DisconnectDevice();
}

TEST_F(DeviceTest, TheDeviceClientHasNoCommandChannel) {
    ASSERT_TRUE(m_dir.WriteFile("local/a.txt", "data"));
    {
        CFtpActiveSyncSockClient client;
        client.m_nReplyCode = 7;
        EXPECT_TRUE(client.SendCommand("NOOP"));
        EXPECT_EQ(client.ReadReply(), "");
        EXPECT_EQ(client.m_nReplyCode, 7);
        EXPECT_FALSE(client.Login("u", "p"));
        EXPECT_EQ(client.GetRemoteDigest("a.txt"), "");
        EXPECT_FALSE(client.Quit());
        std::string strOutput = "unchanged";
        EXPECT_FALSE(client.List("\\*", &strOutput));
        EXPECT_EQ(strOutput, "unchanged");

        ASSERT_TRUE(client.m_Device.ConnectDevice());
        EXPECT_TRUE(client.Put(Local("a.txt"), "\\in\\a.txt"));
        EXPECT_TRUE(client.Get("\\in\\a.txt", Local("b.txt")));
        EXPECT_EQ(m_dir.ReadFile("local/b.txt"), "data");
    }
    // Ending the session is the run's business, not the destructor's.
    EXPECT_TRUE(platform::IsDeviceSessionOpen());
    EXPECT_TRUE(platform::DeviceDisconnect());
}

}  // namespace
