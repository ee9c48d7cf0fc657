#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace tl::platform {
namespace {

// From the kernel's ioprio interface (linux/ioprio.h is not in every header set).
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassBestEffort = 2;
constexpr int kIoprioLowestLevel = 7;
constexpr int kIoprioWhoProcess = 1;  // with a thread id: that thread alone

constexpr int kLowNice = 10;

}  // namespace

bool SetCurrentThreadLowPriority() {
    // The idle scheduling class and the idle I/O class are not used: behind
    // two busy programs they gave a scan of half a second a minute.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, tid);
    bool cpu = errno == 0 && nice >= kLowNice;
    if (!cpu) cpu = ::setpriority(PRIO_PROCESS, tid, kLowNice) == 0;
    const bool io = ::syscall(SYS_ioprio_set, kIoprioWhoProcess, static_cast<int>(tid),
                              (kIoprioClassBestEffort << kIoprioClassShift) | kIoprioLowestLevel) == 0;
    return cpu && io;
}

}  // namespace tl::platform
