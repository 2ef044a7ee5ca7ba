#include "platform/identity.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <cstdlib>
#else
#include <unistd.h>
#endif

#include <regex>

namespace {

#ifdef _WIN32
TEST(Identity, ComputerNameIsTheNetBiosName) {
    // The system publishes the same name in the environment of every program.
    const char* pszName = std::getenv("COMPUTERNAME");
    ASSERT_NE(pszName, nullptr);
    std::string strName = platform::GetMachineName();
    EXPECT_LE(strName.size(), 15u);
    EXPECT_EQ(strName, std::string(pszName).substr(0, 15));
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
