#include "platform/device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/platform/helper.h"
#include "tests/support/fsutil.h"
#include "tests/support/tempdir.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::vector<std::string> Names(const std::vector<platform::CFileInfo>& found) {
    std::vector<std::string> names;
    for (const platform::CFileInfo& info : found) {
        names.push_back(info.strName);
    }
    return names;
}

TEST(DeviceStandIn, AFolderPlaysTheDeviceWithBothSeparators) {
    testsupport::CTempDir dir;
    ASSERT_TRUE(platform::MakeDirectory(dir.Join("device")));
    ASSERT_TRUE(platform::MakeDirectory(dir.Join("device/sub")));
    ASSERT_TRUE(dir.WriteFile("device/sub/a.txt", "abc"));
    ASSERT_TRUE(dir.WriteFile("secret.txt", "outside"));
    testsupport::SetEnvVar("TANDREL_DEVICE_ROOT", dir.Join("device"));

    EXPECT_THAT(platform::DeviceFindFiles("\\sub\\*"), IsEmpty());  // no session
    ASSERT_TRUE(platform::DeviceConnect(2000));
    // Sessions nest: one user's end leaves the other's open.
    ASSERT_TRUE(platform::DeviceConnect(2000));
    EXPECT_TRUE(platform::DeviceDisconnect());
    EXPECT_TRUE(platform::IsDeviceSessionOpen());

    EXPECT_THAT(Names(platform::DeviceFindFiles("\\sub\\*")), ElementsAre("a.txt"));
    EXPECT_THAT(Names(platform::DeviceFindFiles("/sub/a.txt")), ElementsAre("a.txt"));
    EXPECT_THAT(Names(platform::DeviceFindFiles("sub\\a.txt")), ElementsAre("a.txt"));
    EXPECT_EQ(platform::DeviceGetFileAttributes("\\sub") & platform::kFileAttributeDirectory,
              platform::kFileAttributeDirectory);
    EXPECT_EQ(platform::DeviceGetFileAttributes("\\none"), platform::kInvalidFileAttributes);

    platform::CDeviceFile file;
    ASSERT_TRUE(file.Open("\\sub/a.txt", platform::CFile::modeRead));
    char buffer[8] = {};
    EXPECT_EQ(file.Read(buffer, sizeof(buffer)), 3);
    EXPECT_TRUE(file.Close());

    // Nothing above the device root is reachable.
    const char* const outside[] = {"\\..\\secret.txt", "/sub/../../secret.txt", ".."};
    for (const char* pszPath : outside) {
        SCOPED_TRACE(pszPath);
        EXPECT_THAT(platform::DeviceFindFiles(pszPath), IsEmpty());
        EXPECT_FALSE(file.Open(pszPath, platform::CFile::modeRead));
        EXPECT_FALSE(platform::DeviceCreateDirectory(std::string(pszPath) + "\\x"));
    }

    EXPECT_TRUE(platform::DeviceDisconnect());
    EXPECT_FALSE(platform::IsDeviceSessionOpen());
    EXPECT_FALSE(platform::DeviceDisconnect());
    testsupport::UnsetEnvVar("TANDREL_DEVICE_ROOT");
}

// The folder that plays the device, with the identity library in its root.
class DeviceIdentityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("device")));
#ifdef _WIN32
        const char* pszLibrary = "device/deviceid.exe";
#else
        const char* pszLibrary = "device/deviceid";
#endif
        std::error_code ec;
        std::filesystem::copy_file(platformtest::HelperPath(), m_dir.Join(pszLibrary), ec);
        ASSERT_FALSE(ec) << ec.message();
        testsupport::SetEnvVar("TANDREL_DEVICE_ROOT", m_dir.Join("device"));
        ASSERT_TRUE(platform::DeviceConnect(2000));
    }

    void TearDown() override {
        while (platform::DeviceDisconnect()) {
        }
        testsupport::UnsetEnvVar("TANDREL_DEVICE_ROOT");
    }

    testsupport::CTempDir m_dir;
};

TEST_F(DeviceIdentityTest, TheLibraryInTheRootAnswers) {
    std::string strOutput;
    ASSERT_TRUE(platform::DeviceInvoke("deviceid", "FnStringMode", "GetDeviceId", strOutput));
    EXPECT_EQ(strOutput, "FnStringMode|GetDeviceId");
    ASSERT_TRUE(platform::DeviceInvoke("\\deviceid", "FnStringMode2", "Get It", strOutput));
    EXPECT_EQ(strOutput, "FnStringMode2|Get It");
    strOutput = "unchanged";
    EXPECT_FALSE(platform::DeviceInvoke("nosuchlib", "F", "", strOutput));
    EXPECT_FALSE(platform::DeviceInvoke("..\\deviceid", "F", "", strOutput));
    EXPECT_EQ(strOutput, "unchanged");
    ASSERT_TRUE(platform::DeviceDisconnect());
    EXPECT_FALSE(platform::DeviceInvoke("deviceid", "F", "", strOutput));
}

// Without the folder there is no device; on Windows the remote API is
// asked instead, and where it is missing (Wine, or no ActiveSync) the
// connection fails as well.
TEST(DeviceWithoutStandIn, ConnectingFailsAndOpensNoSession) {
    testsupport::UnsetEnvVar("TANDREL_DEVICE_ROOT");
    EXPECT_FALSE(platform::DeviceConnect(500));
    EXPECT_FALSE(platform::IsDeviceSessionOpen());
    EXPECT_FALSE(platform::DeviceDisconnect());
    EXPECT_THAT(platform::DeviceFindFiles("\\*"), IsEmpty());
    EXPECT_EQ(platform::DeviceGetFileAttributes("\\"), platform::kInvalidFileAttributes);
    platform::CDeviceFile file;
    EXPECT_FALSE(file.Open("\\x.txt", platform::CFile::modeRead));
    std::string strOutput;
    EXPECT_FALSE(platform::DeviceInvoke("deviceid", "F", "", strOutput));

    testsupport::CTempDir dir;
    testsupport::SetEnvVar("TANDREL_DEVICE_ROOT", dir.Join("missing"));
    EXPECT_FALSE(platform::DeviceConnect(500));
    EXPECT_FALSE(platform::IsDeviceSessionOpen());
    testsupport::UnsetEnvVar("TANDREL_DEVICE_ROOT");
}

}  // namespace
