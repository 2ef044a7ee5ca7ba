#include "platform/identity.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <regex>

namespace {

#ifdef _WIN32
TEST(Identity, ComputerNameIsTheNetBiosName) {
    // The system publishes the same name in the environment of every program.
    wchar_t szName[64] = {};
    DWORD nLength = GetEnvironmentVariableW(L"COMPUTERNAME", szName, 64);
    ASSERT_GT(nLength, 0u);
    ASSERT_LT(nLength, 64u);
    std::string strExpected;
    for (DWORD i = 0; i < nLength && i < 15; ++i) {
        ASSERT_LT(szName[i], 0x80) << "a name beyond ASCII: compare it by hand";
        strExpected += static_cast<char>(szName[i]);
    }
    std::string strName = platform::GetMachineName();
    EXPECT_LE(strName.size(), 15u);
    EXPECT_EQ(strName, strExpected);
    EXPECT_FALSE(platform::GetHostName().empty());
}
#else
TEST(Identity, ComputerNameIsTheHostNameCutToFifteen) {
    char szHost[256] = {};
    ASSERT_EQ(gethostname(szHost, sizeof(szHost) - 1), 0);
    EXPECT_EQ(platform::GetMachineName(), std::string(szHost).substr(0, 15));
}
#endif

TEST(Identity, AdapterAddressesAreTwelveHexDigits) {
    for (const std::string& strAddress : platform::GetAdapterAddresses()) {
        EXPECT_TRUE(std::regex_match(strAddress, std::regex("[0-9A-F]{12}"))) << strAddress;
    }
}

}  // namespace
