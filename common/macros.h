#pragma once

#include <string>
#include <vector>

// Macros in settings values: words between percent signs that stand for this
// computer's name and adapter address, the user, the date, the time, or the
// name and identity of an attached handheld device. Matching ignores case.
//
//   %REMOTEMACHINENAME%  device name (only with a device connection)
//   %REMOTEMACHINEID%    device identity (only with a device connection)
//   %MACHINENAME%        local computer name
//   %MACHINEID%          local adapter address, "00-11-22-AA-BB-CC"
//   %USER%               the caller's user name (only when it is not empty)
//   %DATE%               local date, "YYYYMMDD"
//   %TIME%               local time, "HHMMSS"

// What the expander needs of a device connection. The device layer's
// connection implements it; tests fake it.
class CDeviceIdentitySource {
public:
    virtual ~CDeviceIdentitySource() = default;

    // Whether a session with the device is open.
    virtual bool IsSessionOpen() const = 0;

    // Opens the session; false if no device answers in time.
    virtual bool ConnectDevice() = 0;

    // Runs strFunction of the device library strLibrary with strInput and
    // returns its text result; empty text on any failure.
    virtual std::string InvokeDeviceFunction(const std::string& strLibrary,
                                             const std::string& strFunction,
                                             const std::string& strInput) = 0;
};

// Replaces every macro occurrence in strText, in place. The macros are
// searched in the order of the table above, one occurrence per pass, each pass
// starting again at the top of the list; so when two different macros occur,
// the one earlier in the list is replaced first, and %DATE% and %TIME% read
// the clock separately. Text inserted for a macro is never searched again, so
// a value that contains a macro (a user named "%USER%") cannot make the
// expansion run for ever. The computer's name and address are read once per
// call; the work grows with the text's length alone.
//
// A device macro that cannot be filled (no session and none can be opened, or
// an empty answer) is replaced by "%ERROR_REMOTEMACHINENAME%" or
// "%ERROR_REMOTEMACHINEID%", expansion goes on, and the result is false.
// Without a device connection the device macros stay as written. Returns true
// otherwise.
bool ExpandMacros(std::string& strText, const std::string& strUser,
                  CDeviceIdentitySource* pDevice);

// The local computer name (at most 15 characters; empty if unreadable).
std::string GetLocalMachineName();

// The first adapter address that is not all zero, as "%02X-%02X-..." of its
// six bytes; "00-00-00-00-00-00" when there is none.
std::string GetLocalMachineId();

// The first IPv4 address that this computer's host name resolves to, dotted;
// empty when the name cannot be read or resolved.
std::string GetLocalIpNumber();

// GetLocalMachineId's rule applied to a list of twelve-digit address texts,
// in adapter order.
std::string MachineIdFromAddresses(const std::vector<std::string>& addresses);

// The current local date "%04d%02d%02d" and time "%02d%02d%02d".
std::string GetDateText();
std::string GetTimeText();
