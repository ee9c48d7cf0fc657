#include "platform/thread_priority.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tl::platform {
namespace {

// From the kernel's ioprio interface (linux/ioprio.h is not in every header set).
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioWhoProcess = 1;

}  // namespace

bool SetCurrentThreadIdlePriority() {
    sched_param param{};
    param.sched_priority = 0;
    const bool sched = ::sched_setscheduler(0, SCHED_IDLE, &param) == 0;
    const long tid = ::syscall(SYS_gettid);
    const bool io = ::syscall(SYS_ioprio_set, kIoprioWhoProcess, static_cast<int>(tid),
                              kIoprioClassIdle << kIoprioClassShift) == 0;
    return sched && io;
}

}  // namespace tl::platform
