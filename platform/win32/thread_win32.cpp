#include <windows.h>

#include "platform/thread.h"

namespace platform {

bool SetCurrentThreadIdlePriority() {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE) != 0;
}

}  // namespace platform
