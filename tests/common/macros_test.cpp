#include "common/macros.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

using ::testing::ElementsAre;

namespace {

// A device whose session state, connect outcome and answers a test sets, and
// which records every call in order.
class CFakeDevice : public CDeviceIdentitySource {
public:
    bool IsSessionOpen() const override { return m_bOpen; }

    bool ConnectDevice() override {
        m_calls.push_back("connect");
        m_bOpen = m_bConnectSucceeds;
        return m_bOpen;
    }

    std::string InvokeDeviceFunction(const std::string& strLibrary, const std::string& strFunction,
                                     const std::string& strInput) override {
        m_calls.push_back(strLibrary + "/" + strFunction + "/" + strInput);
        return strInput == "GetDeviceId" ? m_strId : m_strName;
    }

    bool m_bOpen = false;
    bool m_bConnectSucceeds = true;
    std::string m_strId = "DEV-0042";
    std::string m_strName = "PocketPC";
    std::vector<std::string> m_calls;
};

const std::string kIdCall = "deviceid/FnStringMode/GetDeviceId";
const std::string kNameCall = "deviceid/FnStringMode2/GetMachineName";

std::string Expanded(std::string strText, const std::string& strUser = "",
                     CDeviceIdentitySource* pDevice = nullptr, bool* pResult = nullptr) {
    bool bResult = ExpandMacros(strText, strUser, pDevice);
    if (pResult != nullptr) {
        *pResult = bResult;
    }
    return strText;
}

TEST(ExpandMacros, ReplacesLocalMacrosInAnyCaseAndEveryOccurrence) {
    const std::string strName = GetLocalMachineName();
    const std::string strId = GetLocalMachineId();
    struct Case {
        std::string strText;
        std::string strUser;
        std::string strExpected;
    };
    const Case cases[] = {
        {"%MACHINENAME%", "", strName},
        {"%machinename%.log", "", strName + ".log"},
        {"in\\%MachineId%\\%MACHINEID%", "", "in\\" + strId + "\\" + strId},
        {"%USER%_%user%", "alice", "alice_alice"},
        {"%USER%", "", "%USER%"},
        {"%user%/%MACHINENAME%", "", "%user%/" + strName},
        {"%MACHINENAME", "", "%MACHINENAME"},
        {"%FOO% 100%", "bob", "%FOO% 100%"},
        {"%REMOTEMACHINENAME%-%REMOTEMACHINEID%", "", "%REMOTEMACHINENAME%-%REMOTEMACHINEID%"},
        {"", "bob", ""},
    };
    for (const Case& c : cases) {
        bool bResult = false;
        EXPECT_EQ(Expanded(c.strText, c.strUser, nullptr, &bResult), c.strExpected) << c.strText;
        EXPECT_TRUE(bResult) << c.strText;
    }
}

TEST(ExpandMacros, InsertedValuesAreNotSearchedAgain) {
    EXPECT_EQ(Expanded("%USER%", "%USER%"), "%USER%");
    EXPECT_EQ(Expanded("%USER%/%USER%", "a%user%b"), "a%user%b/a%user%b");
    EXPECT_EQ(Expanded("%USER%", "%MACHINENAME%"), "%MACHINENAME%");
    // The text after an inserted value is still searched.
    EXPECT_EQ(Expanded("%USER%%USER%", "%US"), "%US%US");
    EXPECT_EQ(Expanded("%USER%ER%", "%US"), "%USER%");
}

// Two macros that share a percent sign: the one earlier in the list wins,
// wherever it stands.
TEST(ExpandMacros, OverlappingMacrosGoByTheListNotByPosition) {
    const std::string strName = GetLocalMachineName();
    EXPECT_EQ(Expanded("%user%machinename%", "u"), "%user" + strName);
    EXPECT_EQ(Expanded("%machinename%user%", "u"), strName + "user%");
    EXPECT_EQ(Expanded("%date%user%", "u"), "%dateu");
}

// A settings line can be as long as its file: thousands of macros, values
// that look like macros, and pieces that only join into one around a value.
TEST(ExpandMacros, ALongTextWithThousandsOfMacrosIsExpandedWhole) {
    const std::string strName = GetLocalMachineName();
    std::string strText;
    std::string strExpected;
    for (int i = 0; i < 20000; ++i) {
        strText += "%USER%ER%/%MachineName%\\";
        strExpected += "%US" + std::string("ER%/") + strName + "\\";
    }
    EXPECT_EQ(Expanded(strText, "%US"), strExpected);
}

TEST(ExpandMacros, DateAndTimeFollowTheClock) {
    std::string strDateBefore = GetDateText();
    std::string strTimeBefore = GetTimeText();
    std::string strText = Expanded("log_%time%_%Date%.txt");
    std::string strDateAfter = GetDateText();
    std::string strTimeAfter = GetTimeText();

    std::smatch match;
    ASSERT_TRUE(std::regex_match(strText, match, std::regex("log_(\\d{6})_(\\d{8})\\.txt")))
        << strText;
    EXPECT_TRUE(match[2] == strDateBefore || match[2] == strDateAfter);
    EXPECT_GE(match[1].str(), strTimeBefore);
    EXPECT_LE(match[1].str(), strTimeAfter < strTimeBefore ? "999999" : strTimeAfter);
    EXPECT_TRUE(std::regex_match(strDateBefore, std::regex("20\\d\\d(0[1-9]|1[0-2])[0-3]\\d")));
    EXPECT_TRUE(std::regex_match(strTimeBefore, std::regex("([01]\\d|2[0-3])[0-5]\\d[0-6]\\d")));
}

TEST(ExpandMacros, AsksTheDeviceOncePerOccurrenceInListOrder) {
    CFakeDevice device;
    device.m_strName = "Pocket PC \t\r\n";
    bool bResult = false;
    EXPECT_EQ(Expanded("%REMOTEMACHINEID%/%RemoteMachineName%/%remotemachineid%", "", &device,
                       &bResult),
              "DEV-0042/Pocket PC/DEV-0042");
    EXPECT_TRUE(bResult);
    EXPECT_THAT(device.m_calls, ElementsAre("connect", kNameCall, kIdCall, kIdCall));
}

TEST(ExpandMacros, AnUnreachableDeviceLeavesErrorFormsAndExpansionGoesOn) {
    CFakeDevice device;
    device.m_bConnectSucceeds = false;
    bool bResult = true;
    EXPECT_EQ(Expanded("%REMOTEMACHINEID%_%USER%_%REMOTEMACHINENAME%", "bob", &device, &bResult),
              "%ERROR_REMOTEMACHINEID%_bob_%ERROR_REMOTEMACHINENAME%");
    EXPECT_FALSE(bResult);
    // Each occurrence tries to connect, and asks the device whatever the outcome.
    EXPECT_THAT(device.m_calls, ElementsAre("connect", kNameCall, "connect", kIdCall));
}

TEST(ExpandMacros, AnEmptyAnswerIsAnError) {
    CFakeDevice device;
    device.m_bOpen = true;
    device.m_strId = " \r\n";
    bool bResult = true;
    EXPECT_EQ(Expanded("%REMOTEMACHINEID%", "", &device, &bResult), "%ERROR_REMOTEMACHINEID%");
    EXPECT_FALSE(bResult);
    EXPECT_THAT(device.m_calls, ElementsAre(kIdCall));
}

TEST(ExpandMacros, WithoutDeviceMacrosNoDeviceIsAsked) {
    CFakeDevice device;
    bool bResult = false;
    EXPECT_EQ(Expanded("plain", "", &device, &bResult), "plain");
    EXPECT_TRUE(bResult);
    EXPECT_TRUE(device.m_calls.empty());
}

TEST(MachineId, TakesTheFirstAddressThatIsNotAllZero) {
    struct Case {
        std::vector<std::string> addresses;
        std::string strExpected;
    };
    const Case cases[] = {
        {{}, "00-00-00-00-00-00"},
        {{"000000000000", "000000000000"}, "00-00-00-00-00-00"},
        {{"000000000000", "0a1B2c3D4e5F", "112233445566"}, "0A-1B-2C-3D-4E-5F"},
        {{"AB"}, "AB-00-00-00-00-00"},
        {{"zz", "00000000000F"}, "00-00-00-00-00-0F"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MachineIdFromAddresses(c.addresses), c.strExpected);
    }
    EXPECT_TRUE(std::regex_match(GetLocalMachineId(),
                                 std::regex("([0-9A-F]{2}-){5}[0-9A-F]{2}")));
    EXPECT_LE(GetLocalMachineName().size(), 15u);
}

}  // namespace
