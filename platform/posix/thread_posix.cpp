#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/thread.h"

namespace platform {

bool SetCurrentThreadIdlePriority() {
    // On Linux the nice value belongs to the thread (its task id), not to the
    // whole process.
    pid_t nThreadId = static_cast<pid_t>(syscall(SYS_gettid));
    return setpriority(PRIO_PROCESS, static_cast<id_t>(nThreadId), 19) == 0;
}

}  // namespace platform
