#pragma once

#include <string>
#include <vector>

// What identifies this computer on the network.

namespace platform {

// The computer's name, at most 15 characters (longer names are cut there, as
// NetBIOS names are). Empty if it cannot be read.
std::string GetMachineName();

// The computer's host name as the network knows it, for looking up its own
// address; empty if it cannot be read.
std::string GetHostName();

// The hardware addresses of the network adapters, in the system's order of
// adapters (interface index on Linux, transport order on Windows), each as
// twelve upper-case hexadecimal digits without separators. Adapters without a
// six-byte hardware address are left out; loopback adapters report all zeros.
// An empty list if the adapters cannot be enumerated.
std::vector<std::string> GetAdapterAddresses();

}  // namespace platform
