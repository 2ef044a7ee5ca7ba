#include "platform/device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

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
    setenv("TANDREL_DEVICE_ROOT", dir.Join("device").c_str(), 1);

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
    unsetenv("TANDREL_DEVICE_ROOT");
}

}  // namespace
