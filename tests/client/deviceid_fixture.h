#pragma once

#include <string>
#include <vector>

// Gives the device stand-in an identity library: the test program
// deviceid_stand_in, copied into the device root under the library's name,
// with the answers it is to give.

namespace testsupport {

struct CDeviceAnswer {
    std::string strKey;     // "FUNCTION/INPUT", or "*" for any call
    int nExitStatus = 0;
    std::string strOutput;  // the bytes it writes
    bool bEchoArguments = false;  // write "FUNCTION|INPUT" before strOutput
};

// bRunnable false: a file of the library's name that cannot be run.
bool WriteDeviceIdentity(const std::string& strDeviceRoot,
                         const std::vector<CDeviceAnswer>& answers, bool bRunnable = true);

// The path of the library in the device root.
std::string DeviceIdentityPath(const std::string& strDeviceRoot);

}  // namespace testsupport
