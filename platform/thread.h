#pragma once

// Threads are std::thread everywhere; this is what the standard library does
// not offer.

namespace platform {

// Gives the calling thread the lowest scheduling priority (nice 19 here, idle
// priority on Windows), so it runs only when the machine has nothing else to
// do. False if the system refused.
bool SetCurrentThreadIdlePriority();

}  // namespace platform
