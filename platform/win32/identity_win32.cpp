#include "platform/identity.h"

namespace platform {

std::string GetMachineName() { return std::string(); }
std::string GetHostName() { return std::string(); }
std::vector<std::string> GetAdapterAddresses() { return {}; }

}  // namespace platform
