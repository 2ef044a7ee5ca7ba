#include "platform/identity.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>

namespace {

TEST(Identity, ComputerNameIsTheHostNameCutToFifteen) {
    char szHost[256] = {};
    ASSERT_EQ(gethostname(szHost, sizeof(szHost) - 1), 0);
    EXPECT_EQ(platform::GetMachineName(), std::string(szHost).substr(0, 15));
}

TEST(Identity, AdapterAddressesAreTwelveHexDigits) {
    for (const std::string& strAddress : platform::GetAdapterAddresses()) {
        EXPECT_TRUE(std::regex_match(strAddress, std::regex("[0-9A-F]{12}"))) << strAddress;
    }
}

}  // namespace
