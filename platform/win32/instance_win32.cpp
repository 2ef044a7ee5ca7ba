#include "platform/instance.h"

namespace platform {

CInstanceLock::~CInstanceLock() {}
bool CInstanceLock::Acquire(const std::string&, bool) { return false; }

}  // namespace platform
